#include "ServerOptions.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <limits>

#include "ClusterScripts.h"
#include "IniFile.h"
#include "ZorvaVersion.h"

namespace zorva {

namespace {

constexpr std::string_view kSection = "ZorvaServer";
constexpr int kUsageError = 2;
constexpr int kStartFailure = 1;

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kUint32Max = std::numeric_limits<std::uint32_t>::max();
constexpr TNumberRange kPingIntervalRange{1, kInt32Max, "milliseconds"};
constexpr TNumberRange kMaxLineRange{1, kInt32Max, "bytes"};
constexpr TNumberRange kMaxOutputRange{1, std::int64_t{1} << 40, "bytes"};
constexpr TNumberRange kMaxClientsRange{0, kInt32Max, "clients"};
constexpr TNumberRange kRegistrationsRange{0, kInt32Max, "registrations"};
constexpr TNumberRange kMaxOutputTotalRange{0, std::int64_t{1} << 50, "bytes"};
constexpr TNumberRange kPendingLoginsRange{0, kInt32Max, "logins"};
constexpr TNumberRange kLoginDelayRange{0, kInt32Max, "milliseconds"};
constexpr TNumberRange kLoginTimeoutRange{0, kTimeoutRange.Max, "seconds"};
constexpr TNumberRange kLinesPerSecondRange{0, kUint32Max, "lines per second"};
constexpr TNumberRange kLineBurstRange{1, kUint32Max, "lines"};
constexpr TNumberRange kBytesPerSecondRange{0, kUint32Max, "bytes per second"};
// Below a few hundred milliseconds a busy loop or Redis would have live nodes reaped.
constexpr TNumberRange kHeartbeatRange{200, 3'600'000, "milliseconds"};
constexpr std::string_view kNodeIdRule = "1 to 64 bytes without '|' or control characters";

// The check behind every number option: the same words on the command line and for the
// settings file.
CLI::Validator InRange(const TNumberRange& range) {
  std::string description =
      "from " + std::to_string(range.Min) + " to " + std::to_string(range.Max);
  return CLI::Validator(
      [range](std::string& text) { return NumberProblem(text, range).value_or(""); }, description);
}

void AddListenOptions(CLI::App& app, TServerOptions& options) {
  app.add_option("--port", options.Settings.Port,
                 "TCP port to listen on; 0 = any free port (settings file: Port)")
      ->check(InRange(kPortRange));
  app.add_option("--bind", options.BindAddress, "Address or host name to listen on");
  app.add_option("--ini", options.IniPath, "Settings file");
  app.add_option("--lobby-name", options.Settings.LobbyName,
                 "Name of every subject code's lobby (settings file: LobbyName)");
  app.add_option("--timeout", options.Settings.Timeout,
                 "Seconds without a ping answer before a guest is dropped (settings file: Timeout)")
      ->check(InRange(kTimeoutRange));
  app.add_option("--ping-interval-ms", options.Limits.PingIntervalMs, "Milliseconds between pings")
      ->check(InRange(kPingIntervalRange));
}

void AddTraceOptions(CLI::App& app, TServerOptions& options, const std::string& defaultLogPath) {
  app.add_option_function<std::string>(
         "--log",
         [&options, defaultLogPath](const std::string& path) {
           options.LogPath = path.empty() ? defaultLogPath : path;
         },
         "Append the log (and the trace, while it is on) to this file instead of stderr; "
         "created with mode 0600, reopened on SIGHUP (default " +
             defaultLogPath + ")")
      ->expected(0, 1);
  app.add_flag("--trace", options.Trace, "Print incoming and outgoing lines on stdout");
  app.add_option("--log-format", options.LogFormat, "Log lines as text or as JSON lines")
      ->capture_default_str()
      ->check(CLI::IsMember({"text", "json"}));
  app.add_option("--log-level", options.LogLevel, "Least level logged")
      ->capture_default_str()
      ->check(CLI::IsMember({"debug", "info", "warn", "error"}));
}

void AddClientLimitOptions(CLI::App& app, TClientLimits& limits) {
  app.add_option("--max-clients-per-address", limits.MaxClientsPerAddress,
                 "Most clients at once from one address; 0 = no limit")
      ->check(InRange(kMaxClientsRange));
  app.add_option("--login-timeout", limits.LoginTimeoutSeconds,
                 "Seconds a client may stay without logging in; 0 = no limit")
      ->check(InRange(kLoginTimeoutRange));
  app.add_option("--max-registrations-per-hour", limits.RegistrationsPerHour,
                 "New-user registrations per hour from one address; 0 = no limit")
      ->check(InRange(kRegistrationsRange));
}

void AddLimitOptions(CLI::App& app, TServerOptions& options) {
  app.add_option("--max-line", options.Limits.MaxLine, "Longest accepted line in bytes")
      ->check(InRange(kMaxLineRange));
  app.add_option("--max-output", options.Limits.MaxOutput,
                 "Unsent bytes per connection before it is dropped as a slow reader")
      ->check(InRange(kMaxOutputRange));
  app.add_option("--max-output-total", options.Limits.MaxOutputTotal,
                 "Unsent bytes of all connections together before the largest queues are "
                 "dropped as slow readers; 0 = no limit (default a quarter of the memory)")
      ->check(InRange(kMaxOutputTotalRange));
  app.add_option("--users", options.UsersPath,
                 "Keep users and feedback in this database file (created when missing)");
  app.add_option("--max-clients", options.MaxClients,
                 "Most clients at once; 0 = as many as the open-file limit allows")
      ->check(InRange(kMaxClientsRange));
  AddClientLimitOptions(app, options.ClientLimits);
}

void AddLoginOptions(CLI::App& app, TLoginLimits& logins) {
  app.add_option("--max-pending-logins", logins.MaxPending,
                 "Password checks waiting at once before a login is told the server is busy; "
                 "0 = no limit")
      ->check(InRange(kPendingLoginsRange));
  app.add_option("--max-pending-logins-per-address", logins.MaxPendingPerAddress,
                 "The same from one address; 0 = no limit")
      ->check(InRange(kPendingLoginsRange));
  app.add_option("--login-delay-cap-ms", logins.Throttle.MaxDelayMs,
                 "Longest wait after repeated wrong passwords from one address or for one id; "
                 "0 = no wait")
      ->check(InRange(kLoginDelayRange));
}

// A quarter of the machine's memory: room for the queues of readers that fall behind, and
// plenty left for everything else.
std::size_t QuarterOfMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::size_t>(pages) / 4 * static_cast<std::size_t>(pageSize);
}

void AddFloodOptions(CLI::App& app, TFloodLimits& flood) {
  app.add_option("--max-lines-per-second", flood.LinesPerSecond,
                 "Lines per second a client may send before it is slowed down; 0 = no limit")
      ->check(InRange(kLinesPerSecondRange));
  app.add_option("--line-burst", flood.LineBurst,
                 "Lines a client may send at once after a quiet spell")
      ->check(InRange(kLineBurstRange));
  app.add_option("--max-bytes-per-second", flood.BytesPerSecond,
                 "Bytes per second a client may send before it is slowed down; 0 = no limit")
      ->check(InRange(kBytesPerSecondRange));
}

void AddTlsOptions(CLI::App& app, TTlsOptions& tls) {
  auto* port = app.add_option("--tls-port", tls.Port,
                              "Also listen for TLS 1.2/1.3 on this port; 0 = any free port")
                   ->check(InRange(kPortRange));
  auto* cert = app.add_option("--tls-cert", tls.CertFile,
                              "The TLS certificate (PEM, chain after it) for --tls-port");
  auto* key = app.add_option("--tls-key", tls.KeyFile, "The TLS private key (PEM) for --tls-port");
  app.add_option("--tls-ca", tls.CaFile,
                 "Ask TLS clients for a certificate signed by an authority in this PEM file")
      ->needs(port);
  port->needs(cert)->needs(key);
  app.add_flag("--no-plain", tls.NoPlain, "Listen only on the TLS port")->needs(port);
  app.add_flag("--require-tls-login", tls.RequireLogin,
               "Refuse LOGIN and LOGINNEW on the plain port")
      ->needs(port);
}

void AddWebSocketOptions(CLI::App& app, TWebSocketOptions& web) {
  app.add_option("--ws-port", web.Port,
                 "Also listen for WebSocket clients (browsers) on this port, path /zorva; "
                 "0 = any free port")
      ->check(InRange(kPortRange));
  app.add_option("--wss-port", web.SecurePort,
                 "Also listen for WebSocket clients inside TLS on this port (the --tls-cert "
                 "and --tls-key files); 0 = any free port")
      ->check(InRange(kPortRange))
      ->needs("--tls-cert")
      ->needs("--tls-key");
  app.add_option("--ws-origins", web.Origins,
                 "Comma-separated page origins allowed to open a WebSocket, such as "
                 "https://game.example; default: any")
      ->delimiter(',');
  app.add_option("--web-root", web.WebRoot,
                 "Serve the files under this folder at / on the WebSocket ports")
      ->check(CLI::ExistingDirectory);
}

void AddClusterOptions(CLI::App& app, TClusterOptions& cluster) {
  app.add_option_function<std::string>(
      "--cluster",
      [&cluster](const std::string& url) {
        TRedisAddress address;
        std::string error;
        if (!ParseRedisUrl(url, address, error)) throw CLI::ValidationError("--cluster", error);
        cluster.Redis = address;
        cluster.Url = url;
      },
      "Share lobbies and subjects with the other daemons using the Redis at "
      "redis://HOST:PORT[/DB]");
  app.add_option("--node-id", cluster.NodeId,
                 "This daemon's name in the cluster, unique among its nodes (default "
                 "HOST:PORT, this machine's name and --port)")
      ->check(CLI::Validator(
          [](std::string& node) {
            return cluster::ValidNodeId(node)
                       ? ""
                       : "'" + node + "' is not a node id; give " + std::string(kNodeIdRule);
          },
          std::string(kNodeIdRule)));
  app.add_option("--cluster-heartbeat-ms", cluster.HeartbeatMs,
                 "Milliseconds a node's heartbeat lasts: the other nodes remove the members of "
                 "a node silent for longer")
      ->check(InRange(kHeartbeatRange));
}

void PrintError(const CLI::App& app, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", app.get_name().c_str(), text.c_str());
}

// The options the settings file holds under their own names; --port, --lobby-name and
// --timeout have the file's older keys and are read with the other settings.
bool TakesKeyOfItsName(const CLI::Option& option) {
  static const std::vector<std::string> kElsewhere = {"port", "lobby-name", "timeout",
                                                      "ini",  "help",       "version"};
  const auto& names = option.get_lnames();
  return !names.empty() && std::ranges::find(kElsewhere, names.front()) == kElsewhere.end();
}

// `failure` reads "--max-line: 0 is out of range; ..."; the file's report names the key itself.
std::string WithoutOptionName(const CLI::Option& option, const std::string& failure) {
  const auto prefix = option.get_name() + ": ";
  return failure.starts_with(prefix) ? failure.substr(prefix.size()) : failure;
}

// A value from the file goes through the option's own check; one that fails leaves the
// option's default in place.
void ApplyFileValue(CLI::Option& option, const std::string& path, const std::string& value,
                    std::vector<std::string>& warnings) {
  const auto used = option.get_default_str();
  try {
    option.add_result(value);
    option.run_callback();
  } catch (const CLI::ParseError& failure) {
    option.clear();
    warnings.push_back(SettingWarning(path, option.get_lnames().front(), value,
                                      WithoutOptionName(option, failure.what()),
                                      used.empty() ? "the default" : used));
  }
}

void ApplyFileValues(const std::vector<CLI::Option*>& fileOptions, const TIniFile& ini,
                     const std::string& path, std::vector<std::string>& warnings) {
  for (CLI::Option* option : fileOptions) {
    if (option->count() > 0) continue;
    if (const auto value = ini.Read(kSection, option->get_lnames().front())) {
      ApplyFileValue(*option, path, *value, warnings);
    }
  }
}

// Reads the settings file into the options the command line left open. Returns false (with
// the reason) only for a file named with --ini that exists and cannot be read; the default
// file is only reported, since the window creates or rewrites it when it saves.
bool ReadSettingsFile(CLI::App& app, const std::vector<CLI::Option*>& fileOptions,
                      TServerOptions& options) {
  std::string error;
  const auto ini = TIniFile::TryLoad(options.IniPath, error);
  if (!ini) {
    PrintError(app, error);
    return app.get_option("--ini")->count() == 0;
  }
  std::vector<std::string> warnings;
  ReadSettings(options.IniPath, &warnings);
  ApplyFileValues(fileOptions, *ini, options.IniPath, warnings);
  for (const auto& warning : warnings) PrintError(app, warning);
  return true;
}

// The numeric address of `host`, so that the transport gets no name to look up.
std::optional<std::string> ResolveHost(const std::string& host, std::string& error) {
  addrinfo* found = nullptr;
  // An IPv4 address first: "localhost" then means 127.0.0.1, which every client reaches.
  for (const int family : {AF_INET, AF_INET6}) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    const int failed = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (failed == 0) break;
    error = "cannot find the address of '" + host + "': " + ::gai_strerror(failed);
    found = nullptr;
  }
  if (found == nullptr) return std::nullopt;
  char numeric[NI_MAXHOST] = {};
  const int failed = ::getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric,
                                   nullptr, 0, NI_NUMERICHOST);
  ::freeaddrinfo(found);
  if (failed != 0) {
    error = "cannot find the address of '" + host + "': " + ::gai_strerror(failed);
    return std::nullopt;
  }
  return std::string(numeric);
}

