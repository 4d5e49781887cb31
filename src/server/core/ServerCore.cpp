#include "ServerCore.h"

#include <algorithm>
#include <limits>
#include <span>
#include <utility>

#include "ExceptionText.h"
#include "ServerEvents.h"
#include "UserTextLimits.h"
#include "ZorvaProtocol.h"
#include "ZorvaUtils.h"

namespace zorva {

namespace {

const std::string kNoId;

// What every receiver accepts, whatever this server's own --max-line says about what it reads.
constexpr std::size_t kMaxSentLine = LineFramer::kDefaultMaxLine;
// Bytes of round trips per "PING" line: a tick costs each member the same bytes whatever the
// subject's size, so a tick is linear in the members. That is about 800 members of ordinary ids;
// a larger subject's round trips rotate through the next ticks, 5,000 such members in 7.
constexpr std::size_t kPingLineBudget = 8 * 1024;

const std::string& UserId(const TZorvaGuest& guest) {
  return guest.User() ? guest.User()->Id() : kNoId;
}

// The throttle's keys: an address and an id never collide.
std::string AddressKey(const TZorvaGuest& guest) {
  return "address " + guest.RemoteAddress();
}

std::string IdKey(const std::string& id) {
  return "id " + id;
}

std::int32_t ClampedRoundTrip(std::uint64_t ms) {
  return static_cast<std::int32_t>(
      std::min<std::uint64_t>(ms, std::numeric_limits<std::int32_t>::max()));
}

// A text that does not parse is not answered at once: a taken id is to be named first, so the
// failure travels with the request and is reported once the id has been checked.
std::optional<TZorvaUser> ParseNewRecord(TLoginRequest& request, std::string_view text) {
  TZorvaUser record;
  try {
    record.fromString(text);
  } catch (const std::exception& error) {
    request.NewRecordError = DescribeException(error);
    return std::nullopt;
  }
  record.SetId(request.Id);
  return record;
}

}  // namespace

ServerCore::ServerCore(ITransport& transport, const IClock& clock, TServerHooks& hooks)
    : FTransport(transport), FClock(clock), FHooks(hooks) {}

ServerCore::~ServerCore() {
  FTrace.Close();
}

void ServerCore::SetObserver(IServerObserver* observer) {
  FObserver = observer ? observer : &FNoObserver;
}

void ServerCore::SetClientLimits(const TClientLimits& limits) {
  FClientLimits = limits;
  FRegistrations.SetLimit(limits.RegistrationsPerHour);
}

void ServerCore::EndEvent() {
  if (--FEventDepth > 0) return;
  FDroppedGuests.clear();
  FRemovedSubjects.clear();
  Notify();
}

void ServerCore::Notify() {
  if (std::exchange(FGuestsChanged, false)) FObserver->GuestsChanged();
  if (std::exchange(FSubjectsChanged, false)) FObserver->SubjectsChanged();
}

// ---- Server lifecycle

bool ServerCore::Start(std::string& error) {
  if (FRunning) return true;
  if (FSettings.Port < 0 || FSettings.Port > std::numeric_limits<std::uint16_t>::max()) {
    error = "Invalid port number " + std::to_string(FSettings.Port);
    return false;
  }
  if (!FTransport.Listen(static_cast<std::uint16_t>(FSettings.Port), error)) return false;
  FRunning = true;
  FBlocked = false;
  FCounters.Reset(NowSeconds());
  FTransport.StartPingTimer();
  return true;
}

void ServerCore::Stop(ITransport::CloseMode mode) {
  if (!FRunning) return;
  EventScope scope(*this);
  FTransport.StopPingTimer();
  FTransport.StopListening();
  FCounters.Stopped(NowSeconds());
  if (FCluster) StopCluster();
  for (auto* guest : FGuests) {
    guest->SetDropped();
    guest->ClearSocket();
    FTransport.Close(guest->Connection(), mode);
  }
  for (auto& [id, guest] : FGuestsById) FDroppedGuests.push_back(std::move(guest));
  FGuestsById.clear();
  FGuests.Clear();
  FGuestsByUserId.clear();
  FGuestsByCode.clear();
  FPendingLogins = 0;
  FPendingByAddress.clear();
  FGuestsPerAddress.clear();
  FCountedSubjects.clear();
  for (auto& subject : FRegistry.Clear()) FRemovedSubjects.push_back(std::move(subject));
  FRunning = false;
  FBlocked = false;
  FGuestsChanged = FSubjectsChanged = true;
}

void ServerCore::ShutDown() {
  FObserver->Event(OperatorEvent(TOperatorAction::ShutDown));
  if (FGuests.Empty()) {
    Stop();
    return;
  }
  FBlocked = true;
}

void ServerCore::ReOpen() {
  FObserver->Event(OperatorEvent(TOperatorAction::ReOpen));
  FBlocked = false;
}

const TZorvaServerStats& ServerCore::UpdateServerStats() {
  FCounters.Fill(FStats, FRunning, NowSeconds(), FGuests.Size());
  return FStats;
}

// ---- Connection events

void ServerCore::OnClientConnect(ConnectionId id, std::string remoteAddress,
                                 std::string localAddress) {
  Guarded([&] {
    if (FGuestsById.contains(id)) return;
    // A connection that slipped in as listening stopped has no server to join.
    if (!FRunning) {
      FTransport.Close(id, ITransport::CloseMode::Now);
      return;
    }
    auto guest =
        std::make_unique<TZorvaGuest>(id, std::move(remoteAddress), std::move(localAddress),
                                      FClock.NowMs(), FMaxLine, FNextArrival++);
    if (FBlocked) return RefuseConnection(*guest, Err::ShuttingDown, TRefusalReason::ShuttingDown);
    if (FMaxClients > 0 && FGuests.Size() >= FMaxClients) {
      return RefuseConnection(*guest, Err::ServerFull, TRefusalReason::Full);
    }
    if (AddressFull(guest->RemoteAddress())) {
      return RefuseConnection(*guest, Err::ServerFull, TRefusalReason::PerAddressLimit);
    }
    ++FGuestsPerAddress[guest->RemoteAddress()];
    auto* added = guest.get();
    FGuestsById.emplace(id, std::move(guest));
    FGuests.Insert(added);
    FRegistry.AddToStaging(added);
    FCounters.ConnectionAccepted(FGuests.Size());
    FGuestsChanged = FSubjectsChanged = true;
  });
}

void ServerCore::ReportLeave(const TServerEvent& event) {
  FCounters.Dropped(event.Drop);
  FObserver->Event(event);
}

// The guest was never listed: it is discarded when the caller's scope ends.
void ServerCore::RefuseConnection(TZorvaGuest& guest, std::string_view error,
                                  TRefusalReason reason) {
  FObserver->Event(RefusalEvent(guest, reason));
  SendToGuest(guest, error);
  FTransport.Close(guest.Connection(), ITransport::CloseMode::AfterFlush);
}

void ServerCore::OnClientRead(ConnectionId id, std::string_view bytes) {
  Guarded([&] {
    // Counted before the lookup: bytes for a connection without a guest count too.
    FCounters.Read(bytes.size());
    auto* guest = Guest(id);
    if (!guest) return;
    if (guest->Paused()) {
      if (guest->Framer().Append(bytes) == LineFramer::Status::TooLong) RefuseLongLine(*guest);
      return;
    }
    HandleLines(*guest, guest->Framer().Feed(bytes, [this, guest](std::string_view line) {
      return HandleLine(*guest, line);
    }));
  });
}

void ServerCore::OnClientDisconnect(ConnectionId id) {
  Guarded([&] {
    auto* guest = Guest(id);
    if (!guest) return;
    guest->ClearSocket();
    ReportLeave(LeaveEvent(*guest, TDropReason::Quit));
    CloseGuest(*guest, ITransport::CloseMode::Now);
  });
}

void ServerCore::OnClientError(ConnectionId id, int code, std::string_view reason) {
  Guarded([&] {
    ReportLeaveFailure("Client Socket Error: " + std::to_string(code));
    auto* guest = Guest(id);
    if (!guest) return FObserver->Event(UnlistedErrorEvent(id, code, reason));
    guest->ClearSocket();
    ReportLeaveFailure(guest->User() ? "User " + guest->User()->Id() + " has been disconnected"
                                     : "A Guest in the Staging Area has been disconnected");
    ReportLeave(ErrorLeaveEvent(*guest, code, reason));
    CloseGuest(*guest, ITransport::CloseMode::Now);
  });
}

void ServerCore::OnPingTimer() {
  Guarded([&] {
    if (!FRunning) return;
    const auto now = FClock.NowMs();
    const auto timeoutMs = static_cast<std::int64_t>(FSettings.Timeout) * 1000;
    // Every guest present at the start is examined once, whoever is dropped meanwhile.
    const std::vector<TZorvaGuest*> examined(FGuests.begin(), FGuests.end());
    // Members of one subject get the same line: built once per subject and tick.
    std::unordered_map<const TZorvaSubject*, std::string> pingLines;
    for (auto* guest : examined) {
      if (guest->Dropped()) continue;
      if (LoginTimedOut(*guest, now)) {
        DropForLoginTimeout(*guest);
        continue;
      }
      if (static_cast<std::int64_t>(now - guest->LastPingReply()) > timeoutMs) {
        pingLines.erase(guest->Subject());
        ReportLeave(LeaveEvent(*guest, TDropReason::PingTimeout));
        // Its last lines (a "REMOVESUBJECT" for the subject it emptied) still reach it.
        CloseGuest(*guest, ITransport::CloseMode::AfterFlush);
        continue;
      }
      if (!guest->PingAnswered()) continue;
      guest->SetPingAnswered(false);
      guest->SetPingSent(now);
      auto line = pingLines.try_emplace(guest->Subject());
      if (line.second) line.first->second = PingLine(guest->Subject());
      SendToGuest(*guest, line.first->second);
    }
    if (FCluster) PublishRoundTrips();
    FRegistrations.Prune(now);
    FFeedback.Prune(now);
    FCounters.StepActivity();
    FObserver->ActivityChanged();
  });
}

// ---- Receiving

// Returns whether the guest's next buffered line may be handled now.
bool ServerCore::HandleLine(TZorvaGuest& guest, std::string_view line) {
  try {
    std::string filtered;
    if (FHooks.FiltersLines()) {
      filtered = line;
      FHooks.FilterIncoming(filtered);
      line = filtered;
    }
    FCounters.LineRead();
    if (IsClearLoginRefused(guest, line)) {
      SendToGuest(guest, Err::LoginNeedsTls);
      return true;
    }
    FTrace.TraceIncoming(guest.TraceName(), line, *FObserver);
    const auto command = SplitCommand(line);
    DispatchCommand(guest, command.Word, command.Args);
  } catch (const std::exception& error) {
    // The failing command ends alone; the guest's next lines are handled at once.
    ReportFailure(DescribeException(error));
  }
  return !guest.Dropped() && !guest.Paused();
}

bool ServerCore::IsClearLoginRefused(const TZorvaGuest& guest, std::string_view line) const {
  if (!FRequireEncryptedLogin || FTransport.IsEncrypted(guest.Connection())) return false;
  const auto word = SplitCommand(line).Word;
  return word == Cmd::Login || word == Cmd::LoginNew;
}

void ServerCore::HandleLines(TZorvaGuest& guest, LineFramer::Status status) {
  if (status == LineFramer::Status::TooLong && !guest.Dropped()) RefuseLongLine(guest);
}

void ServerCore::ResumeLines(TZorvaGuest& guest) {
  if (guest.Dropped() || guest.Paused()) return;
  HandleLines(guest, guest.Framer().Drain([this, &guest](std::string_view line) {
    return HandleLine(guest, line);
  }));
}

void ServerCore::RefuseLongLine(TZorvaGuest& guest) {
  SendToGuest(guest, Err::LineTooLong);
  ReportLeave(LeaveEvent(guest, TDropReason::LineTooLong));
  CloseGuest(guest, ITransport::CloseMode::AfterFlush);
}

void ServerCore::DispatchCommand(TZorvaGuest& guest, std::string_view word, std::string_view args) {
  static const std::unordered_map<std::string_view, TCommand> commands = {
      {Cmd::Login, {&ServerCore::Login, false}},
      {Cmd::LoginNew, {&ServerCore::LoginNew, false}},
      {Cmd::Send, {&ServerCore::Relay, false}},
      {Cmd::Ping, {&ServerCore::Ping, false}},
      {Cmd::CreateSubject, {&ServerCore::CreateSubjectCommand, true}},
      {Cmd::JoinSubject, {&ServerCore::JoinSubjectCommand, true}},
      {Cmd::ServerStats, {&ServerCore::ServerStats, false}},
      {Cmd::UserInfo, {&ServerCore::UserInfo, true}},
      {Cmd::UserUpdate, {&ServerCore::UserUpdate, true}},
      {Cmd::Feedback, {&ServerCore::Feedback, true}},
      {Cmd::Custom, {&ServerCore::Custom, false}},
  };
  const auto found = commands.find(word);
  if (found == commands.end()) {
    // The echo of an unknown line as long as the longest accepted one would not fit the answer.
    auto answer = Msg::Unrecognized(word, args);
    answer.resize(std::min(answer.size(), kMaxSentLine));
    SendToGuest(guest, answer);
    return;
  }
  if (found->second.NeedsLogin && !guest.LoggedIn()) {
    SendToGuest(guest, Err::NotLoggedIn);
    return;
  }
  (this->*found->second.Handler)(guest, args);
}

// ---- Commands

void ServerCore::RequestLogin(TZorvaGuest& guest, std::string_view args, bool newUser) {
  TLoginRequest request;
  request.NewUser = newUser;
  request.Id = getToken(args, kFieldSeparator);
  request.SubjectCode = getToken(args, kFieldSeparator);
  if (guest.LoggedIn()) {
    SendToGuest(guest, Err::AlreadyLoggedIn);
    return;
  }
  if (FGuestsByUserId.contains(request.Id)) {
    SendToGuest(guest, Err::IdInUse);
    return;
  }
  if (!IsValidUserId(request.Id)) {
    SendToGuest(guest, Err::InvalidUserId);
    return;
  }
  if (ClusterRefuses(guest, Err::LoginClusterUnavailable)) return;
  if (RefuseLoginAttempt(guest, request.Id)) return;
  if (newUser) {
    if (!FRegistrations.TryCount(guest.RemoteAddress(), FClock.NowMs())) {
      SendToGuest(guest, Err::TooManyAttempts);
      return;
    }
    request.NewRecord = ParseNewRecord(request, args);
    if (request.NewRecord) PrepareRegistration(request);
  } else {
    request.Password = args;
  }
  request.Today = FClock.Today();
  request.Address = guest.RemoteAddress();

  guest.SetPendingLogin(request.Id, FClock.NowMs());
  request.Withdrawn = guest.LoginWithdrawn();
  if (FCluster) {
    ClaimThenAuthorize(guest, std::move(request));
    return;
  }
  AuthorizeLogin(guest, std::move(request));
}

void ServerCore::AuthorizeLogin(TZorvaGuest& guest, TLoginRequest request) {
  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto done = DeferredLoginAnswer(guest.Connection(), request.SubjectCode, answered);
  try {
    FHooks.AuthorizeLogin(std::move(request), std::move(done));
  } catch (...) {
    if (guest.LoginPending()) CancelPendingLogin(guest);
    if (FCluster) ReleaseHold(guest);
    SendToGuest(guest, Err::LoginStoreUnavailable);
    throw;
  }
  // Hooks that answered at once queue nothing: only checks still waiting count against limits.
  if (!answered->load()) CountQueuedLogin(guest);
}

void ServerCore::SetLoginLimits(const TLoginLimits& limits) {
  FLoginLimits = limits;
  FThrottle.SetLimits(limits.Throttle);
}

// A guesser is slowed by address and by id; a flood of checks is turned away before it queues.
bool ServerCore::RefuseLoginAttempt(TZorvaGuest& guest, const std::string& id) {
  const auto now = FClock.NowMs();
  if (!FThrottle.Allows(AddressKey(guest), now) || !FThrottle.Allows(IdKey(id), now)) {
    FObserver->Event(RefusalEvent(guest, TRefusalReason::ThrottledLogin));
    SendToGuest(guest, Err::TooManyAttempts);
    return true;
  }
  const auto& limits = FLoginLimits;
  const auto fromAddress = FPendingByAddress.find(guest.RemoteAddress());
  const bool addressBusy = limits.MaxPendingPerAddress > 0 &&
                           fromAddress != FPendingByAddress.end() &&
                           fromAddress->second >= limits.MaxPendingPerAddress;
  if (addressBusy || (limits.MaxPending > 0 && FPendingLogins >= limits.MaxPending)) {
    SendToGuest(guest, Err::LoginBusy);
    return true;
  }
  return false;
}

void ServerCore::CountQueuedLogin(TZorvaGuest& guest) {
  guest.SetLoginQueued();
  ++FPendingLogins;
  ++FPendingByAddress[guest.RemoteAddress()];
}

void ServerCore::CountLoginVerdict(const TZorvaGuest& guest, const TLoginResult& result) {
  using Verdict = decltype(TLoginResult::Verdict);
  const auto now = FClock.NowMs();
  const auto& id = guest.PendingLoginId();
  switch (result.Verdict) {
    case Verdict::Accepted:
      FThrottle.Forgive(IdKey(id));
      return;
    case Verdict::InvalidPassword:
      FThrottle.Failed(IdKey(id), now);
      FThrottle.Failed(AddressKey(guest), now);
      return;
    case Verdict::InvalidUserId:
      FThrottle.Failed(AddressKey(guest), now);
      return;
    default:
      return;
  }
}

// A record that breaks a rule is refused only once the decision knows its id is free, so that a
// taken id is named first whatever the text. The account's dates and count start with the login
// that creates it.
void ServerCore::PrepareRegistration(TLoginRequest& request) const {
  auto& record = *request.NewRecord;
  if (!FitsUserTextLimits(record)) {
    request.NewRecordRefusal = Err::LoginInvalidUserInfo;
  } else if (FHooks.RequiresPassword() && record.Password().empty()) {
    request.NewRecordRefusal = Err::PasswordRequired;
  }
  record.SetCreationDate(0);
  record.SetLastLoginDate(0);
  record.SetLoginCount(0);
}

// However the hooks answer (at once, or later from a worker), the answer is handled as an event
// of its own on the core's thread: never inside the dispatch of the guest's own line.
TLoginDone ServerCore::DeferredLoginAnswer(ConnectionId id, std::string code,
                                           std::shared_ptr<std::atomic<bool>> answered) {
  return [this, &transport = FTransport, alive = std::weak_ptr<int>(FAlive), id,
          code = std::move(code), answered = std::move(answered)](TLoginResult result) {
    answered->store(true);
    // std::function needs a copyable task, and the result owns its record.
    auto shared = std::make_shared<TLoginResult>(std::move(result));
    transport.Post([this, alive, id, code, shared] {
      if (alive.expired()) return;
      OnLoginDecided(id, code, std::move(*shared));
    });
  };
}

void ServerCore::Relay(TZorvaGuest& guest, std::string_view args) {
  const auto* subject = guest.Subject();
  if (!subject) return;
  // Built once, into a buffer kept across lines; every member gets a view of the same text.
  Msg::Relay(FRelayLine, UserId(guest), args);
  if (FRelayLine.size() > kMaxSentLine) {
    SendToGuest(guest, Err::MessageTooLong);
    return;
  }
  SendToSubject(*subject, FRelayLine, &guest);
  if (FCluster) FCluster->PublishLine(guest.SubjectCode(), subject->Name(), FRelayLine);
}

void ServerCore::Ping(TZorvaGuest& guest, std::string_view) {
  const auto now = FClock.NowMs();
  guest.SetLastPingReply(now);
  // An unasked ping has nothing to be measured against.
  if (guest.PingAnswered()) return;
  FCounters.RoundTripMeasured(now - guest.PingSent());
  guest.SetPingAnswered(true);
  guest.SetRoundTrip(ClampedRoundTrip(now - guest.PingSent()));
}

void ServerCore::CreateSubjectCommand(TZorvaGuest& guest, std::string_view args) {
  const std::string name(getToken(args, kFieldSeparator));
  if (!IsValidSubjectName(name)) {
    SendToGuest(guest, Err::InvalidSubjectName);
    return;
  }
  std::int32_t limit = 0;
  if (!TryStrToInt(getToken(args, kFieldSeparator), limit)) {
    SendToGuest(guest, Err::InvalidMemberLimit);
    return;
  }
  const auto& code = guest.SubjectCode();
  if (FRegistry.FindSubject(code, name)) {
    SendToGuest(guest, Err::SubjectExists);
    return;
  }
  if (FCluster) {
    RequestCreate(guest, name, limit);
    return;
  }
  auto& subject = AddSubject(code, name, limit, false);
  FCountedSubjects.insert(&subject);
  JoinSubject(guest, subject);
  FCounters.SubjectCreated();
}

void ServerCore::JoinSubjectCommand(TZorvaGuest& guest, std::string_view args) {
  auto* subject =
      FRegistry.FindSubject(guest.SubjectCode(), std::string(getToken(args, kFieldSeparator)));
  if (!subject) {
    SendToGuest(guest, Err::NoSuchSubject);
    return;
  }
  // Leaving and re-joining would remove a guest's own one-member subject under it.
  if (subject == guest.Subject()) return;
  if (subject->Full()) {
    SendToGuest(guest, Err::SubjectFull);
    return;
  }
  if (FCluster) {
    RequestJoin(guest, subject->Name());
    return;
  }
  JoinSubject(guest, *subject);
}

void ServerCore::ServerStats(TZorvaGuest& guest, std::string_view) {
  if (!FCluster) {
    SendToGuest(guest, Msg::ServerStats(UpdateServerStats().toString()));
    return;
  }
  // Connections and client-made subjects are the cluster's; every other figure is this node's.
  auto stats = UpdateServerStats();
  const auto& cluster = FCluster->Stats();
  const auto clamped = [](std::int64_t value) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::int32_t>::max()));
  };
  stats.SetCurrentConnections(clamped(cluster.Connections));
  stats.SetCurrentSubjects(clamped(cluster.Subjects));
  SendToGuest(guest, Msg::ServerStats(stats.toString()));
}

