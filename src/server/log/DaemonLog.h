// TDaemonLog: the daemon's EventLogger wired to its outputs. Event lines go to the --log file
// when one is given, else to stderr; trace lines, while a trace switch is on, go to stdout and
// to that file too. Reopen() serves SIGHUP.
//
//   std::string error;
//   auto log = TDaemonLog::Open({TLogFormat::Text, spdlog::level::info, "/var/log/z.log"}, error);
//   if (!log) fail(error);
//   core.SetObserver(&log->Logger());
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "EventLogger.h"
#include "LogFileSink.h"

namespace zorva {

struct TLogOptions {
  TLogFormat Format = TLogFormat::Text;
  spdlog::level::level_enum Level = spdlog::level::info;
  std::optional<std::string> Path;
};

class TDaemonLog {
 public:
  // nullptr with the reason in `error` when the file cannot be opened.
  static std::unique_ptr<TDaemonLog> Open(const TLogOptions& options, std::string& error);

  EventLogger& Logger() { return FLogger; }
  // Opens the file's path anew and says so in the log; without a file it does nothing.
  void Reopen();

 private:
  TDaemonLog(const TLogOptions& options, std::shared_ptr<TLogFile> file);

  std::shared_ptr<TLogFile> FFile;
  EventLogger FLogger;
};

}  // namespace zorva
