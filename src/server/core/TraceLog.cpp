#include "TraceLog.h"

#include <cerrno>
#include <cstring>

namespace zorva {

namespace {

std::string TraceText(std::string_view who, std::string_view line) {
  std::string text;
  text.reserve(who.size() + 2 + line.size());
  text += who;
  text += ": ";
  text += line;
  return text;
}

}  // namespace

bool TTraceLog::Open(const std::string& path, std::string& error) {
  Close();
  FFile.open(path, std::ios::binary | std::ios::trunc);
  FFileOpen = FFile.is_open();
  if (FFileOpen) return true;
  error = "Cannot create log file " + path + ": " + std::strerror(errno);
  return false;
}

void TTraceLog::Close() {
  if (FFileOpen) FFile.close();
  FFile.clear();
  FFileOpen = false;
}

void TTraceLog::Trace(TPane pane, std::string_view logPrefix, std::string_view who,
                      std::string_view line, IServerObserver& observer) {
  const auto text = TraceText(who, line);
  if (pane) (observer.*pane)(text);
  if (!IsOpen()) return;
  FFile << logPrefix << text << "\r\n";
  FFile.flush();
}

}  // namespace zorva
