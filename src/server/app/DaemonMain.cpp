// zorva-server: the headless daemon. See Daemon.h; `zorva-server --help` lists the options.
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "Daemon.h"
#include "ServerOptions.h"

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

}  // namespace

int main(int argc, char** argv) {
  // A log rotator's SIGHUP may come while the daemon starts, before the loop takes it over;
  // by default it would end the daemon.
  std::signal(SIGHUP, SIG_IGN);
  CLI::App app(
      "Zorva lobby and chat server without a window. Options given here win over the "
      "INI file.",
      "zorva-server");
  zorva::TServerOptions options;
  zorva::AddServerOptions(app, options, zorva::DefaultLogPath(argv[0]));
  zorva::AddAdminOptions(app, options);
  if (const auto exitCode = zorva::ParseCommandLine(app, argc, argv)) return *exitCode;
  // Trace lines reach a pipe or a file as they happen, not in blocks.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return zorva::RunDaemon(options, RaiseOpenFileLimit());
}
