#include "ServerEvents.h"

#include <cerrno>

#include "ServerCore.h"
#include "ZorvaGuest.h"
#include "ZorvaSubject.h"

namespace zorva {

namespace {

TServerEvent GuestEvent(TServerEventKind kind, const TZorvaGuest& guest) {
  TServerEvent event;
  event.Kind = kind;
  event.Connection = guest.Connection();
  event.Address = guest.RemoteAddress();
  if (guest.User()) event.UserId = guest.User()->Id();
  event.SubjectCode = guest.SubjectCode();
  return event;
}

std::string_view ShoutTargetName(TShoutKind kind) {
  switch (kind) {
    case TShoutKind::All:
      return "all";
    case TShoutKind::StagingArea:
      return "staging-area";
    case TShoutKind::SubjectCode:
      return "code";
    case TShoutKind::Subject:
      return "subject";
    case TShoutKind::Guest:
      return "guest";
  }
  return "unknown";
}

}  // namespace

TServerEvent LoginEvent(const TZorvaGuest& guest) {
  return GuestEvent(TServerEventKind::Login, guest);
}

TServerEvent LeaveEvent(const TZorvaGuest& guest, TDropReason reason) {
  auto event = GuestEvent(guest.User() ? TServerEventKind::Logout : TServerEventKind::Drop, guest);
  event.Drop = reason;
  return event;
}

TServerEvent ErrorLeaveEvent(const TZorvaGuest& guest, int code, std::string_view reason) {
  if (code == ENOBUFS) return LeaveEvent(guest, TDropReason::SlowReader);
  auto event = LeaveEvent(guest, TDropReason::SocketError);
  event.ErrorCode = code;
  event.Error = reason;
  return event;
}

TServerEvent UnlistedErrorEvent(std::uint64_t connection, int code, std::string_view reason) {
  TServerEvent event;
  event.Kind = TServerEventKind::Drop;
  event.Connection = connection;
  event.Drop = TDropReason::SocketError;
  event.ErrorCode = code;
  event.Error = reason;
  return event;
}

TServerEvent RefusalEvent(const TZorvaGuest& guest, TRefusalReason reason) {
  auto event = GuestEvent(TServerEventKind::Refusal, guest);
  event.Refusal = reason;
  return event;
}

TServerEvent SubjectEvent(TServerEventKind kind, const TZorvaSubject& subject) {
  TServerEvent event;
  event.Kind = kind;
  event.SubjectCode = subject.SubjectCode();
  event.Subject = subject.Name();
  return event;
}

TServerEvent OperatorEvent(TOperatorAction action) {
  TServerEvent event;
  event.Kind = TServerEventKind::Operator;
  event.Action = action;
  return event;
}

TServerEvent OperatorEvent(TOperatorAction action, const TZorvaGuest& guest) {
  auto event = GuestEvent(TServerEventKind::Operator, guest);
  event.Action = action;
  return event;
}

TServerEvent OperatorEvent(TOperatorAction action, std::string_view code,
                           std::string_view subject) {
  auto event = OperatorEvent(action);
  event.SubjectCode = code;
  event.Subject = subject;
  return event;
}

TServerEvent ShoutEvent(const TShoutTarget& target, std::string_view text,
                        const TZorvaGuest* guest) {
  auto event = guest ? OperatorEvent(TOperatorAction::Shout, *guest)
                     : OperatorEvent(TOperatorAction::Shout, target.Code, target.Name);
  event.Target = ShoutTargetName(target.Kind);
  event.Text = text;
  return event;
}

TServerEvent UserShoutEvent(std::string_view id, std::string_view text, const TZorvaGuest* guest) {
  auto event =
      guest ? OperatorEvent(TOperatorAction::Shout, *guest) : OperatorEvent(TOperatorAction::Shout);
  event.Target = "user";
  event.UserId = id;
  event.Text = text;
  return event;
}

std::string_view EventName(TServerEventKind kind) {
  switch (kind) {
    case TServerEventKind::Login:
      return "login";
    case TServerEventKind::Logout:
      return "logout";
    case TServerEventKind::Drop:
      return "drop";
    case TServerEventKind::Refusal:
      return "refusal";
    case TServerEventKind::SubjectCreated:
      return "subject-created";
    case TServerEventKind::SubjectRemoved:
      return "subject-removed";
    case TServerEventKind::Operator:
      return "operator";
  }
  return "event";
}

std::string_view ReasonName(TDropReason reason) {
  switch (reason) {
    case TDropReason::Quit:
      return "quit";
    case TDropReason::PingTimeout:
      return "ping-timeout";
    case TDropReason::LoginTimeout:
      return "login-timeout";
    case TDropReason::SlowReader:
      return "slow-reader";
    case TDropReason::LineTooLong:
      return "line-too-long";
    case TDropReason::Killed:
      return "killed";
    case TDropReason::SocketError:
      return "socket-error";
  }
  return "unknown";
}

std::string_view ReasonName(TRefusalReason reason) {
  switch (reason) {
    case TRefusalReason::Full:
      return "full";
    case TRefusalReason::PerAddressLimit:
      return "per-address-limit";
    case TRefusalReason::ShuttingDown:
      return "shutting-down";
    case TRefusalReason::ThrottledLogin:
      return "throttled-login";
  }
  return "unknown";
}

std::string_view ActionName(TOperatorAction action) {
  switch (action) {
    case TOperatorAction::Shout:
      return "shout";
    case TOperatorAction::ShutDown:
      return "shut-down";
    case TOperatorAction::ReOpen:
      return "re-open";
    case TOperatorAction::EditUser:
      return "edit-user";
    case TOperatorAction::Kill:
      return "kill";
    case TOperatorAction::CreateSubject:
      return "create-subject";
    case TOperatorAction::DeleteSubject:
      return "delete-subject";
    case TOperatorAction::Trace:
      return "trace";
  }
  return "unknown";
}

}  // namespace zorva
