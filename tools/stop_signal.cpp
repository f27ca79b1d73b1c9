// The stop request that SIGINT and SIGTERM raise. Host only; the handler only sets an atomic flag.
#include "tools/stop_signal.h"

#include <atomic>
#include <csignal>

namespace gvspfilter {

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int) { stopRequested.store(true); }

}  // namespace

void CatchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no SA_RESTART: a wait in progress returns early
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return stopRequested.load(); }

}  // namespace gvspfilter
