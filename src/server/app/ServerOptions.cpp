#include "ServerOptions.h"

#include <filesystem>
#include <limits>

namespace zorva {

namespace {

void AddListenOptions(CLI::App& app, TServerOptions& options) {
  app.add_option("--port", options.Settings.Port, "TCP port to listen on; 0 = any free port")
      ->check(CLI::Range(0, 65535));
  app.add_option("--bind", options.BindAddress, "Address to listen on")->capture_default_str();
  app.add_option("--ini", options.IniPath, "Settings file")->capture_default_str();
  app.add_option("--lobby-name", options.Settings.LobbyName, "Name of every subject code's lobby");
  app.add_option("--timeout", options.Settings.Timeout,
                 "Seconds without a ping answer before a guest is dropped")
      ->check(CLI::PositiveNumber);
  // The window program's timer takes an int.
  app.add_option("--ping-interval-ms", options.PingIntervalMs, "Milliseconds between pings")
      ->capture_default_str()
      ->check(CLI::Range(1, std::numeric_limits<std::int32_t>::max()));
}

void AddTraceOptions(CLI::App& app, TServerOptions& options, const std::string& defaultLogPath) {
  app.add_option_function<std::string>(
         "--log",
         [&options, defaultLogPath](const std::string& path) {
           options.LogPath = path.empty() ? defaultLogPath : path;
         },
         "Write the trace log file (default " + defaultLogPath + ")")
      ->expected(0, 1);
  app.add_flag("--trace", options.Trace, "Print incoming and outgoing lines on stdout");
}

void AddLimitOptions(CLI::App& app, TServerOptions& options) {
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
}

void AddFloodOptions(CLI::App& app, TFloodLimits& flood) {
  app.add_option("--max-lines-per-second", flood.LinesPerSecond,
                 "Lines per second a client may send before it is slowed down; 0 = no limit")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--line-burst", flood.LineBurst,
                 "Lines a client may send at once after a quiet spell")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--max-bytes-per-second", flood.BytesPerSecond,
                 "Bytes per second a client may send before it is slowed down; 0 = no limit")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
}

}  // namespace

void AddServerOptions(CLI::App& app, TServerOptions& options, const std::string& defaultLogPath) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  options.IniPath = DefaultIniPath();
  AddListenOptions(app, options);
  AddTraceOptions(app, options, defaultLogPath);
  AddLimitOptions(app, options);
  AddFloodOptions(app, options.Flood);
}

void AddAdminOptions(CLI::App& app, TServerOptions& options) {
  app.add_option("--admin", options.AdminAddress,
                 "Serve the admin HTTP API on ADDRESS:PORT (0 = any free port)");
  app.add_option("--admin-token-file", options.AdminTokenFile,
                 "The admin API's bearer token, made when missing (default: admin-token beside "
                 "the settings file)");
  app.add_flag("--metrics-public", options.MetricsPublic, "Serve /metrics without the token");
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  return std::nullopt;
}

std::string DefaultLogPath(const char* argv0) {
  std::error_code ec;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) executable = std::filesystem::absolute(argv0, ec);
  return (executable.parent_path() / "Zorva.log").string();
}

}  // namespace zorva
