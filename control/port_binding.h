// The binding of stream ports and their life: the bind request, the prologue of the stream
// requests that find a handle's port, ControlBusy, and the two teardowns (handle cleanup and
// adapter detach). PASSIVE_LEVEL except where marked.
#pragma once

#include "base/stream_port.h"

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS BindStreamPort(PIRP irp, PIO_STACK_LOCATION stack);

// What a stream request needs of its handle's port.
enum PortNeed {
    PORT_BOUND,          // a port with a reference, cache or not (cache set-up)
    PORT_CACHE_READY,    // a set-up cache, with a reference; the request serialises with ControlBusy
    PORT_CACHE_IN_USE,   // a set-up cache, held by AcquirePortCache until ReleasePortCache
};

// The prologue of the stream requests: the handle's StreamPort, or NULL when it does not meet
// `need`. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
StreamPort* AcquireStreamPortOfFile(PFILE_OBJECT fileObject, PortNeed need);

// TRUE while the handle still leads to the port: no teardown has unhooked it. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsStreamPortOfFile(PFILE_OBJECT fileObject, StreamPort* port);

// ControlBusy, waited for while another holds it. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID AcquireControlBusy(StreamPort* port);
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseControlBusy(StreamPort* port);

// Handle cleanup: tears down the handle's port if it still owns it. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CleanupStreamPortOfFile(PFILE_OBJECT fileObject);
// Adapter detach: tears down every port still bound to the adapter. Called and returns with
// AdapterTableLock held for writing (`lockState`), so at DISPATCH_LEVEL; releases it around each
// port's teardown, which runs at PASSIVE_LEVEL.
_IRQL_requires_(DISPATCH_LEVEL)
VOID DetachStreamPorts(FilterAdapter* adapter, PLOCK_STATE_EX lockState)
    _Requires_exclusive_lock_held_(DriverGlobals.AdapterTableLock);
