// TZorvaConnection: a client program's one link to the server. It connects, logs in or
// registers, sends every request as one line, answers pings, keeps the members of the current
// subject, the subject names and the last statistics, and turns every line from the server into
// an event. Framing, dispatch and state are plain C++; the socket sits behind IClientSocket.
//
//   TZorvaConnection conn;                      // the Qt socket; needs a running Qt event loop
//   conn.SetHost("127.0.0.1"); conn.SetPort(4000); conn.SetSubjectCode("chess");
//   conn.SetOnConnected([](TZorvaConnection& c) { c.Login("ann", "secret"); });
//   conn.SetOnChatReceived([](TZorvaConnection&, std::string_view text, std::string_view id) {});
//   conn.SetActive(true);
//
// Records and texts passed to events stay the connection's: a handler reads them and must not
// keep views or pointers past the record's life (a listed user lives until it leaves the list,
// the own user until the next login). Handlers may call any operation, Active false included;
// lines still buffered when the connection ends are never dispatched. A handler must not
// destroy the connection that called it (post the deletion to the event loop instead).
//
// A handler may run a nested event loop (a message box, a modal dialog): lines that arrive
// meanwhile are dispatched inside it, in order, so pings are answered at once. Records a nested
// line removes from the list stay valid until the outermost handler returns. Past kMaxNesting
// nested dispatches, further lines wait; more than 16 times the line limit waiting ends the
// connection like an over-long line.
//
// Socket errors go to OnSocketError when it is assigned; otherwise the socket shows them in the
// host's usual way ("Error Code N" in a message box under a widgets application, a line on
// standard error elsewhere). A line that fails while it is handled (a record that does not
// parse, a handler that throws) ends that line only; it is reported to OnLineError. A line the
// program sends that would take the unsent output past MaxOutput is not sent; the request
// returns false and OnSendError says why.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ClientSocket.h"
#include "LineFramer.h"
#include "TextMap.h"
#include "ZorvaServerStats.h"
#include "ZorvaUser.h"

namespace zorva {

class TZorvaConnection;

using TNotifyEvent = std::function<void(TZorvaConnection& sender)>;
using TStringEvent = std::function<void(TZorvaConnection& sender, std::string_view text)>;
using TUserEvent = std::function<void(TZorvaConnection& sender, TZorvaUser& user)>;
using TStringFromEvent =
    std::function<void(TZorvaConnection& sender, std::string_view text, std::string_view id)>;
using TStatusEvent =
    std::function<void(TZorvaConnection& sender, const TZorvaServerStats& serverStats)>;
using TCustomMessageEvent = std::function<void(
    TZorvaConnection& sender, std::string_view messageType, std::string_view messageText)>;
// The handler may replace the whole line.
using TEncryptEvent = std::function<void(TZorvaConnection& sender, std::string& message)>;
using TSocketErrorEvent =
    std::function<void(TZorvaConnection& sender, int code, std::string_view text)>;
using TLineErrorEvent =
    std::function<void(TZorvaConnection& sender, std::string_view line, std::string_view reason)>;

class TZorvaConnection : private IClientSocketEvents {
 public:
  // The server never sends a line longer than 65,536 bytes plus its line feed.
  static constexpr std::size_t kDefaultMaxLineLength = 65536;
  static constexpr std::size_t kDefaultMaxOutput = 8 * 1024 * 1024;
  static constexpr int kMaxNesting = 8;

  // With the default socket of the linked library (ZorvaComp: Qt).
  TZorvaConnection() : TZorvaConnection(CreateDefaultClientSocket()) {}
  explicit TZorvaConnection(std::unique_ptr<IClientSocket> socket);
  // Closes the socket; no event fires.
  virtual ~TZorvaConnection();
  TZorvaConnection(const TZorvaConnection&) = delete;
  TZorvaConnection& operator=(const TZorvaConnection&) = delete;

