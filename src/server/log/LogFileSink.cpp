#include "LogFileSink.h"

namespace zorva {

void LogFileSink::sink_it_(const spdlog::details::log_msg& message) {
  spdlog::memory_buf_t line;
  formatter_->format(message, line);
  FFile->Write({line.data(), line.size()});
}

}  // namespace zorva
