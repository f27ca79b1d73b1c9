// The stop request that Ctrl-C and Ctrl-Break raise. Windows user mode only; the handler runs on a
// thread of its own and only sets an atomic flag.
#include "tools/stop_signal.h"

#include <windows.h>

#include <atomic>

namespace gvspfilter {

namespace {

std::atomic<bool> stopRequested{false};

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        stopRequested.store(true);
        return TRUE;   // handled: the run ends itself, undoing what it set up
    }
    return FALSE;
}

}  // namespace

void CatchStopSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool StopRequested() { return stopRequested.load(); }

}  // namespace gvspfilter
