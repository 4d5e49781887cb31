#include "ZorvaProtocol.h"

#include <initializer_list>

#include "UserTextLimits.h"

namespace zorva {

namespace {

// Joins the parts with "|" in one allocation; `closing` adds the trailing "|" some messages end
// with.
std::string Join(std::initializer_list<std::string_view> parts, bool closing = false) {
  std::size_t size = parts.size() + (closing ? 1 : 0);
  for (const auto part : parts) size += part.size();
  std::string out;
  out.reserve(size);
  bool first = true;
  for (const auto part : parts) {
    if (!first) out += kFieldSeparator;
    out += part;
    first = false;
  }
  if (closing) out += kFieldSeparator;
  return out;
}

}  // namespace

bool IsValidSubjectName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameBytes && IsPlainField(name);
}

bool IsValidUserId(std::string_view id) {
  return IsValidSubjectName(id) && id.find_first_of("^`") == std::string_view::npos;
}

CommandLine SplitCommand(std::string_view line) {
  const auto bar = line.find(kFieldSeparator);
  if (bar == std::string_view::npos) return {line, {}};
  return {line.substr(0, bar), line.substr(bar + 1)};
}

namespace Msg {

std::string LoginSuccess(std::string_view userText) {
  return Join({Cmd::Login, Cmd::Success, userText});
}
std::string AddSubject(std::string_view name) {
  return Join({Cmd::AddSubject, name});
}
std::string RemoveSubject(std::string_view name) {
  return Join({Cmd::RemoveSubject, name});
}
std::string JoinSubjectHeader(std::string_view name) {
  return Join({Cmd::JoinSubject, name});
}
std::string AddGuest(std::string_view id, std::string_view userText) {
  return Join({Cmd::AddGuest, id, userText});
}
std::string RemoveGuest(std::string_view id) {
  return Join({Cmd::RemoveGuest, id});
}
std::string BeginSubject() {
  return Join({Cmd::BeginSubject}, true);
}
std::string ServerStats(std::string_view statsText) {
  return Join({Cmd::ServerStats, statsText}, true);
}
std::string UserInfo(std::string_view userText) {
  return Join({Cmd::UserInfo, userText}, true);
}
std::string PingHeader() {
  return Join({Cmd::Ping}, true);
}
void AppendPingEntry(std::string& ping, std::string_view id, std::int32_t roundTrip) {
  ping += id;
  ping += kFieldSeparator;
  ping += std::to_string(roundTrip);
  ping += kFieldSeparator;
}
std::string Relay(std::string_view senderId, std::string_view args) {
  std::string out;
  Relay(out, senderId, args);
  return out;
}
void Relay(std::string& out, std::string_view senderId, std::string_view args) {
  out.clear();
  out.reserve(Cmd::Send.size() + senderId.size() + args.size() + 2);
  out += Cmd::Send;
  out += kFieldSeparator;
  out += senderId;
  out += kFieldSeparator;
  out += args;
}
std::string Shout(std::string_view text) {
  return Join({Cmd::Shout, text}, true);
}
std::string Error(std::string_view reason) {
  return Join({Cmd::Error, reason});
}
std::string Unrecognized(std::string_view word, std::string_view args) {
  std::string out(Err::Unrecognized);
  out += word;
  out += kFieldSeparator;
  out += args;
  return out;
}
std::string Custom(std::string_view name, std::string_view data) {
  return Join({Cmd::Custom, name, data});
}

std::string Login(std::string_view id, std::string_view code, std::string_view password) {
  return Join({Cmd::Login, id, code, password});
}
std::string LoginNew(std::string_view id, std::string_view code, std::string_view userText) {
  return Join({Cmd::LoginNew, id, code, userText});
}
std::string SendChat(std::string_view text) {
  return Join({Cmd::Send, Cmd::Chat, text});
}
std::string SendData(std::string_view text) {
  return Join({Cmd::Send, Cmd::Data, text});
}
std::string PingReply() {
  return Join({Cmd::Ping}, true);
}
std::string CreateSubject(std::string_view name, std::int32_t maxConnections) {
  return Join({Cmd::CreateSubject, name, std::to_string(maxConnections)}, true);
}
std::string JoinSubject(std::string_view name) {
  return Join({Cmd::JoinSubject, name});
}
std::string ServerStatsRequest() {
  return Join({Cmd::ServerStats}, true);
}
std::string UserInfoRequest(std::string_view id) {
  return Join({Cmd::UserInfo, id}, true);
}
std::string UserUpdate(std::string_view id, std::string_view userText) {
  return Join({Cmd::UserUpdate, id, userText}, true);
}
std::string Feedback(std::string_view text) {
  return Join({Cmd::Feedback, text});
}

void AppendField(std::string& message, std::string_view field) {
  message += kFieldSeparator;
  message += field;
}

}  // namespace Msg

}  // namespace zorva