void ServerCore::UserInfo(TZorvaGuest& guest, std::string_view args) {
  const std::string id(getToken(args, kFieldSeparator));
  const auto* found = FindGuestByUserId(id);
  if (!found && FCluster) found = RemoteMember(id);
  if (!found || found->SubjectCode() != guest.SubjectCode()) {
    SendToGuest(guest, Err::UserNotFound);
    return;
  }
  SendToGuest(guest, Msg::UserInfo(found->WireText()));
}

void ServerCore::UserUpdate(TZorvaGuest& guest, std::string_view args) {
  const auto* target = FindGuestByUserId(std::string(getToken(args, kFieldSeparator)));
  if (!target) {
    SendToGuest(guest, Err::UserNotFoundToUpdate);
    return;
  }
  if (target != &guest) {
    SendToGuest(guest, Err::UpdateOwnOnly);
    return;
  }
  // Parsed whole into a scratch record: a bad text changes nothing.
  TZorvaUser record;
  record.fromString(getToken(args, kFieldSeparator));
  if (!FitsUserTextLimits(record)) {
    SendToGuest(guest, Err::InvalidUserInfo);
    return;
  }
  KeepServerFields(record, *guest.User());
  SaveUserRecord(guest, std::move(record), true);
}

void ServerCore::KeepServerFields(TZorvaUser& record, const TZorvaUser& current) const {
  record.SetCreationDate(current.CreationDate());
  record.SetLastLoginDate(current.LastLoginDate());
  record.SetLoginCount(current.LoginCount());
  record.SetInfoTokens(current.InfoTokens());
}

