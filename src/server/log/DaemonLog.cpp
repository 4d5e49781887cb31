#include "DaemonLog.h"

#include <spdlog/sinks/stdout_sinks.h>

namespace zorva {

namespace {

spdlog::sink_ptr FileOrStderr(const std::shared_ptr<TLogFile>& file) {
  if (file) return std::make_shared<LogFileSink>(file);
  return std::make_shared<spdlog::sinks::stderr_sink_mt>();
}

// Always there: the operator may switch tracing on at any time (the admin API), and the core
// traces nothing while both switches are off.
std::vector<spdlog::sink_ptr> TraceSinks(const std::shared_ptr<TLogFile>& file) {
  std::vector<spdlog::sink_ptr> sinks{std::make_shared<spdlog::sinks::stdout_sink_mt>()};
  if (file) sinks.push_back(std::make_shared<LogFileSink>(file));
  return sinks;
}

}  // namespace

std::unique_ptr<TDaemonLog> TDaemonLog::Open(const TLogOptions& options, std::string& error) {
  std::shared_ptr<TLogFile> file;
  if (options.Path) {
    file = TLogFile::Open(*options.Path, error);
    if (!file) return nullptr;
  }
  return std::unique_ptr<TDaemonLog>(new TDaemonLog(options, std::move(file)));
}

TDaemonLog::TDaemonLog(const TLogOptions& options, std::shared_ptr<TLogFile> file)
    : FFile(std::move(file)),
      FLogger(options.Format, options.Level, {FileOrStderr(FFile)}, TraceSinks(FFile)) {}

void TDaemonLog::Reopen() {
  if (!FFile) return;
  std::string error;
  if (!FFile->Reopen(error)) {
    FLogger.Log(spdlog::level::err, "log-reopen-failed", {{"error", error}});
    return;
  }
  FLogger.Log(spdlog::level::info, "log-reopened", {{"path", FFile->Path()}});
}

}  // namespace zorva
