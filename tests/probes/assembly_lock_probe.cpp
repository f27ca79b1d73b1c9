// Compiled by cmake/lock-contract-check.sh with clang's thread-safety analysis, never linked: a
// write of an assembly field must compile under the port's assembly and fail without it.
#include "base/stream_port.h"

VOID ForgetCurrentFrame(StreamPort* port)
{
#if defined(WITHOUT_THE_LOCK)
    port->CurrentFrame = nullptr;
#else
    KIRQL irql = AcquireAssembly(port);
    port->CurrentFrame = nullptr;
    ReleaseAssembly(port, irql);
#endif
}