// What the command line leaves to the environment: the settings file and the bind address's
// name. A failure here is one of starting, not of the command line.
void CompleteFromEnvironment(CLI::App& app, const std::vector<CLI::Option*>& fileOptions,
                             TServerOptions& options) {
  if (!ReadSettingsFile(app, fileOptions, options)) throw CLI::RuntimeError(kStartFailure);
  std::string error;
  const auto address = ResolveHost(options.BindAddress, error);
  if (!address) {
    PrintError(app, "--bind: " + error);
    throw CLI::RuntimeError(kStartFailure);
  }
  options.BindAddress = *address;
}

}  // namespace

void AddServerOptions(CLI::App& app, TServerOptions& options, const std::string& defaultLogPath) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.option_defaults()->always_capture_default();
  app.set_version_flag("--version", VersionText(app.get_name()));
  app.footer(
      "Every option can also be set in the [ZorvaServer] section of the settings file, under "
      "the option's name without \"--\"; the command line wins.\n"
      "Exit codes: 0 after a stop by signal, 1 when the server cannot start, 2 for a mistake "
      "on the command line.");
  options.IniPath = DefaultIniPath();
  AddListenOptions(app, options);
  AddTraceOptions(app, options, defaultLogPath);
  options.Limits.MaxOutputTotal = QuarterOfMemory();
  AddLimitOptions(app, options);
  AddLoginOptions(app, options.Logins);
  AddFloodOptions(app, options.Limits.Flood);
  AddTlsOptions(app, options.Tls);
  AddWebSocketOptions(app, options.WebSocket);
  AddClusterOptions(app, options.Cluster);
  std::vector<CLI::Option*> fileOptions;
  for (CLI::Option* option : app.get_options()) {
    if (TakesKeyOfItsName(*option)) fileOptions.push_back(option);
  }
  app.final_callback(
      [&app, &options, fileOptions] { CompleteFromEnvironment(app, fileOptions, options); });
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
  } catch (const CLI::Success& done) {
    return app.exit(done);
  } catch (const CLI::RuntimeError& failure) {
    return failure.get_exit_code();  // already reported
  } catch (const CLI::ParseError& error) {
    PrintError(app, error.what());
    std::fprintf(stderr, "Run with --help for more information.\n");
    return kUsageError;
  }
  return std::nullopt;
}

TTlsFiles TlsFiles(const TTlsOptions& tls) {
  return {tls.CertFile, tls.KeyFile, tls.CaFile};
}

std::string ClusterNodeId(const TClusterOptions& cluster, int port, std::string& error) {
  if (!cluster.NodeId.empty()) return cluster.NodeId;
  if (port == 0) {
    error =
        "--cluster with --port 0 needs --node-id: the default HOST:PORT would not tell nodes apart";
    return {};
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) {
    error = "--node-id is needed: this machine's name cannot be read";
    return {};
  }
  auto node = std::string(host) + ":" + std::to_string(port);
  if (!cluster::ValidNodeId(node)) {
    error = "--node-id is needed: " + node + " is not " + std::string(kNodeIdRule);
    return {};
  }
  return node;
}

std::string DefaultLogPath(const char* argv0) {
  std::error_code ec;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) executable = std::filesystem::absolute(argv0, ec);
  return (executable.parent_path() / "Zorva.log").string();
}

}  // namespace zorva
