#include "ProgramOptions.h"

namespace zorva {

std::optional<int> ParseProgramOptions(int argc, char** argv, TProgramOptions& options) {
  CLI::App app("ZorvaServer: the Zorva lobby and chat server with its operator window",
               "ZorvaServer");
  AddServerOptions(app, options.Server, DefaultLogPath(argv[0]));
  app.get_option("--trace")->description("Trace incoming and outgoing lines in the window");
  app.get_option("--log")->description(
      "Switch on \"To Log File\" at launch: the traced lines are appended to this file, "
      "created with mode 0600 (default " +
      DefaultLogPath(argv[0]) + ")");
  app.add_flag("--start", options.Start, "Start the server at launch and print where it listens");
  app.add_option("--screenshot", options.ScreenshotDir)->group("");
  app.add_option("--screenshot-after-ms", options.ScreenshotAfterMs)->group("");
  return ParseCommandLine(app, argc, argv);
}

}  // namespace zorva
