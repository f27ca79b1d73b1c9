// Ctrl-C and SIGTERM (on Windows, Ctrl-C and Ctrl-Break) as a request to end a run cleanly: the
// running subcommand polls the flag, undoes what it set up and reports. POSIX signals in
// tools/stop_signal.cpp, the console's control handler in tools/windows/stop_signal.cpp.
#pragma once

namespace gvspfilter {

// Installs the handlers; on the host a blocking wait they interrupt returns early.
void CatchStopSignals();
bool StopRequested();

}  // namespace gvspfilter
