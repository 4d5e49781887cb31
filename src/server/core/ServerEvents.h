// TServerEvent: what happened to a guest or a subject, as the core tells its observer
// (IServerObserver::Event) at the moment it happens — for the daemon's log and anything else
// that keeps a record. The views inside an event are valid for the call only.
//
//   void Event(const TServerEvent& event) override {
//     if (event.Kind == TServerEventKind::Login) Record(event.UserId, event.Address);
//   }
#pragma once

#include <cstdint>
#include <string_view>

namespace zorva {

class TZorvaGuest;
class TZorvaSubject;
struct TShoutTarget;

enum class TServerEventKind {
  Login,           // UserId, SubjectCode, Address
  Logout,          // a logged-in guest left: UserId, SubjectCode, Address, Drop (and Error)
  Drop,            // a guest left before it logged in: Address, Drop (and Error)
  Refusal,         // a connection turned away at once: Address, Refusal
  SubjectCreated,  // SubjectCode, Subject
  SubjectRemoved,  // SubjectCode, Subject
  Operator,        // Action and its aim: Target, UserId, Address, SubjectCode, Subject; Text, On
};

enum class TDropReason {
  Quit,
  PingTimeout,
  LoginTimeout,
  SlowReader,
  LineTooLong,
  Killed,
  SocketError
};
inline constexpr std::size_t kDropReasons = 7;
enum class TRefusalReason { Full, PerAddressLimit, ShuttingDown, ThrottledLogin };
enum class TOperatorAction {
  Shout,  // Target: "all", "staging-area", "code", "subject", "guest" or "user"; Text
  ShutDown,
  ReOpen,
  EditUser,       // UserId
  Kill,           // the guest: UserId (empty in the staging area), Address
  CreateSubject,  // SubjectCode, Subject
  DeleteSubject,  // SubjectCode, Subject
  Trace,          // Target: "incoming" or "outgoing"; On
};

struct TServerEvent {
  TServerEventKind Kind = TServerEventKind::Login;
  std::uint64_t Connection = 0;
  std::string_view Address;
  std::string_view UserId;
  std::string_view SubjectCode;
  std::string_view Subject;
  TDropReason Drop = TDropReason::Quit;
  TRefusalReason Refusal = TRefusalReason::Full;
  TOperatorAction Action = TOperatorAction::Shout;
  int ErrorCode = 0;       // SocketError: the system's error number
  std::string_view Error;  // SocketError: its text
  std::string_view Target;
  std::string_view Text;
  bool On = false;
};

TServerEvent LoginEvent(const TZorvaGuest& guest);
// Logout for a guest with a user, Drop for one in the staging area.
TServerEvent LeaveEvent(const TZorvaGuest& guest, TDropReason reason);
// A transport's error: an output queue past its cap (ENOBUFS) is a slow reader.
TServerEvent ErrorLeaveEvent(const TZorvaGuest& guest, int code, std::string_view reason);
// A connection the core never listed failed, such as a browser's upgrade refused by the
// transport: a Drop with only the transport's reason, which names the address.
TServerEvent UnlistedErrorEvent(std::uint64_t connection, int code, std::string_view reason);
TServerEvent RefusalEvent(const TZorvaGuest& guest, TRefusalReason reason);
TServerEvent SubjectEvent(TServerEventKind kind, const TZorvaSubject& subject);
TServerEvent OperatorEvent(TOperatorAction action);
// An action aimed at one guest: its id, code, address and connection.
TServerEvent OperatorEvent(TOperatorAction action, const TZorvaGuest& guest);
TServerEvent OperatorEvent(TOperatorAction action, std::string_view code, std::string_view subject);
// A shout, with the target's kind and the text; `guest` is the one a shout to a guest (or to a
// user of this node) reaches, or null.
TServerEvent ShoutEvent(const TShoutTarget& target, std::string_view text,
                        const TZorvaGuest* guest);
TServerEvent UserShoutEvent(std::string_view id, std::string_view text, const TZorvaGuest* guest);

// Lower-case words for logs ("ping-timeout", "shutting-down", "subject-created", ...).
std::string_view EventName(TServerEventKind kind);
std::string_view ReasonName(TDropReason reason);
std::string_view ReasonName(TRefusalReason reason);
std::string_view ActionName(TOperatorAction action);

}  // namespace zorva