  // True once connected, until the connection ends. Setting true starts connecting (Active
  // still reads false until OnConnected); setting false closes without OnDisconnected.
  bool Active() const { return FConnected; }
  void SetActive(bool value);
  const std::string& Host() const { return FHost; }
  void SetHost(std::string value) { FHost = std::move(value); }
  bool LoggedIn() const { return FLoggedIn; }
  std::int32_t Port() const { return FPort; }
  void SetPort(std::int32_t value);  // ignored while Active
  const std::string& SubjectCode() const { return FSubjectCode; }
  void SetSubjectCode(std::string value);  // ignored while Active
  // The longest received line accepted, line feed not counted; a longer one ends the
  // connection. The default accepts every line the server sends. A change made while part of a
  // line is buffered applies from the next connection.
  std::size_t MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(std::size_t bytes);
  // Bytes the program has sent that the socket has not written yet, and the cap on them.
  std::size_t BytesToSend() const { return FSocket->BytesToWrite(); }
  std::size_t MaxOutput() const { return FMaxOutput; }
  void SetMaxOutput(std::size_t bytes) { FMaxOutput = bytes; }
  // TLS for the next connection: off by default; when on, the server's certificate is checked
  // (against the system's authorities and the CA file) and must name Host, unless verification
  // is turned off. A certificate problem reaches OnSocketError with the reason in words.
  bool UseTls() const { return FTls.Enabled; }
  void SetUseTls(bool value) { FTls.Enabled = value; }
  const std::string& TlsCaFile() const { return FTls.CaFile; }
  void SetTlsCaFile(std::string path) { FTls.CaFile = std::move(path); }
  bool TlsVerifyPeer() const { return FTls.VerifyPeer; }
  void SetTlsVerifyPeer(bool value) { FTls.VerifyPeer = value; }

  // The own user's record from the last successful login (nullptr before one). The program may
  // edit it and then call UpdateUserInfo.
  TZorvaUser* CurrentUser() { return FCurrentUser.get(); }
  const TZorvaUser* CurrentUser() const { return FCurrentUser.get(); }
  const std::string& CurrentSubject() const { return FCurrentSubject; }
  const std::vector<std::string>& SubjectNames() const { return FSubjectNames; }
  const TZorvaServerStats& ServerStats() const { return FServerStats; }

  // Requests; each sends one line, or nothing while not connected, and tells whether the line
  // was queued. Texts go as they are: a "|" in them is not escaped, and a text holding a line
  // feed makes its line be dropped.
  bool Login(std::string_view userId, std::string_view password);
  bool LoginNew(std::string_view userId, std::string_view userText);
  bool JoinSubject(std::string_view subjectName);  // nothing when already in that subject
  bool CreateSubject(std::string_view subjectName, std::int32_t limit = 0);
  bool SendChatMessage(std::string_view text);
  bool SendDataMessage(std::string_view text);
  bool SendMessage(std::string_view messageType, std::string_view messageText);
  bool SendFeedback(std::string_view text);
  bool RequestUserInfo(std::string_view userId);
  bool RequestStatistics();
  bool UpdateUserInfo();  // the current user's record; nothing before a login

  // The members of the current subject, in order of arrival.
  int GetUserCount() const { return static_cast<int>(FUsers.size()); }
  TZorvaUser& GetUser(int index) const;  // std::out_of_range outside 0 .. count-1
  TZorvaUser* FindUser(std::string_view userId) const;
  // Frees every listed user but the own one; fires nothing.
  void ClearUsers();

  // Four dot-separated decimal integers, of any size.
  static bool IsValidIPAddress(std::string_view text);

  // For components that refer to a connection they do not own (the statistics dialog): expires
  // when the connection is destroyed, so they can tell a live one from a dead one.
  std::weak_ptr<const void> Lifetime() const { return FLifetime; }
  // Puts the class on the component palette.
  static void Register();

  // Every line the connection receives, after decryption.
  TStringEvent OnStringRead;

