// zorva-server: the headless daemon. See Daemon.h; `zorva-server --help` lists the options.
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "Daemon.h"

namespace {

// Every connection is a descriptor; the usual soft limit of 1024 would cap the guests.
// Returns the limit now in force.
std::uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    const auto before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = before;
  }
  return limit.rlim_cur;
}

// The log file lies beside the executable, as the window program's does.
std::string DefaultLogPath(const char* argv0) {
  std::error_code ec;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) executable = std::filesystem::absolute(argv0, ec);
  return (executable.parent_path() / "Zorva.log").string();
}

}  // namespace

int main(int argc, char** argv) {
  zorva::TDaemonOptions options;
  if (const auto exitCode =
          zorva::ParseDaemonOptions(argc, argv, DefaultLogPath(argv[0]), options)) {
    return *exitCode;
  }
  // Trace lines reach a pipe or a file as they happen, not in blocks.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return zorva::RunDaemon(options, RaiseOpenFileLimit());
}
