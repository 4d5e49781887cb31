#include "DaemonOptions.h"

#include <CLI/CLI.hpp>

namespace zorva {

std::optional<int> ParseDaemonOptions(int argc, const char* const* argv,
                                      const std::string& defaultLogPath, TDaemonOptions& options) {
  CLI::App app(
      "Zorva lobby and chat server without a window. Options given here win over the "
      "INI file.",
      "zorva-server");
  // A later option wins, so that wrappers can append to a command line.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  options.IniPath = DefaultIniPath();
  app.add_option("--port", options.Port, "TCP port to listen on; 0 = any free port")
      ->check(CLI::Range(0, 65535));
  app.add_option("--bind", options.BindAddress, "Address to listen on")->capture_default_str();
  app.add_option("--ini", options.IniPath, "Settings file")->capture_default_str();
  app.add_option("--lobby-name", options.LobbyName, "Name of every subject code's lobby");
  app.add_option("--timeout", options.Timeout,
                 "Seconds without a ping answer before a guest is dropped");
  app.add_option("--ping-interval-ms", options.PingIntervalMs, "Milliseconds between pings")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  std::string logPath;
  auto* log =
      app.add_option("--log", logPath, "Write the trace log file (default " + defaultLogPath + ")")
          ->expected(0, 1);
  app.add_flag("--trace", options.Trace, "Print incoming and outgoing lines on stdout");
  app.add_option("--max-line", options.MaxLine, "Longest accepted line in bytes")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--max-output", options.MaxOutput,
                 "Unsent bytes per connection before it is dropped as a slow reader")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--users", options.UsersPath,
                 "Keep users and feedback in this database file (created when missing)");
  app.add_option("--max-clients", options.MaxClients,
                 "Most clients at once; 0 = as many as the open-file limit allows")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--max-lines-per-second", options.Flood.LinesPerSecond,
                 "Lines per second a client may send before it is slowed down; 0 = no limit")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--line-burst", options.Flood.LineBurst,
                 "Lines a client may send at once after a quiet spell")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--max-bytes-per-second", options.Flood.BytesPerSecond,
                 "Bytes per second a client may send before it is slowed down; 0 = no limit")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  if (log->count() > 0) options.LogPath = logPath.empty() ? defaultLogPath : logPath;
  return std::nullopt;
}

TServerSettings ApplyOverrides(TServerSettings settings, const TDaemonOptions& options) {
  if (options.Port) settings.Port = *options.Port;
  if (options.LobbyName) settings.LobbyName = *options.LobbyName;
  if (options.Timeout) settings.Timeout = *options.Timeout;
  return settings;
}

}  // namespace zorva
