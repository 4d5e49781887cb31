// LogFileSink: writes spdlog's formatted lines into a TLogFile, the daemon's --log file; the
// event lines and the trace lines each have one, sharing the file.
//
//   logger.sinks().push_back(std::make_shared<LogFileSink>(file));
#pragma once

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <memory>

#include "LogFile.h"

namespace zorva {

class LogFileSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  explicit LogFileSink(std::shared_ptr<TLogFile> file) : FFile(std::move(file)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override;
  // Every line is written at once: nothing is held back.
  void flush_() override {}

 private:
  std::shared_ptr<TLogFile> FFile;
};

}  // namespace zorva
