// TLogFile: a log file that is private to its owner and written whole lines at a time: the
// daemon's --log file and the window's trace file. It creates a missing file readable by its
// owner only (0600), appends (or, when asked, starts anew), and reopens the same path on
// request, so that a log rotator can move the file away and send SIGHUP. Several writers
// (event lines, trace lines) may share one file.
//
//   std::string error;
//   auto file = TLogFile::Open("/var/log/zorva.log", error);
//   if (!file) fail(error);
//   file->Write("line\n");
//   ...on SIGHUP: file->Reopen(error);
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace zorva {

enum class TLogFileStart {
  Append,  // keep what the file holds
  Anew,    // empty the file first
};

class TLogFile {
 public:
  // nullptr with the reason in `error` when the file cannot be opened.
  static std::shared_ptr<TLogFile> Open(const std::string& path, std::string& error,
                                        TLogFileStart start = TLogFileStart::Append);
  ~TLogFile();
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  // Opens the path again, appending (a new file when the old one was moved). On failure keeps
  // writing to the file it had and returns false with the reason.
  bool Reopen(std::string& error);
  // Whole lines only: append mode keeps each write at the end, whoever else appends.
  void Write(std::string_view text);
  const std::string& Path() const { return FPath; }

 private:
  TLogFile(std::string path, int descriptor) : FPath(std::move(path)), FDescriptor(descriptor) {}

  std::string FPath;
  int FDescriptor;
  std::mutex FLock;
};

}  // namespace zorva
