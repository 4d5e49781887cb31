// The command line of the window program ZorvaServer: the server options zorva-server takes,
// which hold for one run without being written to the INI file, and the window's own (--start).
//
//   TProgramOptions options;
//   if (const auto exitCode = ParseProgramOptions(argc, argv, options)) return *exitCode;
#pragma once

#include <optional>
#include <string>

#include "ServerOptions.h"

namespace zorva {

struct TProgramOptions {
  // Trace goes to the window's panes; the flood budget is not kept.
  TServerOptions Server;
  bool Start = false;
  std::string ScreenshotDir;
  int ScreenshotAfterMs = 3000;
};

// Fills `options`; returns an exit code when the program should end at once (--help, or an
// option in error, already reported on the terminal).
std::optional<int> ParseProgramOptions(int argc, char** argv, TProgramOptions& options);

}  // namespace zorva
