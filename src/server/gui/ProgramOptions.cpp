#include "ProgramOptions.h"

#include <cstdio>

namespace zorva {

namespace {

// The window's transport has no TLS listener yet; starting without one would leave passwords in
// the clear while the operator believes they are protected.
std::optional<int> RefuseTls(const TServerOptions& options) {
  if (!options.Tls.Port) return std::nullopt;
  std::fprintf(stderr,
               "ZorvaServer: --tls-port: this program cannot serve TLS yet; run zorva-server for "
               "a TLS port\n");
  return 1;
}

}  // namespace

std::optional<int> ParseProgramOptions(int argc, char** argv, TProgramOptions& options) {
  CLI::App app("ZorvaServer: the Zorva lobby and chat server with its operator window",
               "ZorvaServer");
  AddServerOptions(app, options.Server, DefaultLogPath(argv[0]));
  app.get_option("--trace")->description("Trace incoming and outgoing lines in the window");
  app.get_option("--log")->description(
      "Switch on \"To Log File\" at launch: the traced lines go to this file, started anew "
      "(default " +
      DefaultLogPath(argv[0]) + ")");
  app.add_flag("--start", options.Start, "Start the server at launch and print where it listens");
  app.add_option("--screenshot", options.ScreenshotDir)->group("");
  app.add_option("--screenshot-after-ms", options.ScreenshotAfterMs)->group("");
  if (const auto exitCode = ParseCommandLine(app, argc, argv)) return exitCode;
  return RefuseTls(options.Server);
}

}  // namespace zorva
