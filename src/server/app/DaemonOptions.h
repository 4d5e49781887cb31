// The command line of the headless daemon zorva-server: what it reads, and how it lays the
// options over the settings from the INI file. Used by the daemon's main().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "FloodBudget.h"
#include "ServerSettings.h"

namespace zorva {

struct TDaemonOptions {
  std::string IniPath;  // DefaultIniPath() unless given
  std::string BindAddress = "0.0.0.0";
  // Given on the command line; each wins over the INI file.
  std::optional<std::int32_t> Port;
  std::optional<std::string> LobbyName;
  std::optional<std::int32_t> Timeout;
  std::uint32_t PingIntervalMs = 30000;
  std::optional<std::string> LogPath;  // set when --log is given, with or without a path
  bool Trace = false;
  std::size_t MaxLine = 65536;
  std::size_t MaxOutput = 8 * 1024 * 1024;
  // Users and feedback kept in this database file; without it nothing is kept.
  std::optional<std::string> UsersPath;
  std::size_t MaxClients = 0;  // 0 = as many as the open-file limit allows
  TFloodLimits Flood;
};

// Fills `options` from the command line. Returns an exit code when the program should end at
// once: 0 after --help, non-zero (with the message on stderr) for a bad command line.
// `defaultLogPath` is what a bare --log writes to.
std::optional<int> ParseDaemonOptions(int argc, const char* const* argv,
                                      const std::string& defaultLogPath, TDaemonOptions& options);

TServerSettings ApplyOverrides(TServerSettings settings, const TDaemonOptions& options);

}  // namespace zorva