// Keeps the record under the guest's own id. Only once the store has kept it does it become the
// guest's; the copy kept here has no password (an empty one keeps the stored password).
void ServerCore::SaveUserRecord(TZorvaGuest& guest, TZorvaUser record, bool fromGuest) {
  record.SetId(guest.User()->Id());
  TZorvaUser kept = record;
  kept.SetPassword({});
  auto apply = [this, fromGuest, kept = std::move(kept)](TZorvaGuest& owner,
                                                         const std::string& error) {
    if (!error.empty()) {
      if (fromGuest) SendToGuest(owner, Err::StoreUnavailable);
      ReportFailure(error);
      return;
    }
    if (owner.User() && owner.User()->Id() == kept.Id()) ApplyUserRecord(owner, kept);
  };
  auto done = DeferredStoreAnswer(guest.Connection(), fromGuest, std::move(apply));
  if (!fromGuest) {
    FHooks.SaveUserLater(std::move(record), std::move(done));
    return;
  }
  PauseForStore(guest, [&] { FHooks.SaveUserLater(std::move(record), std::move(done)); });
}

void ServerCore::PauseForStore(TZorvaGuest& guest, const std::function<void()>& ask) {
  guest.SetStoreWaiting(true);
  try {
    ask();
  } catch (...) {
    guest.SetStoreWaiting(false);
    throw;
  }
}

