// RunOnCore: runs a task on the server core's thread (through ITransport::Post) and waits for
// it, for threads that must never touch core state themselves (the admin API's HTTP threads).
#pragma once

#include <chrono>
#include <functional>

#include "ServerInterfaces.h"

namespace zorva {

// True once `task` has run. False when the core did not start it within `timeout`; the task
// then never runs, so it may refer to the caller's locals. A task that has started is always
// waited for.
bool RunOnCore(ITransport& transport, const std::function<void()>& task,
               std::chrono::milliseconds timeout);

}  // namespace zorva
