#include "LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <unistd.h>
#endif

namespace zorva {

namespace {

#ifdef _WIN32
int OpenFile(const std::string& path, int truncate) {
  int descriptor = -1;
  _sopen_s(&descriptor, path.c_str(),
           _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT | truncate, _SH_DENYNO,
           _S_IREAD | _S_IWRITE);
  return descriptor;
}
constexpr int kTruncate = _O_TRUNC;
long WriteSome(int descriptor, std::string_view text) {
  return _write(descriptor, text.data(), static_cast<unsigned>(text.size()));
}
void CloseFile(int descriptor) {
  _close(descriptor);
}
#else
int OpenFile(const std::string& path, int truncate) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | truncate, 0600);
}
constexpr int kTruncate = O_TRUNC;
long WriteSome(int descriptor, std::string_view text) {
  return static_cast<long>(::write(descriptor, text.data(), text.size()));
}
void CloseFile(int descriptor) {
  ::close(descriptor);
}
#endif

int OpenForAppend(const std::string& path, TLogFileStart start, std::string& error) {
  const int descriptor = OpenFile(path, start == TLogFileStart::Anew ? kTruncate : 0);
  if (descriptor < 0) error = "Cannot open log file " + path + ": " + std::strerror(errno);
  return descriptor;
}

}  // namespace

std::shared_ptr<TLogFile> TLogFile::Open(const std::string& path, std::string& error,
                                         TLogFileStart start) {
  const int descriptor = OpenForAppend(path, start, error);
  if (descriptor < 0) return nullptr;
  return std::shared_ptr<TLogFile>(new TLogFile(path, descriptor));
}

TLogFile::~TLogFile() {
  CloseFile(FDescriptor);
}

bool TLogFile::Reopen(std::string& error) {
  const int descriptor = OpenForAppend(FPath, TLogFileStart::Append, error);
  if (descriptor < 0) return false;
  const std::lock_guard lock(FLock);
  CloseFile(FDescriptor);
  FDescriptor = descriptor;
  return true;
}

void TLogFile::Write(std::string_view text) {
  const std::lock_guard lock(FLock);
  while (!text.empty()) {
    const auto written = WriteSome(FDescriptor, text);
    if (written < 0 && errno == EINTR) continue;
    // A full disk must not stop the server; the line is lost.
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace zorva
