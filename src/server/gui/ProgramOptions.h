// The command line of the window program ZorvaServer: the daemon's server options, which hold
// for one run without being written to the INI file, and the window's own (--start).
//
//   TProgramOptions options;
//   if (const auto exitCode = ParseProgramOptions(argc, argv, options)) return *exitCode;
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "LineFramer.h"
#include "QtTransport.h"
#include "ServerForm.h"

namespace zorva {

struct TProgramOptions {
  TSettingsOverrides Settings;
  std::string IniPath;      // empty: the user's default "Win.ini"
  std::string BindAddress;  // empty: every IPv4 interface
  int PingIntervalMs = QtTransport::kDefaultPingIntervalMs;
  // Set: "To Log File" on from the start; empty: the usual "Zorva.log" beside the program.
  std::optional<std::string> LogPath;
  bool Trace = false;  // both trace panes on
  std::size_t MaxLine = LineFramer::kDefaultMaxLine;
  std::size_t MaxOutput = QtTransport::kDefaultMaxOutputBytes;
  bool Start = false;
  // Set: the store window, with users and feedback kept in this database file.
  std::optional<std::string> UsersPath;
  std::string ScreenshotDir;
  int ScreenshotAfterMs = 3000;
};

// Fills `options`; returns an exit code when the program should end at once (--help, or an
// option in error, already reported on the terminal).
std::optional<int> ParseProgramOptions(int argc, char** argv, TProgramOptions& options);

}  // namespace zorva
