// ServerCore: the whole server without I/O — guests, login, subjects and lobbies, relays,
// pings, counters, tracing. A transport feeds it connection events (IConnectionEvents) and
// carries its lines (ITransport); the operator window or the daemon calls the operator
// operations below and draws from the read-only views.
//
// Contract with the transport: the core passes lines without their line feed; every guest the
// core drops it also closes (after a disconnect or an error too), and it never uses an id
// again after closing it. A guest's states, and what keeps a dropped guest or a removed
// subject alive until the event returns, are set out in ZorvaGuest.h. The observer
// hears GuestsChanged / SubjectsChanged once at the end of an event, however much changed.
//
//   ServerCore core(transport, clock, hooks);
//   core.SetSettings(ReadSettings(DefaultIniPath()));
//   std::string error;
//   if (!core.Start(error)) report(error);
//
// In a cluster (SetCluster) the core asks the shared state before it decides what several nodes
// share — ids, joins, subject names — and its subjects also list the members of other nodes
// (TZorvaGuest::Remote, kept by user id, never in Guests()). docs/CLUSTER.md has the flows.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ClusterPort.h"
#include "ExceptionText.h"
#include "LoginThrottle.h"
#include "OrderedSet.h"
#include "RateWindow.h"
#include "ServerCounters.h"
#include "ServerEvents.h"
#include "ServerInterfaces.h"
#include "ServerSettings.h"
#include "SubjectRegistry.h"
#include "TraceLog.h"
#include "ZorvaGuest.h"
#include "ZorvaServerStats.h"
#include "ZorvaSubject.h"

namespace zorva {

// Who an operator's shout reaches.
enum class TShoutKind { All, StagingArea, SubjectCode, Subject, Guest };
struct TShoutTarget {
  TShoutKind Kind = TShoutKind::All;
  std::string Code;        // SubjectCode, Subject
  std::string Name;        // Subject
  ConnectionId Guest = 0;  // Guest

  static TShoutTarget ToAll() { return {}; }
  static TShoutTarget ToStagingArea() { return {TShoutKind::StagingArea, {}, {}, 0}; }
  static TShoutTarget ToSubjectCode(std::string code) {
    return {TShoutKind::SubjectCode, std::move(code), {}, 0};
  }
  static TShoutTarget ToSubject(std::string code, std::string name) {
    return {TShoutKind::Subject, std::move(code), std::move(name), 0};
  }
  static TShoutTarget ToGuest(ConnectionId id) { return {TShoutKind::Guest, {}, {}, id}; }
};

enum class TCreateSubjectResult { Created, EmptyName, Exists, NoSuchCode };
enum class TDeleteSubjectResult { Deleted, IsLobby, NotFound };

class ServerCore : public IConnectionEvents, public IClusterEvents {
 public:
  static constexpr std::size_t kMaxFeedbackBytes = 4096;
  static constexpr std::size_t kFeedbackPerMinute = 10;

  ServerCore(ITransport& transport, const IClock& clock, TServerHooks& hooks);
  ~ServerCore() override;
  ServerCore(const ServerCore&) = delete;
  ServerCore& operator=(const ServerCore&) = delete;

  void SetObserver(IServerObserver* observer);  // nullptr = none
  // Shares ids, subjects and members with the other nodes behind the port; nullptr (the
  // default) is a single server. Set it before Start. The core never detaches itself: whichever
  // of the two goes first, call SetCluster(nullptr) before, so the port hears of it.
  void SetCluster(IClusterPort* port);
  const TServerSettings& Settings() const { return FSettings; }
  // The port applies at the next Start, the lobby name to lobbies made later, the timeout from
  // the next ping tick.
  void SetSettings(const TServerSettings& settings) { FSettings = settings; }
  // Longest accepted line, line feed not counted; applies to connections accepted later.
  void SetMaxLine(std::size_t bytes) { FMaxLine = bytes; }
  // Most guests at once; a connection past it is sent "ERROR|The Server is full" and closed,
  // and counts nowhere but in the bytes written. 0 = no limit.
  void SetMaxClients(std::size_t count) { FMaxClients = count; }
  // Past a pending limit a login is answered "busy"; a throttled one "too many attempts".
  void SetLoginLimits(const TLoginLimits& limits);
  // A connection past the per-address limit is refused like one past SetMaxClients.
  void SetClientLimits(const TClientLimits& limits);
  // Refuses LOGIN and LOGINNEW on a connection that is not encrypted, before they are traced,
  // so that a password sent in the clear is written nowhere.
  void SetRequireEncryptedLogin(bool required) { FRequireEncryptedLogin = required; }