// Makes the kept record the guest's and shows it to the subject.
void ServerCore::ApplyUserRecord(TZorvaGuest& guest, const TZorvaUser& record) {
  guest.UpdateUser(record);
  FGuestsChanged = true;
  if (const auto* subject = guest.Subject()) {
    SendToSubject(*subject, Msg::UserInfo(guest.WireText()));
  }
  if (FCluster && guest.LoggedIn()) {
    FCluster->UpdateUser(guest.SubjectCode(), guest.User()->Id(), guest.WireText());
  }
}

void ServerCore::Feedback(TZorvaGuest& guest, std::string_view args) {
  if (!FeedbackAllowed(guest, args)) {
    SendToGuest(guest, Err::TooMuchFeedback);
    return;
  }
  TFeedback feedback{UserId(guest), guest.SubjectCode(), FClock.Today(), std::string(args)};
  auto apply = [this](TZorvaGuest& sender, const std::string& error) {
    if (error.empty()) return;
    SendToGuest(sender, Err::StoreUnavailable);
    ReportFailure(error);
  };
  auto done = DeferredStoreAnswer(guest.Connection(), true, std::move(apply));
  PauseForStore(guest, [&] { FHooks.StoreFeedbackLater(std::move(feedback), std::move(done)); });
}

bool ServerCore::FeedbackAllowed(const TZorvaGuest& guest, std::string_view text) {
  return text.size() <= kMaxFeedbackBytes && FFeedback.TryCount(UserId(guest), FClock.NowMs());
}

