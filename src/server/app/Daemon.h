// RunDaemon: the headless server — the core behind the Asio transport on the calling thread,
// listening at once, tracing to stdout and reporting to stderr, until SIGINT or SIGTERM.
// Used by zorva-server's main().
#pragma once

#include "DaemonOptions.h"

namespace zorva {

// Returns the process's exit code: 0 after a signal stopped the server, 1 when it could not
// start (the port, the log file or the user database; the reason is on stderr).
int RunDaemon(const TDaemonOptions& options);

}  // namespace zorva