  // Listens on the settings' port, starts a statistics period and the ping timer, re-opens.
  bool Start(std::string& error);
  // Closes every connection without announcements and discards all guests and subjects.
  // AfterFlush lets each connection receive what was already sent to it first.
  void Stop(ITransport::CloseMode mode = ITransport::CloseMode::Now);
  // Refuses new connections; with no guest it is a Stop.
  void ShutDown();
  void ReOpen();
  bool Running() const { return FRunning; }
  bool Blocked() const { return FBlocked; }

  // Operator actions too: a switch that changes is told to the observer.
  void SetTraceIncoming(bool on);
  void SetTraceOutgoing(bool on);
  bool OpenLogFile(const std::string& path, std::string& error,
                   TLogFileStart start = TLogFileStart::Anew) {
    return FTrace.Open(path, error, start);
  }
  void CloseLogFile() { FTrace.Close(); }
  bool LogFileOpen() const { return FTrace.IsOpen(); }

  const TZorvaServerStats& UpdateServerStats();

  // Operator operations. Each takes ids or names and looks them up now: a target that has
  // gone meanwhile means nothing happens.
  bool KillGuest(ConnectionId id);
  // Sends "SHOUT|" + text + "|"; nothing while stopped or for an empty text.
  void Shout(const TShoutTarget& target, std::string_view text);
  // The same to a logged-in user by id: here, or in a cluster through the node that holds it.
  // False when no member of this node's codes has that id.
  bool ShoutToUser(const std::string& id, std::string_view text);
  // Announced to the code; nobody joins; not counted as client-created.
  TCreateSubjectResult CreateSubject(const std::string& code, const std::string& name,
                                     std::int32_t maxConnections, bool persistent);
  // Moves the members into their lobby one by one; the subject goes with the last of them.
  TDeleteSubjectResult DeleteSubject(const std::string& code, const std::string& name);
  // Hands the edited record (its id stays the guest's) to the store; once kept, it becomes the
  // guest's and goes to the guest's subject. False when the guest has no user.
  bool SaveEditedUser(ConnectionId id, const TZorvaUser& user);

  // Read-only views for the operator window, in their orders.
  std::vector<const TZorvaGuest*> Guests() const;  // order of arrival
  std::vector<const TZorvaGuest*> StagingGuests() const;
  const TZorvaGuest* FindGuest(ConnectionId id) const { return Guest(id); }
  std::size_t GuestCount() const { return FGuests.Size(); }
  std::vector<std::string> SubjectCodes() const { return FRegistry.SubjectCodes(); }
  // The code's subjects in creation order, its lobby first; members via Members().
  std::vector<const TZorvaSubject*> Subjects(const std::string& code) const {
    return FRegistry.Subjects(code);
  }
  const TZorvaSubject* FindSubject(const std::string& code, const std::string& name) const {
    return FRegistry.FindSubject(code, name);
  }
  // Logins waiting in the user store's queue.
  std::size_t PendingLogins() const { return FPendingLogins; }
  std::size_t QueuedOutputBytes() const { return FTransport.QueuedOutputBytes(); }
  const TLifetimeCounters& LifetimeCounters() const { return FCounters.Lifetime(); }
  // Bytes per ping interval, oldest first, always 20 values each.
  const TServerCounters::TSeries& ActivityBytesRead() const {
    return FCounters.ActivityBytesRead();
  }
  const TServerCounters::TSeries& ActivityBytesWritten() const {
    return FCounters.ActivityBytesWritten();
  }