void ServerCore::Custom(TZorvaGuest& guest, std::string_view args) {
  std::string name(getToken(args, kFieldSeparator));
  const auto* subject = guest.Subject();
  // Looked up again at each answer: the hook may have had the sender dropped meanwhile.
  auto sendToSender = [this, id = guest.Connection()](std::string_view line) {
    if (auto* sender = Guest(id)) SendToGuest(*sender, line);
  };
  FHooks.CustomCommand(TCustomRequest(std::move(name), std::string(args), UserId(guest),
                                      guest.SubjectCode(), subject ? subject->Name() : "",
                                      std::move(sendToSender)));
}

// ---- Login

void ServerCore::OnLoginDecided(ConnectionId id, const std::string& code, TLoginResult result) {
  Guarded([&] {
    auto* guest = Guest(id);
    if (!guest || !guest->LoginPending()) return;
    FCounters.LoginDecided(result.Verdict == TLoginResult::Verdict::Accepted,
                           FClock.NowMs() - guest->LoginRequestedMs());
    CountLoginVerdict(*guest, result);
    CancelPendingLogin(*guest);
    try {
      ApplyLoginResult(*guest, code, std::move(result));
    } catch (const std::exception& error) {
      ReportFailure(DescribeException(error));
    }
    // A login that failed gives its claimed id back; one joining the lobby keeps it.
    if (FCluster && !guest->LoggedIn() && !guest->ClusterWaiting()) ReleaseHold(*guest);
    ResumeLines(*guest);
  });
}

void ServerCore::ApplyLoginResult(TZorvaGuest& guest, const std::string& code,
                                  TLoginResult result) {
  using Verdict = decltype(TLoginResult::Verdict);
  switch (result.Verdict) {
    case Verdict::Accepted:
      if (!result.User) {
        SendToGuest(guest, Err::LoginStoreUnavailable);
        ReportFailure("[ELoginError] The user store accepted a login without a user record");
        return;
      }
      // Several checks of one id may be pending; the first accepted one took it.
      if (FGuestsByUserId.contains(result.User->Id()) || JoinedHere(result.User->Id())) {
        SendToGuest(guest, Err::IdInUse);
        return;
      }
      if (FCluster) {
        JoinLobbyThenComplete(guest, std::move(result.User), code);
        return;
      }
      CompleteLogin(guest, std::move(result.User), code);
      return;
    case Verdict::InvalidUserId:
      SendToGuest(guest, Err::InvalidUserId);
      return;
    case Verdict::InvalidPassword:
      SendToGuest(guest, Err::InvalidPassword);
      return;
    case Verdict::IdTaken:
      SendToGuest(guest, Err::IdTaken);
      return;
    case Verdict::UnreadableText:
      ReportFailure(result.Error);
      return;
    case Verdict::Refused:
      SendToGuest(guest, result.Error);
      return;
    case Verdict::Failed:
      SendToGuest(guest, Err::LoginStoreUnavailable);
      ReportFailure(result.Error.empty() ? "[ELoginError] The user store could not decide a login"
                                         : result.Error);
      return;
  }
}

