// The server options both server programs take, zorva-server and the window program
// ZorvaServer, defined once so that the two command lines cannot drift apart. Each program adds
// its own options to the same CLI::App:
//
//   CLI::App app("...", "zorva-server");
//   TServerOptions options;
//   AddServerOptions(app, options, DefaultLogPath(argv[0]));
//   if (const auto exitCode = ParseCommandLine(app, argc, argv)) return *exitCode;
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LoginThrottle.h"
#include "RedisAddress.h"
#include "ServerSettings.h"
#include "TlsFiles.h"
#include "TransportLimits.h"

namespace zorva {

// The TLS listener: off without a port.
struct TTlsOptions {
  std::optional<std::uint16_t> Port;
  std::string CertFile;
  std::string KeyFile;
  std::string CaFile;    // clients must show a certificate it signed; none asked for without it
  bool NoPlain = false;  // only the TLS port listens
  bool RequireLogin = false;  // LOGIN and LOGINNEW on the plain port are refused
};

TTlsFiles TlsFiles(const TTlsOptions& tls);

// The WebSocket listeners for browsers: off without a port. wss:// uses the TLS files.
struct TWebSocketOptions {
  std::optional<std::uint16_t> Port;
  std::optional<std::uint16_t> SecurePort;
  std::vector<std::string> Origins;  // the pages allowed to connect; empty: any
  std::string WebRoot;               // files served at "/" on those ports; empty: none
};

// Sharing lobbies and subjects with other daemons through one Redis: off without an address.
struct TClusterOptions {
  std::optional<TRedisAddress> Redis;
  std::string Url;     // as given, for the log
  std::string NodeId;  // empty: this host's name and the listening port
  std::uint32_t HeartbeatMs = 5000;
};

struct TServerOptions {
  std::string IniPath;  // DefaultIniPath() unless given
  std::string BindAddress = "0.0.0.0";
  TSettingsOverrides Settings;         // each given one wins over the INI file
  std::optional<std::string> LogPath;  // set when --log is given, with or without a path
  bool Trace = false;
  std::string LogFormat = "text";  // "text" or "json"
  std::string LogLevel = "info";   // "debug", "info", "warn" or "error"
  // Users and feedback kept in this database file; without it nothing is kept.
  std::optional<std::string> UsersPath;
  std::size_t MaxClients = 0;  // 0 = as many as the open-file limit allows
  TClientLimits ClientLimits;
  TTransportLimits Limits;  // for whichever transport the program runs
  TLoginLimits Logins;
  // The admin HTTP API's "ADDRESS:PORT"; off without it.
  std::optional<std::string> AdminAddress;
  std::string AdminTokenFile;  // beside the settings file unless given
  bool MetricsPublic = false;
  TTlsOptions Tls;
  TWebSocketOptions WebSocket;
  TClusterOptions Cluster;
};

// The node id the daemon goes by: --node-id, else "HOST:PORT" with this machine's name. Empty,
// with the reason in `error`, when neither gives one other nodes can tell apart (port 0 is
// chosen only when listening starts).
std::string ClusterNodeId(const TClusterOptions& cluster, int port, std::string& error);

// Adds the server options and --version to `app`, filling `options` as they are parsed; a later
// option wins, so that wrappers can append to a command line. A bare --log writes to
// `defaultLogPath`. After the command line, the settings file fills the options it left open
// (a value in error is reported on stderr and the default kept), and --bind's host name becomes
// a numeric address. `app` and `options` must outlive the parse.
void AddServerOptions(CLI::App& app, TServerOptions& options, const std::string& defaultLogPath);

// The admin API's options, for the daemon only.
void AddAdminOptions(CLI::App& app, TServerOptions& options);

// Parses the command line into the options added to `app`. Returns an exit code when the
// program should end at once, the reason already on stderr: 0 after --help or --version, 2 for
// a mistake on the command line, 1 when a settings file named with --ini cannot be read or the
// --bind host has no address.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv);

// "Zorva.log" beside the running executable.
std::string DefaultLogPath(const char* argv0);

}  // namespace zorva