  // IConnectionEvents
  void OnClientConnect(ConnectionId id, std::string remoteAddress,
                       std::string localAddress) override;
  void OnClientRead(ConnectionId id, std::string_view bytes) override;
  void OnClientDisconnect(ConnectionId id) override;
  void OnClientError(ConnectionId id, int code, std::string_view reason) override;
  void OnPingTimer() override;

  // IClusterEvents
  void OnRemoteLine(std::string_view code, std::string_view subject,
                    std::string_view line) override;
  void OnRemoteGuestLine(std::string_view code, std::string_view id,
                         std::string_view line) override;
  void OnRemoteSubjectAdded(std::string_view code, std::string_view subject) override;
  void OnRemoteSubjectRemoved(std::string_view code, std::string_view subject) override;
  void OnRemoteMemberJoined(std::string_view code, std::string_view subject,
                            const TRemoteJoin& joined) override;
  void OnRemoteMemberLeft(std::string_view code, std::string_view subject,
                          std::string_view id) override;
  void OnRemoteUserUpdated(std::string_view code, std::string_view subject, std::string_view id,
                           std::string_view userText) override;
  void OnRemoteRoundTrips(std::string_view code, const std::vector<TRoundTrip>& trips) override;
  void OnClusterLost(const std::string& reason) override;
  void OnClusterBack() override;

 private:
  // Opens an event; the outermost one frees what was dropped or removed during it.
  class EventScope {
   public:
    explicit EventScope(ServerCore& core) : FCore(core) { ++FCore.FEventDepth; }
    ~EventScope() { FCore.EndEvent(); }
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;

   private:
    ServerCore& FCore;
  };
  void EndEvent();
  using THandler = void (ServerCore::*)(TZorvaGuest&, std::string_view);
  struct TCommand {
    THandler Handler;
    bool NeedsLogin;
  };

  template <class Body>
  void Guarded(Body&& body) {
    EventScope scope(*this);
    try {
      body();
    } catch (const std::exception& error) {
      ReportFailure(DescribeException(error));
    }
  }
  void ReportFailure(std::string_view line) {
    FObserver->ExceptionLine(line, TExceptionKind::Alarm);
  }
  void ReportTraceSwitch(std::string_view direction, bool on);
  void ReportLeaveFailure(std::string_view line) {
    FObserver->ExceptionLine(line, TExceptionKind::LeaveAlarm);
  }
  // Tells the observer what changed, once per event however often it changed.
  void Notify();

  // Tells the observer that a guest leaves and counts the leave by its reason.
  void ReportLeave(const TServerEvent& event);
  void RefuseConnection(TZorvaGuest& guest, std::string_view error, TRefusalReason reason);

  // Receiving
  bool HandleLine(TZorvaGuest& guest, std::string_view line);
  bool IsClearLoginRefused(const TZorvaGuest& guest, std::string_view line) const;
  void HandleLines(TZorvaGuest& guest, LineFramer::Status status);
  void ResumeLines(TZorvaGuest& guest);
  void RefuseLongLine(TZorvaGuest& guest);
  void DispatchCommand(TZorvaGuest& guest, std::string_view word, std::string_view args);

