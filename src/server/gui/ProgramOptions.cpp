#include "ProgramOptions.h"

namespace zorva {

namespace {

// The Qt transport has no flood budget; the options are taken so that a command line written
// for zorva-server works here too.
void MarkFloodOptionsUnenforced(CLI::App& app) {
  for (const char* name : kFloodOptionNames) {
    CLI::Option* option = app.get_option(name);
    option->description(option->get_description() + " (only zorva-server enforces it)");
  }
}

}  // namespace

std::optional<int> ParseProgramOptions(int argc, char** argv, TProgramOptions& options) {
  CLI::App app("ZorvaServer: the Zorva lobby and chat server with its operator window",
               "ZorvaServer");
  AddServerOptions(app, options.Server, DefaultLogPath(argv[0]));
  app.get_option("--trace")->description("Trace incoming and outgoing lines in the window");
  MarkFloodOptionsUnenforced(app);
  app.add_flag("--start", options.Start, "Start the server at launch and print where it listens");
  app.add_option("--screenshot", options.ScreenshotDir)->group("");
  app.add_option("--screenshot-after-ms", options.ScreenshotAfterMs)->group("");
  return ParseCommandLine(app, argc, argv);
}

}  // namespace zorva
