// TLogFile: the daemon's --log file. It appends (never truncates), creates a missing file
// readable by its owner only (0600), and reopens the same path on request, so that a log
// rotator can move the file away and send SIGHUP. LogFileSink writes spdlog's formatted lines
// into it; several sinks (event lines, trace lines) may share one file.
//
//   std::string error;
//   auto file = TLogFile::Open("/var/log/zorva.log", error);
//   logger.sinks().push_back(std::make_shared<LogFileSink>(file));
//   ...on SIGHUP: file->Reopen(error);
#pragma once

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zorva {

class TLogFile {
 public:
  // nullptr with the reason in `error` when the file cannot be opened.
  static std::shared_ptr<TLogFile> Open(const std::string& path, std::string& error);
  ~TLogFile();
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  // Opens the path again (a new file when the old one was moved). On failure keeps writing to
  // the file it had and returns false with the reason.
  bool Reopen(std::string& error);
  // Whole lines only: O_APPEND keeps each write at the end, whoever else appends.
  void Write(std::string_view text);
  const std::string& Path() const { return FPath; }

 private:
  TLogFile(std::string path, int descriptor) : FPath(std::move(path)), FDescriptor(descriptor) {}

  std::string FPath;
  int FDescriptor;
  std::mutex FLock;
};

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