  const TStringEvent& OnAddSubject() const { return FOnAddSubject; }
  const TUserEvent& OnAddUser() const { return FOnAddUser; }
  const TNotifyEvent& OnBeginSubject() const { return FOnBeginSubject; }
  const TStringFromEvent& OnChatReceived() const { return FOnChatReceived; }
  const TNotifyEvent& OnConnected() const { return FOnConnected; }
  const TCustomMessageEvent& OnCustomMessage() const { return FOnCustomMessage; }
  const TStringFromEvent& OnDataReceived() const { return FOnDataReceived; }
  const TEncryptEvent& OnDecryptString() const { return FOnDecryptString; }
  const TNotifyEvent& OnDisconnected() const { return FOnDisconnected; }
  const TEncryptEvent& OnEncryptString() const { return FOnEncryptString; }
  const TStringEvent& OnJoinSubject() const { return FOnJoinSubject; }
  const TStringEvent& OnLoginFailed() const { return FOnLoginFailed; }
  const TUserEvent& OnLoginSuccess() const { return FOnLoginSuccess; }
  const TStringEvent& OnRemoveSubject() const { return FOnRemoveSubject; }
  const TUserEvent& OnRemoveUser() const { return FOnRemoveUser; }
  const TStringEvent& OnServerError() const { return FOnServerError; }
  const TStatusEvent& OnServerStatus() const { return FOnServerStatus; }
  const TStringEvent& OnShout() const { return FOnShout; }
  const TUserEvent& OnUserInfo() const { return FOnUserInfo; }
  const TSocketErrorEvent& OnSocketError() const { return FOnSocketError; }
  const TLineErrorEvent& OnLineError() const { return FOnLineError; }
  const TLineErrorEvent& OnSendError() const { return FOnSendError; }

  void SetOnAddSubject(TStringEvent value) { FOnAddSubject = std::move(value); }
  void SetOnAddUser(TUserEvent value) { FOnAddUser = std::move(value); }
  void SetOnBeginSubject(TNotifyEvent value) { FOnBeginSubject = std::move(value); }
  void SetOnChatReceived(TStringFromEvent value) { FOnChatReceived = std::move(value); }
  void SetOnConnected(TNotifyEvent value) { FOnConnected = std::move(value); }
  void SetOnCustomMessage(TCustomMessageEvent value) { FOnCustomMessage = std::move(value); }
  void SetOnDataReceived(TStringFromEvent value) { FOnDataReceived = std::move(value); }
  void SetOnDecryptString(TEncryptEvent value) { FOnDecryptString = std::move(value); }
  void SetOnDisconnected(TNotifyEvent value) { FOnDisconnected = std::move(value); }
  void SetOnEncryptString(TEncryptEvent value) { FOnEncryptString = std::move(value); }
  void SetOnJoinSubject(TStringEvent value) { FOnJoinSubject = std::move(value); }
  void SetOnLoginFailed(TStringEvent value) { FOnLoginFailed = std::move(value); }
  void SetOnLoginSuccess(TUserEvent value) { FOnLoginSuccess = std::move(value); }
  void SetOnRemoveSubject(TStringEvent value) { FOnRemoveSubject = std::move(value); }
  void SetOnRemoveUser(TUserEvent value) { FOnRemoveUser = std::move(value); }
  void SetOnServerError(TStringEvent value) { FOnServerError = std::move(value); }
  void SetOnServerStatus(TStatusEvent value) { FOnServerStatus = std::move(value); }
  void SetOnShout(TStringEvent value) { FOnShout = std::move(value); }
  void SetOnUserInfo(TUserEvent value) { FOnUserInfo = std::move(value); }
  void SetOnSocketError(TSocketErrorEvent value) { FOnSocketError = std::move(value); }
  void SetOnLineError(TLineErrorEvent value) { FOnLineError = std::move(value); }
  void SetOnSendError(TLineErrorEvent value) { FOnSendError = std::move(value); }

 protected:
  // The one path of every outgoing line: dropped while not connected, then encrypted, then
  // dropped if it holds a line feed (the rest would arrive as a line of its own), then queued
  // with its line feed, unless that would take the unsent output past MaxOutput.
  bool SendMessageData(std::string line);
  // One received line: the argument text first, the command word second. A descendant
  // handles further words and passes the rest on.
  virtual void ProcessMessage(std::string_view args, std::string_view command);

  void MyOnConnect() override;
  void MyOnDisconnect() override;
  void MyOnRead(std::string_view bytes) override;
  void MyOnError(int code, std::string_view text) override;

 private:
  // Listed records are owned, except the own user's, which the list shows but never frees.
  struct TListedUserDeleter {
    bool Owns = true;
    void operator()(TZorvaUser* user) const {
      if (Owns) delete user;
    }
  };
  using TListedUser = std::unique_ptr<TZorvaUser, TListedUserDeleter>;
  using TUserIndex = TTextMap<TZorvaUser*>;

