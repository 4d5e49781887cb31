#include "LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zorva {

namespace {

int OpenForAppend(const std::string& path, std::string& error) {
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (descriptor < 0) error = "Cannot open log file " + path + ": " + std::strerror(errno);
  return descriptor;
}

}  // namespace

std::shared_ptr<TLogFile> TLogFile::Open(const std::string& path, std::string& error) {
  const int descriptor = OpenForAppend(path, error);
  if (descriptor < 0) return nullptr;
  return std::shared_ptr<TLogFile>(new TLogFile(path, descriptor));
}

TLogFile::~TLogFile() {
  ::close(FDescriptor);
}

bool TLogFile::Reopen(std::string& error) {
  const int descriptor = OpenForAppend(FPath, error);
  if (descriptor < 0) return false;
  const std::lock_guard lock(FLock);
  ::close(FDescriptor);
  FDescriptor = descriptor;
  return true;
}

void TLogFile::Write(std::string_view text) {
  const std::lock_guard lock(FLock);
  while (!text.empty()) {
    const auto written = ::write(FDescriptor, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    // A full disk must not stop the server; the line is lost.
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void LogFileSink::sink_it_(const spdlog::details::log_msg& message) {
  spdlog::memory_buf_t line;
  formatter_->format(message, line);
  FFile->Write({line.data(), line.size()});
}

}  // namespace zorva
