// RunDaemon: the headless server — the core behind the Asio transport on the calling thread,
// listening at once, tracing to stdout and reporting to stderr, until SIGINT or SIGTERM.
// Used by zorva-server's main().
#pragma once

#include <cstdint>

#include "ServerOptions.h"

namespace zorva {

// Returns the process's exit code: 0 after a signal stopped the server and every connection
// had its queued output (or 2 seconds passed), 128 + the signal's number when a second signal
// cut that wait short, 1 when it could not start (the port, the log file or the user database;
// the reason is on stderr). `openFileLimit` bounds the clients it takes.
int RunDaemon(const TServerOptions& options, std::uint64_t openFileLimit);

}  // namespace zorva
