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

#include "FloodBudget.h"
#include "ServerSettings.h"

namespace zorva {

struct TServerOptions {
  std::string IniPath;  // DefaultIniPath() unless given
  std::string BindAddress = "0.0.0.0";
  TSettingsOverrides Settings;  // each given one wins over the INI file
  std::int32_t PingIntervalMs = 30000;
  std::optional<std::string> LogPath;  // set when --log is given, with or without a path
  bool Trace = false;
  std::size_t MaxLine = 65536;
  std::size_t MaxOutput = 8 * 1024 * 1024;
  // Users and feedback kept in this database file; without it nothing is kept.
  std::optional<std::string> UsersPath;
  std::size_t MaxClients = 0;  // 0 = as many as the open-file limit allows
  TFloodLimits Flood;
  // The admin HTTP API's "ADDRESS:PORT"; off without it.
  std::optional<std::string> AdminAddress;
  std::string AdminTokenFile;  // beside the settings file unless given
  bool MetricsPublic = false;
};

// The flood-budget options, for a program whose transport has no budget to say so.
inline constexpr const char* kFloodOptionNames[] = {"--max-lines-per-second", "--line-burst",
                                                    "--max-bytes-per-second"};

// Adds the server options to `app`, filling `options` as they are parsed; a later option wins,
// so that wrappers can append to a command line. A bare --log writes to `defaultLogPath`.
void AddServerOptions(CLI::App& app, TServerOptions& options, const std::string& defaultLogPath);

// The admin API's options, for the daemon only.
void AddAdminOptions(CLI::App& app, TServerOptions& options);

// Parses the command line into the options added to `app`. Returns an exit code when the
// program should end at once: 0 after --help, non-zero (with the message on stderr) for a bad
// command line.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv);

// "Zorva.log" beside the running executable.
std::string DefaultLogPath(const char* argv0);

}  // namespace zorva