void ServerCore::CancelPendingLogin(TZorvaGuest& guest) {
  if (guest.LoginQueued()) {
    --FPendingLogins;
    const auto fromAddress = FPendingByAddress.find(guest.RemoteAddress());
    if (fromAddress != FPendingByAddress.end() && --fromAddress->second == 0) {
      FPendingByAddress.erase(fromAddress);
    }
  }
  guest.ClearPendingLogin();
}

void ServerCore::CompleteLogin(TZorvaGuest& guest, std::unique_ptr<TZorvaUser> user,
                               const std::string& code, const TJoinResult* joined) {
  // The core never keeps a password, whatever the store loaded.
  user->SetPassword({});
  guest.SetUser(std::move(user));
  guest.SetLoggedIn(true);
  FGuestsChanged = true;
  guest.SetSubjectCode(code);
  FGuestsByUserId.emplace(guest.User()->Id(), &guest);
  FGuestsByCode[code].emplace(guest.Arrival(), &guest);
  FObserver->Event(LoginEvent(guest));
  SendToGuest(guest, Msg::LoginSuccess(guest.WireText()));
  auto& lobby = Lobby(code);
  SendSubjectLines(guest, code);
  if (joined) {
    JoinAnswered(guest, lobby, *joined);
    return;
  }
  JoinSubject(guest, lobby);
}

TStoreDone ServerCore::DeferredStoreAnswer(ConnectionId id, bool resumesGuest, TStoreAnswer apply) {
  return [this, &transport = FTransport, alive = std::weak_ptr<int>(FAlive), id, resumesGuest,
          apply = std::move(apply)](std::string error) {
    transport.Post([this, alive, id, resumesGuest, apply, error = std::move(error)] {
      if (alive.expired()) return;
      OnStoreAnswered(id, resumesGuest, apply, error);
    });
  };
}

void ServerCore::OnStoreAnswered(ConnectionId id, bool resumesGuest, const TStoreAnswer& apply,
                                 const std::string& error) {
  Guarded([&] {
    auto* guest = Guest(id);
    if (!guest) return;
    if (resumesGuest) guest->SetStoreWaiting(false);
    try {
      apply(*guest, error);
    } catch (const std::exception& failure) {
      ReportFailure(DescribeException(failure));
    }
    if (resumesGuest) ResumeLines(*guest);
  });
}

// ---- Subjects

TZorvaSubject& ServerCore::Lobby(const std::string& code) {
  if (auto* lobby = FRegistry.FindSubject(code, FSettings.LobbyName)) return *lobby;
  auto& lobby = FRegistry.CreateLobby(code, FSettings.LobbyName);
  FObserver->Event(SubjectEvent(TServerEventKind::SubjectCreated, lobby));
  FSubjectsChanged = true;
  return lobby;
}

TZorvaSubject& ServerCore::AddSubject(const std::string& code, const std::string& name,
                                      std::int32_t maxConnections, bool persistent) {
  auto& subject = FRegistry.AddSubject(code, name);
  subject.SetMaxConnections(maxConnections);
  subject.SetPersistent(persistent);
  FObserver->Event(SubjectEvent(TServerEventKind::SubjectCreated, subject));
  FSubjectsChanged = true;
  SendToSubjectCode(code, Msg::AddSubject(name));
  return subject;
}

void ServerCore::JoinSubject(TZorvaGuest& guest, TZorvaSubject& subject) {
  if (guest.Subject() == &subject) return;
  const auto* previous = guest.Subject();
  MoveGuest(guest, subject, previous && previous->MemberCount() == 1 && !previous->Persistent(),
            false);
}

void ServerCore::MoveGuest(TZorvaGuest& guest, TZorvaSubject& subject, bool removesPrevious,
                           bool fillsByCluster) {
  if (auto* previous = guest.Subject()) {
    LeaveSubject(guest, *previous, removesPrevious);
  } else {
    FRegistry.RemoveFromStaging(&guest);
  }
  guest.SetSubject(&subject);
  guest.SetSubjectCode(subject.SubjectCode());
  if (!subject.Members().Empty()) {
    SendToSubject(subject, Msg::AddGuest(UserId(guest), guest.WireText()));
  }
  const bool wasFull = subject.Full();
  subject.AddMember(&guest);
  if (fillsByCluster) subject.MarkFull();
  if (guest.HasSocket()) SendJoinLines(guest, subject);
  if (subject.Full() && !wasFull) SendToSubject(subject, Msg::BeginSubject());
  FSubjectsChanged = true;
}

void ServerCore::LeaveSubject(TZorvaGuest& guest, TZorvaSubject& subject) {
  LeaveSubject(guest, subject, subject.MemberCount() == 1 && !subject.Persistent());
}

void ServerCore::LeaveSubject(TZorvaGuest& guest, TZorvaSubject& subject, bool removesSubject) {
  subject.RemoveMember(&guest);
  if (removesSubject) {
    RemoveSubject(subject);
  } else if (!subject.Members().Empty()) {
    SendToSubject(subject, Msg::RemoveGuest(UserId(guest)));
  }
  FSubjectsChanged = true;
}

void ServerCore::RemoveSubject(TZorvaSubject& subject) {
  auto removed = FRegistry.Remove(subject);
  if (!removed) return;
  if (FCluster) ForgetRemoteMembers(subject);
  FObserver->Event(SubjectEvent(TServerEventKind::SubjectRemoved, subject));
  SendToSubjectCode(subject.SubjectCode(), Msg::RemoveSubject(subject.Name()));
  if (FCountedSubjects.erase(&subject) > 0) FCounters.SubjectRemoved();
  FRemovedSubjects.push_back(std::move(removed));
  FSubjectsChanged = true;
}