  // Commands
  void Login(TZorvaGuest& guest, std::string_view args) { RequestLogin(guest, args, false); }
  void LoginNew(TZorvaGuest& guest, std::string_view args) { RequestLogin(guest, args, true); }
  void RequestLogin(TZorvaGuest& guest, std::string_view args, bool newUser);
  void AuthorizeLogin(TZorvaGuest& guest, TLoginRequest request);
  // `answered` turns true when the hooks answer, on whichever thread.
  TLoginDone DeferredLoginAnswer(ConnectionId id, std::string code,
                                 std::shared_ptr<std::atomic<bool>> answered);
  bool RefuseLoginAttempt(TZorvaGuest& guest, const std::string& id);
  void CountQueuedLogin(TZorvaGuest& guest);
  void CountLoginVerdict(const TZorvaGuest& guest, const TLoginResult& result);
  // Refuses a registration whose record the server cannot take; clears the server's fields.
  void PrepareRegistration(TLoginRequest& request) const;
  void Relay(TZorvaGuest& guest, std::string_view args);
  void Ping(TZorvaGuest& guest, std::string_view args);
  void CreateSubjectCommand(TZorvaGuest& guest, std::string_view args);
  void JoinSubjectCommand(TZorvaGuest& guest, std::string_view args);
  void ServerStats(TZorvaGuest& guest, std::string_view args);
  void UserInfo(TZorvaGuest& guest, std::string_view args);
  void UserUpdate(TZorvaGuest& guest, std::string_view args);
  // Keeps what only the server sets: account dates, login count and info tokens.
  void KeepServerFields(TZorvaUser& record, const TZorvaUser& current) const;
  // Hands the record to the store; `fromGuest` pauses the guest's lines until it is kept.
  void SaveUserRecord(TZorvaGuest& guest, TZorvaUser record, bool fromGuest);
  void ApplyUserRecord(TZorvaGuest& guest, const TZorvaUser& record);
  // Pauses the guest's lines while `ask` hands a job to the store (not when it throws).
  void PauseForStore(TZorvaGuest& guest, const std::function<void()>& ask);
  void Feedback(TZorvaGuest& guest, std::string_view args);
  bool FeedbackAllowed(const TZorvaGuest& guest, std::string_view text);
  void Custom(TZorvaGuest& guest, std::string_view args);

  // Login
  void OnLoginDecided(ConnectionId id, const std::string& code, TLoginResult result);
  void ApplyLoginResult(TZorvaGuest& guest, const std::string& code, TLoginResult result);
  void CancelPendingLogin(TZorvaGuest& guest);
  // `joined`: the cluster's answer to joining the lobby, null for a single server.
  void CompleteLogin(TZorvaGuest& guest, std::unique_ptr<TZorvaUser> user, const std::string& code,
                     const TJoinResult* joined = nullptr);

  // Store jobs other than logins: the answer comes back as an event of its own, to the guest
  // found again by id, with the store's error (empty when it succeeded).
  using TStoreAnswer = std::function<void(TZorvaGuest&, const std::string& error)>;
  TStoreDone DeferredStoreAnswer(ConnectionId id, bool resumesGuest, TStoreAnswer apply);
  void OnStoreAnswered(ConnectionId id, bool resumesGuest, const TStoreAnswer& apply,
                       const std::string& error);

  // Subjects
  TZorvaSubject& Lobby(const std::string& code);
  // Registers and announces a subject; joining and counting are the caller's.
  TZorvaSubject& AddSubject(const std::string& code, const std::string& name,
                            std::int32_t maxConnections, bool persistent);
  void JoinSubject(TZorvaGuest& guest, TZorvaSubject& subject);
  // The move itself; whether the old subject goes and the new one fills is decided by the caller
  // (the cluster decides it for a clustered join).
  void MoveGuest(TZorvaGuest& guest, TZorvaSubject& subject, bool removesPrevious,
                 bool fillsByCluster);
  void LeaveSubject(TZorvaGuest& guest, TZorvaSubject& subject);
  void LeaveSubject(TZorvaGuest& guest, TZorvaSubject& subject, bool removesSubject);
  void RemoveSubject(TZorvaSubject& subject);
  // One "JOINSUBJECT" line with the members that fit, "ADDGUEST" lines for the rest.
  void SendJoinLines(TZorvaGuest& guest, const TZorvaSubject& subject);
  // One "SUBJECTS" line with the names that fit, "ADDSUBJECT" lines for the rest.
  void SendSubjectLines(TZorvaGuest& guest, const std::string& code);
  // The round trips of a window of members that moves on with every call.
  std::string PingLine(TZorvaSubject* subject) const;