  bool FrameInput(std::string_view bytes);
  void DispatchPending();
  void DispatchLine(std::string_view line);
  void ResetInput();
  void DropConnection();

  void HandleLogin(std::string_view args);
  void HandleSend(std::string_view args);
  void HandlePing(std::string_view args);
  void HandleSubjects(std::string_view args);
  void HandleAddSubject(std::string_view args);
  void HandleRemoveSubject(std::string_view args);
  void HandleJoinSubject(std::string_view args);
  void HandleAddGuest(std::string_view args);
  void HandleRemoveGuest(std::string_view args);
  void HandleServerStats(std::string_view args);
  void HandleUserInfo(std::string_view args);
  void HandleBeginSubject(std::string_view args);
  void HandleShout(std::string_view args);
  void HandleError(std::string_view args);
  void HandleCustom(std::string_view args);

  // Handlers may replace themselves, so each call runs on a copy of the handler.
  template <class Event, class... Args>
  void Fire(const Event& event, Args&&... args) {
    if (!event) return;
    const Event handler = event;
    handler(*this, std::forward<Args>(args)...);
  }
  void ReportLineError(std::string_view line, std::string_view reason);

  // Lists a record parsed from `userText`, or the own record when the ids match.
  TZorvaUser& ListUser(std::string_view userText);
  void Unlist(const TZorvaUser* user);
  // Frees a record that has left the list, or keeps it until no handler runs.
  void Retire(TListedUser user);
  TZorvaUser* ScanUsers(std::string_view userId) const;

  std::shared_ptr<const void> FLifetime = std::make_shared<bool>();
  std::unique_ptr<IClientSocket> FSocket;
  bool FConnected = false;
  std::int32_t FPort = 0;
  std::string FHost = "localhost";
  std::string FSubjectCode;
  std::size_t FMaxLineLength = kDefaultMaxLineLength;
  std::size_t FMaxOutput = kDefaultMaxOutput;
  TClientTls FTls;
  LineFramer FFramer{kDefaultMaxLineLength};
  bool FLoggedIn = false;
  std::unique_ptr<TZorvaUser> FCurrentUser;
  bool FClosing = false;
  std::vector<TListedUser> FUsers;
  TUserIndex FUserIndex;           // id -> first listed record with that id
  std::uint64_t FListVersion = 0;  // bumped by ClearUsers
  std::vector<TListedUser> FRetired;
  std::vector<std::string> FSubjectNames;
  std::uint64_t FNamesVersion = 0;  // bumped by every "SUBJECTS" listing
  TZorvaServerStats FServerStats;
  std::string FCurrentSubject;

  // Framed lines not yet dispatched: a read inside a handler's nested event loop adds to them and
  // dispatches them there. Every connect and disconnect starts a new session; lines of an ended
  // session are never dispatched.
  std::deque<std::string> FPending;
  std::size_t FPendingBytes = 0;
  int FDepth = 0;  // dispatches running, nested ones included
  std::uint64_t FSession = 0;

  TStringEvent FOnAddSubject;
  TUserEvent FOnAddUser;
  TNotifyEvent FOnBeginSubject;
  TStringFromEvent FOnChatReceived;
  TNotifyEvent FOnConnected;
  TCustomMessageEvent FOnCustomMessage;
  TStringFromEvent FOnDataReceived;
  TEncryptEvent FOnDecryptString;
  TNotifyEvent FOnDisconnected;
  TEncryptEvent FOnEncryptString;
  TStringEvent FOnJoinSubject;
  TStringEvent FOnLoginFailed;
  TUserEvent FOnLoginSuccess;
  TStringEvent FOnRemoveSubject;
  TUserEvent FOnRemoveUser;
  TStringEvent FOnServerError;
  TStatusEvent FOnServerStatus;
  TStringEvent FOnShout;
  TUserEvent FOnUserInfo;
  TSocketErrorEvent FOnSocketError;
  TLineErrorEvent FOnLineError;
  TLineErrorEvent FOnSendError;
};

}  // namespace zorva
