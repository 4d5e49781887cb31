// Reads a process's CPU time and resident memory from /proc, so that zorva-bench can charge the
// server (not itself) for the work of a measured window.
#pragma once

#include <cstdint>
#include <optional>

namespace zorva {

struct TProcSample {
  double CpuSeconds = 0;  // user + system, all threads
  std::uint64_t RssBytes = 0;
};

// Pid 0 reads the calling process. Empty when the process is gone or /proc is unreadable.
std::optional<TProcSample> SampleProcess(int pid);

}  // namespace zorva