  // Sending
  void SendToGuest(TZorvaGuest& guest, std::string_view text);
  // To every member but `except`.
  void SendToSubject(const TZorvaSubject& subject, std::string_view text,
                     const TZorvaGuest* except = nullptr);
  void SendToSubjectCode(const std::string& code, std::string_view text);

  // Guests
  TZorvaGuest* Guest(ConnectionId id) const;
  TZorvaGuest* FindGuestByUserId(const std::string& id) const;
  bool AddressFull(const std::string& address) const;
  bool LoginTimedOut(const TZorvaGuest& guest, std::uint64_t nowMs) const;
  void DropForLoginTimeout(TZorvaGuest& guest);
  void DropGuest(TZorvaGuest& guest);
  void CloseGuest(TZorvaGuest& guest, ITransport::CloseMode mode);

  // Cluster (ServerCoreCluster.cpp). Answers come as events of their own; a guest awaiting one
  // is found again by connection id and its lines resume afterwards.
  struct TClusterHold {
    std::string Code;
    std::string Id;
    bool Joined = false;
  };
  struct TIdHolders {
    int Count = 0;
    bool Joined = false;
  };
  template <class Body>
  auto ClusterAnswer(Body body);
  template <class Body>
  auto GuestAnswer(ConnectionId id, Body body);
  void ClusterNote(std::string_view text) { FObserver->ExceptionLine(text, TExceptionKind::Note); }
  bool ClusterRefuses(TZorvaGuest& guest, std::string_view error);
  void ClaimThenAuthorize(TZorvaGuest& guest, TLoginRequest request);
  void JoinLobbyThenComplete(TZorvaGuest& guest, std::unique_ptr<TZorvaUser> user,
                             const std::string& code);
  void FailClusterLogin(TZorvaGuest& guest);
  bool JoinedHere(const std::string& id) const;
  void HoldId(const TZorvaGuest& guest, const std::string& code, const std::string& id);
  void MarkJoined(const TZorvaGuest& guest);
  void ReleaseHold(const TZorvaGuest& guest);
  IClusterPort::TDone RememberUndropped(const std::string& code, const std::string& id);
  void WithOpenCode(const std::string& code, std::function<void(bool)> then);
  void CodeOpened(const std::string& code, bool opened);
  // Opens (subscribes, then loads) or reloads the code's state and applies it.
  void LoadState(const std::string& code, bool open, std::function<void(bool)> loaded);
  bool Loading(std::string_view code) const;
  void HoldEvent(std::string_view code, std::function<void()> event);
  void ApplyState(const std::string& code, const std::vector<TClusterSubject>& state);
  void RequestCreate(TZorvaGuest& guest, const std::string& name, std::int32_t limit);
  void RequestJoin(TZorvaGuest& guest, const std::string& name);
  void ApplyJoinAnswer(TZorvaGuest& guest, const std::string& name, const TJoinResult& answer);
  void JoinAnswered(TZorvaGuest& guest, TZorvaSubject& subject, const TJoinResult& answer);
  TClusterMember MemberOf(const TZorvaGuest& guest) const;
  TZorvaSubject& EnsureSubject(const std::string& code, const std::string& name);
  TZorvaGuest* RemoteMember(std::string_view id) const;
  void PlaceRemote(TZorvaSubject& subject, std::string_view node, std::string_view id,
                   std::string_view userText, std::int32_t roundTrip, bool fills);
  void DiscardRemote(TZorvaGuest& member);
  void ForgetRemoteMembers(TZorvaSubject& subject);
  void PublishRoundTrips();
  void ClusterDeleteSubject(const std::string& code, const std::string& name);
  void ClusterCreateSubject(const std::string& code, const std::string& name,
                            std::int32_t maxConnections, bool persistent);
  void StopCluster();
  void Rebuild();
  void RebuildSubjects(const std::string& code);

