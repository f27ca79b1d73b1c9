// Ctrl-C and SIGTERM as a request to end a run cleanly: the running subcommand polls the flag,
// undoes what it set up and reports. Host only.
#pragma once

namespace gvspfilter {

// Installs the handlers of SIGINT and SIGTERM; a blocking wait they interrupt returns early.
void CatchStopSignals();
bool StopRequested();

}  // namespace gvspfilter