void ServerCore::SendJoinLines(TZorvaGuest& guest, const TZorvaSubject& subject) {
  auto line = Msg::JoinSubjectHeader(subject.Name());
  std::vector<const TZorvaGuest*> overflow;
  for (const auto* member : subject.Members()) {
    // Once one member does not fit, the rest follow it, so the joining order holds.
    if (overflow.empty() && line.size() + 1 + member->WireText().size() <= kMaxSentLine) {
      Msg::AppendField(line, member->WireText());
    } else {
      overflow.push_back(member);
    }
  }
  SendToGuest(guest, line);
  for (const auto* member : overflow) {
    SendToGuest(guest, Msg::AddGuest(UserId(*member), member->WireText()));
  }
}

void ServerCore::SendSubjectLines(TZorvaGuest& guest, const std::string& code) {
  const auto names = FRegistry.SubjectNames(code);
  auto fitting = names.begin();
  for (auto size = Msg::Subjects(std::span<const std::string>()).size();
       fitting != names.end() && size + fitting->size() + 1 <= kMaxSentLine; ++fitting) {
    size += fitting->size() + 1;
  }
  SendToGuest(guest, Msg::Subjects(std::span(names.begin(), fitting)));
  for (auto name = fitting; name != names.end(); ++name) SendToGuest(guest, Msg::AddSubject(*name));
}

std::string ServerCore::PingLine(TZorvaSubject* subject) const {
  auto line = Msg::PingHeader();
  if (!subject) return line;
  const auto& members = subject->Members();
  const auto count = members.Size();
  if (count == 0) return line;
  const auto start = subject->PingCursor() % count;
  auto member = members.begin();
  std::advance(member, start);
  std::size_t shown = 0;
  for (; shown < count && line.size() < kPingLineBudget; ++shown, ++member) {
    if (member == members.end()) member = members.begin();
    Msg::AppendPingEntry(line, (*member)->User()->Id(), (*member)->RoundTrip());
  }
  subject->SetPingCursor(start + shown);
  return line;
}

// ---- Sending

void ServerCore::SendToGuest(TZorvaGuest& guest, std::string_view text) {
  if (!guest.HasSocket()) return;
  FTrace.TraceOutgoing(guest.TraceName(), text, *FObserver);
  std::string filtered;
  if (FHooks.FiltersLines()) {
    filtered = text;
    FHooks.FilterOutgoing(filtered);
    text = filtered;
  }
  // A line feed inside (from a filter, an operator's text or a stored record) would split the
  // line in two for the client.
  if (text.find(kLineFeed) != std::string_view::npos) {
    ReportFailure("[ELineFeedError] A line for " + guest.TraceName() +
                  " holds a line feed; it was not sent");
    return;
  }
  FTransport.Send(guest.Connection(), text);
  FCounters.Written(text.size() + 1);
}

void ServerCore::SendToSubject(const TZorvaSubject& subject, std::string_view text,
                               const TZorvaGuest* except) {
  // Filters, tracing and a line feed inside the text (refused and reported per guest) take the
  // full path of SendToGuest.
  if (FHooks.FiltersLines() || FTrace.WantsOutgoing() ||
      text.find(kLineFeed) != std::string_view::npos) {
    for (auto* member : subject.Members()) {
      if (member != except) SendToGuest(*member, text);
    }
    return;
  }
  // Nothing looks at single lines: the same text goes to every member's queue as it is, and
  // the bytes are counted once.
  std::size_t sent = 0;
  for (auto* member : subject.Members()) {
    if (member == except || !member->HasSocket()) continue;
    FTransport.Send(member->Connection(), text);
    ++sent;
  }
  FCounters.Written(sent * (text.size() + 1), sent);
}

void ServerCore::SendToSubjectCode(const std::string& code, std::string_view text) {
  const auto guests = FGuestsByCode.find(code);
  if (guests == FGuestsByCode.end()) return;
  for (const auto& [arrival, guest] : guests->second) SendToGuest(*guest, text);
}

// ---- Guests

TZorvaGuest* ServerCore::Guest(ConnectionId id) const {
  const auto found = FGuestsById.find(id);
  return found == FGuestsById.end() ? nullptr : found->second.get();
}

TZorvaGuest* ServerCore::FindGuestByUserId(const std::string& id) const {
  const auto found = FGuestsByUserId.find(id);
  return found == FGuestsByUserId.end() ? nullptr : found->second;
}

bool ServerCore::AddressFull(const std::string& address) const {
  if (FClientLimits.MaxClientsPerAddress == 0) return false;
  const auto found = FGuestsPerAddress.find(address);
  return found != FGuestsPerAddress.end() && found->second >= FClientLimits.MaxClientsPerAddress;
}

bool ServerCore::LoginTimedOut(const TZorvaGuest& guest, std::uint64_t nowMs) const {
  const auto timeoutMs = static_cast<std::uint64_t>(FClientLimits.LoginTimeoutSeconds) * 1000;
  return timeoutMs > 0 && !guest.LoggedIn() && nowMs - guest.ConnectedMs() > timeoutMs;
}

void ServerCore::DropForLoginTimeout(TZorvaGuest& guest) {
  SendToGuest(guest, Err::LoginTimeout);
  ReportLeave(LeaveEvent(guest, TDropReason::LoginTimeout));
  CloseGuest(guest, ITransport::CloseMode::AfterFlush);
}

void ServerCore::DropGuest(TZorvaGuest& guest) {
  if (guest.Dropped()) return;
  guest.SetDropped();
  if (guest.LoginPending()) CancelPendingLogin(guest);
  if (FCluster) ReleaseHold(guest);
  if (auto* subject = guest.Subject()) {
    LeaveSubject(guest, *subject);
  } else {
    FRegistry.RemoveFromStaging(&guest);
  }
  FGuests.Erase(&guest);
  if (const auto address = FGuestsPerAddress.find(guest.RemoteAddress());
      address != FGuestsPerAddress.end() && --address->second == 0) {
    FGuestsPerAddress.erase(address);
  }
  if (guest.User()) {
    const auto byId = FGuestsByUserId.find(guest.User()->Id());
    if (byId != FGuestsByUserId.end() && byId->second == &guest) FGuestsByUserId.erase(byId);
    FGuestsByCode[guest.SubjectCode()].erase(guest.Arrival());
  }
  auto owned = FGuestsById.extract(guest.Connection());
  if (!owned.empty()) FDroppedGuests.push_back(std::move(owned.mapped()));
  FGuestsChanged = FSubjectsChanged = true;
}

