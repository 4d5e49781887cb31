#include "ZorvaConnection.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "ComponentPalette.h"
#include "ZorvaProtocol.h"
#include "ZorvaUtils.h"

namespace zorva {

namespace {

using THandler = void (TZorvaConnection::*)(std::string_view);

// Lines a nested dispatch past kMaxNesting may leave waiting, in units of the line limit.
constexpr std::size_t kWaitingLineLimits = 16;
constexpr std::string_view kNoTlsText = "This connection's socket cannot use TLS";

}  // namespace

TZorvaConnection::TZorvaConnection(std::unique_ptr<IClientSocket> socket)
    : FSocket(std::move(socket)) {
  FSocket->SetEvents(this);
}

TZorvaConnection::~TZorvaConnection() {
  FLifetime.reset();
  FSocket->SetEvents(nullptr);
  FSocket->Close();
  ClearUsers();
}

void TZorvaConnection::SetActive(bool value) {
  if (value == FConnected) return;
  if (value) {
    if (!FSocket->SetTls(FTls)) return MyOnError(EPROTONOSUPPORT, kNoTlsText);
    FSocket->Connect(FHost, IsValidIPAddress(FHost), FPort);
    return;
  }
  FClosing = true;
  FSocket->Close();
  // A socket that did not report the end itself: the connection is over all the same.
  if (FConnected) MyOnDisconnect();
  FClosing = false;
}

void TZorvaConnection::SetPort(std::int32_t value) {
  if (!FConnected) FPort = value;
}

void TZorvaConnection::SetSubjectCode(std::string value) {
  if (!FConnected) FSubjectCode = std::move(value);
}

void TZorvaConnection::SetMaxLineLength(std::size_t bytes) {
  FMaxLineLength = bytes;
  if (FFramer.Buffered() == 0) FFramer = LineFramer(bytes);
}

bool TZorvaConnection::Login(std::string_view userId, std::string_view password) {
  return SendMessageData(Msg::Login(userId, FSubjectCode, password));
}

bool TZorvaConnection::LoginNew(std::string_view userId, std::string_view userText) {
  return SendMessageData(Msg::LoginNew(userId, FSubjectCode, userText));
}

bool TZorvaConnection::JoinSubject(std::string_view subjectName) {
  if (subjectName == FCurrentSubject) return false;
  return SendMessageData(Msg::JoinSubject(subjectName));
}

bool TZorvaConnection::CreateSubject(std::string_view subjectName, std::int32_t limit) {
  return SendMessageData(Msg::CreateSubject(subjectName, limit));
}

bool TZorvaConnection::SendChatMessage(std::string_view text) {
  return SendMessageData(Msg::SendChat(text));
}

bool TZorvaConnection::SendDataMessage(std::string_view text) {
  return SendMessageData(Msg::SendData(text));
}

bool TZorvaConnection::SendMessage(std::string_view messageType, std::string_view messageText) {
  return SendMessageData(Msg::Custom(messageType, messageText));
}

bool TZorvaConnection::SendFeedback(std::string_view text) {
  return SendMessageData(Msg::Feedback(text));
}

bool TZorvaConnection::RequestUserInfo(std::string_view userId) {
  return SendMessageData(Msg::UserInfoRequest(userId));
}

void TZorvaConnection::Register() {
  RegisterComponents(kZorvaPalettePage, {"TZorvaConnection"});
}

bool TZorvaConnection::RequestStatistics() {
  return SendMessageData(Msg::ServerStatsRequest());
}

bool TZorvaConnection::UpdateUserInfo() {
  if (!FCurrentUser) return false;
  return SendMessageData(Msg::UserUpdate(FCurrentUser->Id(), FCurrentUser->toString()));
}

TZorvaUser& TZorvaConnection::GetUser(int index) const {
  if (index < 0 || index >= GetUserCount()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *FUsers[static_cast<std::size_t>(index)];
}

TZorvaUser* TZorvaConnection::FindUser(std::string_view userId) const {
  const auto found = FUserIndex.find(userId);
  if (found == FUserIndex.end()) return nullptr;
  if (found->second->Id() == userId) return found->second;
  // The program renamed a listed record (its own, to update it): the index is stale for it.
  return ScanUsers(userId);
}

TZorvaUser* TZorvaConnection::ScanUsers(std::string_view userId) const {
  const auto found = std::ranges::find_if(FUsers, [&](const auto& u) { return u->Id() == userId; });
  return found == FUsers.end() ? nullptr : found->get();
}

void TZorvaConnection::ClearUsers() {
  for (auto& user : FUsers) Retire(std::move(user));
  FUsers.clear();
  FUserIndex.clear();
  ++FListVersion;
}

void TZorvaConnection::Retire(TListedUser user) {
  if (FDepth > 0) FRetired.push_back(std::move(user));
}

bool TZorvaConnection::IsValidIPAddress(std::string_view text) {
  std::int32_t value = 0;
  for (int part = 0; part < 3; ++part) {
    if (!TryStrToInt(getToken(text, '.'), value) || text.empty()) return false;
  }
  return TryStrToInt(text, value);
}

bool TZorvaConnection::SendMessageData(std::string line) {
  if (!FConnected) return false;
  Fire(FOnEncryptString, line);
  // The encrypt handler may have closed the connection. A line feed, from the program's text or
  // from encryption, would make the rest a command of its own.
  if (!FConnected || line.find(kLineFeed) != std::string::npos) return false;
  const auto waiting = FSocket->BytesToWrite();
  if (waiting + line.size() + 1 > FMaxOutput) {
    Fire(FOnSendError, line,
         "Output queue full: " + std::to_string(waiting) + " bytes wait to be sent, the limit is " +
             std::to_string(FMaxOutput));
    return false;
  }
  line += kLineFeed;
  FSocket->Write(line);
  return true;
}

void TZorvaConnection::ProcessMessage(std::string_view args, std::string_view command) {
  static const std::unordered_map<std::string_view, THandler> handlers = {
      {Cmd::Login, &TZorvaConnection::HandleLogin},
      {Cmd::Send, &TZorvaConnection::HandleSend},
      {Cmd::Ping, &TZorvaConnection::HandlePing},
      {Cmd::Subjects, &TZorvaConnection::HandleSubjects},
      {Cmd::AddSubject, &TZorvaConnection::HandleAddSubject},
      {Cmd::RemoveSubject, &TZorvaConnection::HandleRemoveSubject},
      {Cmd::JoinSubject, &TZorvaConnection::HandleJoinSubject},
      {Cmd::AddGuest, &TZorvaConnection::HandleAddGuest},
      {Cmd::RemoveGuest, &TZorvaConnection::HandleRemoveGuest},
      {Cmd::BeginSubject, &TZorvaConnection::HandleBeginSubject},
      {Cmd::ServerStats, &TZorvaConnection::HandleServerStats},
      {Cmd::UserInfo, &TZorvaConnection::HandleUserInfo},
      {Cmd::Shout, &TZorvaConnection::HandleShout},
      {Cmd::Error, &TZorvaConnection::HandleError},
      {Cmd::Custom, &TZorvaConnection::HandleCustom},
  };
  const auto found = handlers.find(command);
  if (found != handlers.end()) (this->*found->second)(args);
}

void TZorvaConnection::HandleLogin(std::string_view args) {
  const auto result = getToken(args, kFieldSeparator);
  if (result != Cmd::Success) {
    Fire(FOnLoginFailed, args);
    return;
  }
  // Parsed apart first: a text that does not parse leaves the old login as it was.
  auto user = std::make_unique<TZorvaUser>();
  user->fromString(args);
  if (FCurrentUser) {
    Unlist(FCurrentUser.get());
    Retire(TListedUser(FCurrentUser.release()));
  }
  FCurrentUser = std::move(user);
  FLoggedIn = true;
  Fire(FOnLoginSuccess, *FCurrentUser);
}

void TZorvaConnection::HandleSend(std::string_view args) {
  const auto senderId = getToken(args, kFieldSeparator);
  const auto kind = getToken(args, kFieldSeparator);
  if (kind == Cmd::Chat) {
    Fire(FOnChatReceived, args, senderId);
  } else if (kind == Cmd::Data) {
    Fire(FOnDataReceived, args, senderId);
  }
}

void TZorvaConnection::HandlePing(std::string_view args) {
  SendMessageData(Msg::PingReply());
  for (;;) {
    const auto userId = getToken(args, kFieldSeparator);
    if (userId.empty()) return;
    const auto roundTrip = StrToInt(getToken(args, kFieldSeparator), "RoundTrip");
    if (auto* user = FindUser(userId)) user->recordPing(roundTrip);
  }
}

void TZorvaConnection::HandleSubjects(std::string_view args) {
  // A handler's nested event loop may bring a newer listing, or the end of the connection.
  const auto session = FSession;
  const auto version = ++FNamesVersion;
  FSubjectNames.clear();
  for (;;) {
    const auto name = getToken(args, kFieldSeparator);
    if (name.empty()) return;
    FSubjectNames.emplace_back(name);
    Fire(FOnAddSubject, name);
    if (FSession != session || FNamesVersion != version) return;
  }
}

void TZorvaConnection::HandleAddSubject(std::string_view args) {
  const auto name = getToken(args, kFieldSeparator);
  FSubjectNames.emplace_back(name);
  Fire(FOnAddSubject, name);
}

void TZorvaConnection::HandleRemoveSubject(std::string_view args) {
  const auto name = getToken(args, kFieldSeparator);
  Fire(FOnRemoveSubject, name);
  const auto found = std::ranges::find(FSubjectNames, name);
  if (found != FSubjectNames.end()) FSubjectNames.erase(found);
}

void TZorvaConnection::HandleJoinSubject(std::string_view args) {
  const auto name = getToken(args, kFieldSeparator);
  FCurrentSubject = name;
  ClearUsers();
  // A handler that cleared the list, ended the connection or let a newer listing in ends this one.
  const auto version = FListVersion;
  Fire(FOnJoinSubject, name);
  for (;;) {
    if (FListVersion != version) return;
    const auto userText = getToken(args, kFieldSeparator);
    if (userText.empty()) return;
    Fire(FOnAddUser, ListUser(userText));
  }
}

void TZorvaConnection::HandleAddGuest(std::string_view args) {
  getToken(args, kFieldSeparator);
  Fire(FOnAddUser, ListUser(args));
}

void TZorvaConnection::HandleRemoveGuest(std::string_view args) {
  auto* user = FindUser(args);
  if (!user) return;
  const auto version = FListVersion;
  Fire(FOnRemoveUser, *user);
  // A handler that cleared the list (or ended the connection) has already freed the record.
  if (version == FListVersion) Unlist(user);
}

void TZorvaConnection::HandleBeginSubject(std::string_view) {
  Fire(FOnBeginSubject);
}

void TZorvaConnection::HandleServerStats(std::string_view args) {
  TZorvaServerStats stats;
  stats.fromString(getToken(args, kFieldSeparator));
  FServerStats = stats;
  Fire(FOnServerStatus, FServerStats);
}

void TZorvaConnection::HandleUserInfo(std::string_view args) {
  const auto userText = getToken(args, kFieldSeparator);
  TZorvaUser scratch;
  scratch.fromString(userText);
  auto* user = FindUser(scratch.Id());
  if (!user) return;
  // Refilled in place: the text form carries no ping history, and the record keeps its own.
  user->fromString(userText);
  Fire(FOnUserInfo, *user);
}

void TZorvaConnection::HandleShout(std::string_view args) {
  Fire(FOnShout, getToken(args, kFieldSeparator));
}

void TZorvaConnection::HandleError(std::string_view args) {
  Fire(FOnServerError, args);
}

void TZorvaConnection::HandleCustom(std::string_view args) {
  const auto messageType = getToken(args, kFieldSeparator);
  Fire(FOnCustomMessage, messageType, args);
}

TZorvaUser& TZorvaConnection::ListUser(std::string_view userText) {
  auto fresh = std::make_unique<TZorvaUser>();
  fresh->fromString(userText);
  TListedUser entry;
  if (FCurrentUser && fresh->Id() == FCurrentUser->Id()) {
    entry = TListedUser(FCurrentUser.get(), TListedUserDeleter{false});
  } else {
    entry = TListedUser(fresh.release());
  }
  auto& user = *entry;
  FUsers.push_back(std::move(entry));
  FUserIndex.try_emplace(user.Id(), &user);
  return user;
}

void TZorvaConnection::Unlist(const TZorvaUser* user) {
  const auto isUser = [&](const auto& listed) { return listed.get() == user; };
  if (std::ranges::find_if(FUsers, isUser) == FUsers.end()) return;
  // The id is read before erasing: erasing frees every record but the own one.
  const std::string id = user->Id();
  for (auto& listed : FUsers) {
    if (isUser(listed)) Retire(std::move(listed));
  }
  std::erase_if(FUsers, [](const auto& listed) { return !listed; });
  const auto indexed = FUserIndex.find(id);
  if (indexed == FUserIndex.end() || indexed->second != user) return;
  // Ids are unique on a sane server; should one repeat, its next record takes over the index.
  FUserIndex.erase(indexed);
  if (auto* next = ScanUsers(id)) FUserIndex.try_emplace(id, next);
}

void TZorvaConnection::MyOnConnect() {
  if (FConnected) return;
  FConnected = true;
  ++FSession;
  ResetInput();
  Fire(FOnConnected);
}

void TZorvaConnection::MyOnDisconnect() {
  if (!FConnected) return;
  FConnected = false;
  FLoggedIn = false;
  FCurrentSubject.clear();
  ++FSession;
  ResetInput();
  ClearUsers();
  if (!FClosing) Fire(FOnDisconnected);
}

void TZorvaConnection::ResetInput() {
  FFramer = LineFramer(FMaxLineLength);
  FPending.clear();
  FPendingBytes = 0;
}

void TZorvaConnection::MyOnError(int code, std::string_view text) {
  if (FOnSocketError) {
    Fire(FOnSocketError, code, text);
    return;
  }
  FSocket->ShowError(code, text);
}

void TZorvaConnection::MyOnRead(std::string_view bytes) {
  if (!FConnected || !FrameInput(bytes)) return;
  DispatchPending();
}

// Lines are copied out of the framer, so that a nested read never moves the text a running
// handler is looking at.
bool TZorvaConnection::FrameInput(std::string_view bytes) {
  const auto status = FFramer.Feed(bytes, [&](std::string_view line) {
    FPendingBytes += line.size();
    FPending.emplace_back(line);
    return true;
  });
  if (status != LineFramer::Status::TooLong && FPendingBytes <= kWaitingLineLimits * FMaxLineLength)
    return true;
  DropConnection();
  return false;
}

void TZorvaConnection::DispatchPending() {
  if (FDepth >= kMaxNesting) return;
  ++FDepth;
  const auto session = FSession;
  while (FSession == session && !FPending.empty()) {
    const std::string line = std::move(FPending.front());
    FPending.pop_front();
    FPendingBytes -= line.size();
    DispatchLine(line);
  }
  if (--FDepth == 0) FRetired.clear();
}

void TZorvaConnection::DispatchLine(std::string_view line) {
  std::string decrypted;  // outlives the try: the error report may quote it
  try {
    if (FOnDecryptString) {
      decrypted.assign(line);
      Fire(FOnDecryptString, decrypted);
      line = decrypted;
    }
    Fire(OnStringRead, line);
    const auto [command, args] = SplitCommand(line);
    ProcessMessage(args, command);
  } catch (const std::exception& error) {
    ReportLineError(line, error.what());
  } catch (...) {
    ReportLineError(line, "unknown exception");
  }
}

void TZorvaConnection::ReportLineError(std::string_view line, std::string_view reason) {
  // The lines after this one are still to be dispatched, so nothing may escape from here.
  try {
    Fire(FOnLineError, line, reason);
  } catch (...) {
  }
}

void TZorvaConnection::DropConnection() {
  FSocket->Close();
  if (FConnected) MyOnDisconnect();
}

}  // namespace zorva
