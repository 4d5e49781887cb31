#include "TraceLog.h"

#include "ZorvaProtocol.h"

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

constexpr std::string_view kMask = "***";
constexpr char kUserFieldSep = '^';

struct TSpan {
  std::size_t Begin = 0;
  std::size_t End = 0;
};

// Where the text after the first `count` separators starts; npos when there are fewer.
std::size_t AfterFields(std::string_view text, std::size_t count, char separator) {
  std::size_t position = 0;
  for (; count > 0; --count) {
    const auto found = text.find(separator, position);
    if (found == std::string_view::npos) return std::string_view::npos;
    position = found + 1;
  }
  return position;
}

// A user text's second field ("id^password^...") inside `span` of the line.
TSpan UserTextPassword(std::string_view line, TSpan span) {
  const auto userText = line.substr(span.Begin, span.End - span.Begin);
  const auto begin = AfterFields(userText, 1, kUserFieldSep);
  if (begin == std::string_view::npos) return {};
  const auto end = userText.find(kUserFieldSep, begin);
  return {span.Begin + begin, span.Begin + (end == std::string_view::npos ? userText.size() : end)};
}

// "LOGIN|id|code|password", "LOGINNEW|id|code|usertext", "USERUPDATE|id|usertext|...".
TSpan PasswordSpan(std::string_view line) {
  const auto word = line.substr(0, line.find(kFieldSeparator));
  const bool login = word == Cmd::Login;
  if (login || word == Cmd::LoginNew) {
    const auto rest = AfterFields(line, 3, kFieldSeparator);
    if (rest == std::string_view::npos) return {};
    if (login) return {rest, line.size()};
    return UserTextPassword(line, {rest, line.size()});
  }
  if (word != Cmd::UserUpdate) return {};
  const auto userText = AfterFields(line, 2, kFieldSeparator);
  if (userText == std::string_view::npos) return {};
  const auto end = line.find(kFieldSeparator, userText);
  return UserTextPassword(line, {userText, end == std::string_view::npos ? line.size() : end});
}

}  // namespace

std::string MaskPasswords(std::string_view line) {
  std::string masked(line);
  const auto password = PasswordSpan(line);
  if (password.End > password.Begin) {
    masked.replace(password.Begin, password.End - password.Begin, kMask);
  }
  return masked;
}

bool TTraceLog::Open(const std::string& path, std::string& error, TLogFileStart start) {
  Close();
  FFile = TLogFile::Open(path, error, start);
  return FFile != nullptr;
}

void TTraceLog::Close() {
  FFile.reset();
}

void TTraceLog::Trace(TPane pane, std::string_view logPrefix, std::string_view who,
                      std::string_view line, IServerObserver& observer) {
  const auto text = TraceText(who, line);
  if (pane) (observer.*pane)(text);
  if (!IsOpen()) return;
  std::string entry;
  entry.reserve(logPrefix.size() + text.size() + 2);
  entry += logPrefix;
  entry += text;
  entry += "\r\n";
  FFile->Write(entry);
}

}  // namespace zorva
