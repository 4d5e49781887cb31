// The seams of the server core: what it is fed (IConnectionEvents, called by a transport), what
// it calls (ITransport, IClock), what it tells (IServerObserver) and what decides about users
// (TServerHooks, whose base bodies keep nothing). The core itself holds no socket, reads no
// clock and knows no Qt; the Asio transport, the Qt transport and the tests plug in here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ZorvaUser.h"
#include "ZorvaUtils.h"

namespace zorva {

class TZorvaGuest;
struct TServerEvent;

// Names a connection for the life of the process; never reused.
using ConnectionId = std::uint64_t;

class IClock {
 public:
  virtual ~IClock() = default;
  // Monotonic milliseconds (never wraps).
  virtual std::uint64_t NowMs() const = 0;
  // Today's local date, without a time part.
  virtual TDateTime Today() const = 0;
};

// Owns the listening socket, the connections, their output queues and the ping timer.
// Every call comes from the core's one thread, except Post, which any thread may call.
class ITransport {
 public:
  enum class CloseMode {
    Now,         // drop queued output and close
    AfterFlush,  // write what is queued, shut the write side down, then close
  };

  virtual ~ITransport() = default;
  // Starts listening; on failure returns false with a message for the operator in `error`.
  virtual bool Listen(std::uint16_t port, std::string& error) = 0;
  virtual void StopListening() = 0;
  // "a.b.c.d:port" of the listening socket, for the operator; empty while not listening.
  virtual std::string ListenAddress() const = 0;
  virtual void StartPingTimer() = 0;
  virtual void StopPingTimer() = 0;
  // Queues `line` and a line feed for the connection; never blocks, never re-enters the core.
  virtual void Send(ConnectionId id, std::string_view line) = 0;
  // After Close the transport reports nothing more for that connection.
  virtual void Close(ConnectionId id, CloseMode mode) = 0;
  // Runs `task` on the core's thread soon (for work finished on other threads); any thread may
  // call it, and it never runs `task` before returning, so a task never re-enters the core.
  virtual void Post(std::function<void()> task) = 0;
  // Whether the connection's bytes travel encrypted (it came in on a TLS listener).
  virtual bool IsEncrypted(ConnectionId /*id*/) const { return false; }
  // Output of all connections not yet taken by their sockets; 0 where the transport keeps no
  // such total.
  virtual std::size_t QueuedOutputBytes() const { return 0; }
};

// What a transport tells the core. Exceptions never escape these calls.
class IConnectionEvents {
 public:
  virtual ~IConnectionEvents() = default;
  virtual void OnClientConnect(ConnectionId id, std::string remoteAddress,
                               std::string localAddress) = 0;
  virtual void OnClientRead(ConnectionId id, std::string_view bytes) = 0;
  // The peer closed the connection.
  virtual void OnClientDisconnect(ConnectionId id) = 0;
  // A socket operation failed; `code` is the system's error number, `reason` its text (a slow
  // reader past its output cap is reported here too).
  virtual void OnClientError(ConnectionId id, int code, std::string_view reason) = 0;
  virtual void OnPingTimer() = 0;
};

// What an "Exceptions" line is: an alarm, a note, or an alarm about a guest's leave whose
// details (who, from where, why) the observer is told at the same time as an Event.
enum class TExceptionKind {
  Alarm,       // a failure: the window's alarm light and beep
  Note,        // for the operator's information only, such as the cluster lost or back
  LeaveAlarm,  // an alarm that a Logout or Drop event describes in full
};

// What the core tells the window or the daemon's log. Every call has an empty default.
class IServerObserver {
 public:
  virtual ~IServerObserver() = default;
  // Guests were added or removed (the window rewrites its client count and users list).
  virtual void GuestsChanged() {}
  // Subjects, subject codes or memberships changed (the window rebuilds its tree).
  virtual void SubjectsChanged() {}
  // Trace texts: who + ": " + line.
  virtual void TraceIncoming(std::string_view) {}
  virtual void TraceOutgoing(std::string_view) {}
  // A line for the "Exceptions" pane.
  virtual void ExceptionLine(std::string_view, TExceptionKind) {}
  // The ping tick moved the activity series.
  virtual void ActivityChanged() {}
  // A guest or a subject came or went (ServerEvents.h), told as it happens.
  virtual void Event(const TServerEvent&) {}
};

// A login to be decided: the checks after the core's own (already logged in, id in use).
struct TLoginRequest {
  bool NewUser = false;  // "LOGINNEW"
  std::string Id;
  std::string SubjectCode;
  std::string Password;  // "LOGIN"
  // Where the client connects from: a store takes checks from each address in turn, so one
  // address's flood of guesses does not queue ahead of everyone else.
  std::string Address;
  std::optional<TZorvaUser> NewRecord;  // "LOGINNEW": the record the client sent
  std::string NewRecordError;           // "LOGINNEW": why the sent text did not parse
  std::string NewRecordRefusal;         // "LOGINNEW": the answer for a record the core refuses
  TDateTime Today = 0;
  // Set, from the core's thread, once nobody awaits the answer (the guest left): a store drops a
  // check still queued then. Without it the check is always wanted.
  std::shared_ptr<const std::atomic<bool>> Withdrawn;

