#include "ProgramOptions.h"

#include <CLI/CLI.hpp>

namespace zorva {

std::optional<int> ParseProgramOptions(int argc, char** argv, TProgramOptions& options) {
  CLI::App app("ZorvaServer: the Zorva lobby and chat server with its operator window");
  auto& settings = options.Settings;
  app.add_option("--port", settings.Port, "TCP port to listen on (0: any free port)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--bind", options.BindAddress, "IP address to listen on")->check(CLI::ValidIPV4);
  app.add_option("--ini", options.IniPath, "settings file instead of the user's Win.ini");
  app.add_option("--lobby-name", settings.LobbyName, "name of every subject code's lobby");
  app.add_option("--timeout", settings.Timeout, "seconds without a ping answer before a drop")
      ->check(CLI::PositiveNumber);
  app.add_option("--ping-interval-ms", options.PingIntervalMs, "milliseconds between pings")
      ->check(CLI::PositiveNumber);
  std::string logPath;
  CLI::Option* log =
      app.add_option("--log", logPath, "trace the message flow to a file")->expected(0, 1);
  app.add_flag("--trace", options.Trace, "trace incoming and outgoing lines in the window");
  app.add_option("--max-line", options.MaxLine, "longest accepted line in bytes")
      ->check(CLI::PositiveNumber);
  app.add_option("--max-output", options.MaxOutput, "unsent bytes per connection before a drop")
      ->check(CLI::PositiveNumber);
  app.add_flag("--start", options.Start, "start the server at launch and print where it listens");
  app.add_option("--users", options.UsersPath,
                 "keep users and feedback in this database file (created when missing)");
  app.add_option("--screenshot", options.ScreenshotDir)->group("");
  app.add_option("--screenshot-after-ms", options.ScreenshotAfterMs)->group("");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  if (log->count() > 0) options.LogPath = logPath;
  return std::nullopt;
}

}  // namespace zorva