  std::int64_t NowSeconds() const { return static_cast<std::int64_t>(FClock.NowMs() / 1000); }

  ITransport& FTransport;
  const IClock& FClock;
  TServerHooks& FHooks;
  IServerObserver FNoObserver;
  IServerObserver* FObserver = &FNoObserver;
  TServerSettings FSettings;
  std::size_t FMaxLine = LineFramer::kDefaultMaxLine;
  std::size_t FMaxClients = 0;
  TClientLimits FClientLimits;
  std::unordered_map<std::string, std::size_t> FGuestsPerAddress;
  TRateWindow FRegistrations{FClientLimits.RegistrationsPerHour, 3'600'000};
  TRateWindow FFeedback{kFeedbackPerMinute, 60'000};
  bool FRequireEncryptedLogin = false;
  bool FRunning = false;
  bool FBlocked = false;

  // FGuests keeps the order of arrival; the maps find a guest without a scan.
  OrderedSet<TZorvaGuest> FGuests;
  std::unordered_map<ConnectionId, std::unique_ptr<TZorvaGuest>> FGuestsById;
  std::unordered_map<std::string, TZorvaGuest*> FGuestsByUserId;
  // Logged-in guests per subject code, in order of arrival (announcements to a code).
  std::unordered_map<std::string, std::map<std::uint64_t, TZorvaGuest*>> FGuestsByCode;
  // Logins queued in the user store (not those answered at once), in all and per address.
  std::size_t FPendingLogins = 0;
  std::unordered_map<std::string, std::size_t> FPendingByAddress;
  TLoginLimits FLoginLimits;
  TLoginThrottle FThrottle;
  std::uint64_t FNextArrival = 0;

  SubjectRegistry FRegistry;
  // Subjects created by clients: only their removal lowers the current-subjects count.
  std::unordered_set<const TZorvaSubject*> FCountedSubjects;

  TServerCounters FCounters;
  TZorvaServerStats FStats;
  TTraceLog FTrace;
  // The relayed line under construction; kept so its capacity is reused line after line.
  std::string FRelayLine;

  bool FGuestsChanged = false;
  bool FSubjectsChanged = false;

  IClusterPort* FCluster = nullptr;
  // Members on other nodes, by user id.
  std::unordered_map<std::string, std::unique_ptr<TZorvaGuest>> FRemoteMembers;
  // Ids this node holds in the cluster: per guest that claimed one, and per id (several local
  // logins of one id may wait at once; the id is released when the last of them ends).
  std::unordered_map<ConnectionId, TClusterHold> FClusterHolds;
  std::unordered_map<std::string, TIdHolders> FIdHolders;
  // Ids whose drop or release could not reach the cluster, with their codes: dropped once it is
  // back.
  std::map<std::string, std::string> FUndropped;
  // Codes whose mirror is loaded, and those being opened with what waits for them.
  std::unordered_set<std::string> FOpenCodes;
  std::map<std::string, std::vector<std::function<void(bool)>>> FOpeningCodes;
  // Events of codes whose state is being loaded, in the order heard.
  std::map<std::string, std::vector<std::function<void()>>> FHeldEvents;

  // Dropped guests and removed subjects live until the outermost event returns.
  int FEventDepth = 0;
  std::vector<std::unique_ptr<TZorvaGuest>> FDroppedGuests;
  std::vector<std::unique_ptr<TZorvaSubject>> FRemovedSubjects;
  // Login decisions that arrive after the core is gone find this expired.
  std::shared_ptr<int> FAlive = std::make_shared<int>(0);
};

}  // namespace zorva