  bool Abandoned() const { return Withdrawn && Withdrawn->load(); }
};

struct TLoginResult {
  // UnreadableText: the client's own "LOGINNEW" text did not parse, which fails that command
  // only; Refused: its record broke a rule of the core's, answered with the request's
  // NewRecordRefusal; Failed: the store could not decide, which the client is told.
  enum class Verdict {
    Accepted,
    InvalidUserId,
    InvalidPassword,
    IdTaken,
    UnreadableText,
    Refused,
    Failed
  };
  Verdict Verdict = Verdict::Failed;
  // Accepted: the loaded record, its login date and count already updated and saved.
  std::unique_ptr<TZorvaUser> User;
  // UnreadableText, Failed: why (reported like any failing command); Refused: the answer.
  std::string Error;
};

// Callable once, from any thread, while the hooks live; the answer reaches the core through
// ITransport::Post, so the transport must outlive the hooks.
using TLoginDone = std::function<void(TLoginResult)>;

// What a user store is asked to keep for "FEEDBACK".
struct TFeedback {
  std::string UserId;
  std::string SubjectCode;
  TDateTime Date = 0;
  std::string Text;
};

// Callable once, from any thread, like TLoginDone: empty when the store kept what it was given,
// else why it could not.
using TStoreDone = std::function<void(std::string error)>;

// Runs `job` and tells `done` how it went: a thrown exception becomes its error text.
void AnswerStoreJob(const std::function<void()>& job, const TStoreDone& done);

// A "CUSTOM" line as the extension hook sees it: what was sent, by whom, and a way to answer the
// sender, but nothing of the core's own state.
class TCustomRequest {
 public:
  using TSendToSender = std::function<void(std::string_view line)>;

  TCustomRequest(std::string name, std::string data, std::string senderId, std::string subjectCode,
                 std::string subjectName, TSendToSender sendToSender);

  const std::string& Name() const { return FName; }
  // The rest of the line after the name, "|" included.
  const std::string& Data() const { return FData; }
  // Empty while the sender has not logged in.
  const std::string& SenderId() const { return FSenderId; }
  const std::string& SubjectCode() const { return FSubjectCode; }
  // Empty while the sender is in no subject.
  const std::string& SubjectName() const { return FSubjectName; }

  // Sends the sender "CUSTOM|name|data"; nothing once the sender has gone.
  void Reply(std::string_view name, std::string_view data) const;

 private:
  std::string FName;
  std::string FData;
  std::string FSenderId;
  std::string FSubjectCode;
  std::string FSubjectName;
  TSendToSender FSendToSender;
};

// The eight hooks through which a user store decides about users, with the permissive base
// bodies: every id but "NewUser" exists, every password is right, nothing is kept.
class TServerHooks {
 public:
  virtual ~TServerHooks() = default;

  virtual bool CheckPassword(const std::string& id, const std::string& password);
  virtual bool UserExists(const std::string& id);
  virtual void FilterIncoming(std::string& line);
  virtual void FilterOutgoing(std::string& line);
  // Called on the core's thread; `request` is valid during the call only.
  virtual void CustomCommand(const TCustomRequest& request);
  virtual void LoadUser(TZorvaUser& user);
  virtual void StoreFeedback(const TFeedback& feedback);
  virtual void SaveUser(const TZorvaUser& user);

  // True when FilterIncoming/FilterOutgoing are overridden; lets the core skip a copy per line.
  virtual bool FiltersLines() const { return false; }
  // True when accounts are kept: a registration then needs a password.
  virtual bool RequiresPassword() const { return false; }

  // Decides a login with DecideLogin (LoginDecision.h). The base body runs it on the hooks
  // above and calls `done` at once; a store may call `done` later, from any thread.
  virtual void AuthorizeLogin(TLoginRequest request, TLoginDone done);
  // SaveUser and StoreFeedback for the core, which never waits for a store: the base bodies
  // call them and `done` at once; a store runs them on a worker and calls `done` there.
  virtual void SaveUserLater(TZorvaUser user, TStoreDone done);
  virtual void StoreFeedbackLater(TFeedback feedback, TStoreDone done);
};

}  // namespace zorva