void ServerCore::CloseGuest(TZorvaGuest& guest, ITransport::CloseMode mode) {
  DropGuest(guest);
  guest.ClearSocket();
  FTransport.Close(guest.Connection(), mode);
}

// ---- Operator operations

void ServerCore::SetTraceIncoming(bool on) {
  if (FTrace.Incoming() == on) return;
  FTrace.SetIncoming(on);
  ReportTraceSwitch("incoming", on);
}

void ServerCore::SetTraceOutgoing(bool on) {
  if (FTrace.Outgoing() == on) return;
  FTrace.SetOutgoing(on);
  ReportTraceSwitch("outgoing", on);
}

void ServerCore::ReportTraceSwitch(std::string_view direction, bool on) {
  auto event = OperatorEvent(TOperatorAction::Trace);
  event.Target = direction;
  event.On = on;
  FObserver->Event(event);
}

bool ServerCore::KillGuest(ConnectionId id) {
  bool killed = false;
  Guarded([&] {
    auto* guest = Guest(id);
    if (!guest) return;
    FObserver->Event(OperatorEvent(TOperatorAction::Kill, *guest));
    ReportLeave(LeaveEvent(*guest, TDropReason::Killed));
    CloseGuest(*guest, ITransport::CloseMode::Now);
    killed = true;
  });
  return killed;
}

void ServerCore::Shout(const TShoutTarget& target, std::string_view text) {
  if (!FRunning || text.empty()) return;
  Guarded([&] {
    const auto* reached = target.Kind == TShoutKind::Guest ? Guest(target.Guest) : nullptr;
    FObserver->Event(ShoutEvent(target, text, reached));
    const auto message = Msg::Shout(text);
    switch (target.Kind) {
      case TShoutKind::All:
        for (auto* guest : FGuests) SendToGuest(*guest, message);
        return;
      case TShoutKind::StagingArea:
        for (auto* guest : FRegistry.Staging()) SendToGuest(*guest, message);
        return;
      case TShoutKind::SubjectCode:
        SendToSubjectCode(target.Code, message);
        return;
      case TShoutKind::Subject:
        if (const auto* subject = FRegistry.FindSubject(target.Code, target.Name)) {
          SendToSubject(*subject, message);
        }
        return;
      case TShoutKind::Guest:
        if (auto* guest = Guest(target.Guest)) SendToGuest(*guest, message);
        return;
    }
  });
}

bool ServerCore::ShoutToUser(const std::string& id, std::string_view text) {
  if (!FRunning || text.empty()) return false;
  bool found = false;
  Guarded([&] {
    auto* guest = FindGuestByUserId(id);
    const auto* member = !guest && FCluster ? RemoteMember(id) : nullptr;
    if (!guest && !member) return;
    found = true;
    FObserver->Event(UserShoutEvent(id, text, guest));
    if (guest) {
      SendToGuest(*guest, Msg::Shout(text));
      return;
    }
    FCluster->PublishGuestLine(member->SubjectCode(), id, Msg::Shout(text));
  });
  return found;
}

TCreateSubjectResult ServerCore::CreateSubject(const std::string& code, const std::string& name,
                                               std::int32_t maxConnections, bool persistent) {
  if (name.empty()) return TCreateSubjectResult::EmptyName;
  if (!FRegistry.HasCode(code)) return TCreateSubjectResult::NoSuchCode;
  if (FRegistry.FindSubject(code, name)) return TCreateSubjectResult::Exists;
  Guarded([&] {
    FObserver->Event(OperatorEvent(TOperatorAction::CreateSubject, code, name));
    if (FCluster) {
      ClusterCreateSubject(code, name, maxConnections, persistent);
      return;
    }
    AddSubject(code, name, maxConnections, persistent);
  });
  return TCreateSubjectResult::Created;
}

TDeleteSubjectResult ServerCore::DeleteSubject(const std::string& code, const std::string& name) {
  if (name == FSettings.LobbyName) return TDeleteSubjectResult::IsLobby;
  auto* subject = FRegistry.FindSubject(code, name);
  if (!subject) return TDeleteSubjectResult::NotFound;
  Guarded([&] {
    FObserver->Event(OperatorEvent(TOperatorAction::DeleteSubject, code, name));
    if (FCluster) {
      ClusterDeleteSubject(code, name);
      return;
    }
    subject->SetPersistent(false);
    if (subject->Members().Empty()) {
      RemoveSubject(*subject);
      return;
    }
    // The last member's move removes the subject; it stays alive until this event ends.
    auto& lobby = Lobby(code);
    while (auto* member = subject->Members().Front()) JoinSubject(*member, lobby);
  });
  return TDeleteSubjectResult::Deleted;
}

bool ServerCore::SaveEditedUser(ConnectionId id, const TZorvaUser& user) {
  bool saved = false;
  Guarded([&] {
    auto* guest = Guest(id);
    if (!guest || !guest->User()) return;
    FObserver->Event(OperatorEvent(TOperatorAction::EditUser, *guest));
    SaveUserRecord(*guest, user, false);
    saved = true;
  });
  return saved;
}

// ---- Views

std::vector<const TZorvaGuest*> ServerCore::Guests() const {
  return {FGuests.begin(), FGuests.end()};
}

std::vector<const TZorvaGuest*> ServerCore::StagingGuests() const {
  return {FRegistry.Staging().begin(), FRegistry.Staging().end()};
}

}  // namespace zorva
