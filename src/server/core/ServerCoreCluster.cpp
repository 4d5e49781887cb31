// The core's side of a cluster: what it asks the shared state before deciding, the mirror of the
// other nodes' members in its subjects, and the events that keep that mirror current.
#include <algorithm>
#include <utility>

#include "ServerCore.h"
#include "ZorvaProtocol.h"

namespace zorva {

namespace {

using TStatus = TClusterStatus;

// The node of a member first heard of through an operator's move, which names none.
constexpr std::string_view kUnknownNode = "?";

}  // namespace

// Runs a port's answer as an event of its own; nothing once the core is gone.
template <class Body>
auto ServerCore::ClusterAnswer(Body body) {
  return [this, alive = std::weak_ptr<int>(FAlive), body = std::move(body)](auto&&... args) {
    if (alive.expired()) return;
    this->Guarded([&] { body(args...); });
  };
}

// The same for an answer a guest waits for: a guest gone meanwhile hears nothing (its drop has
// already told the cluster), and its kept lines are handled once the answer is applied.
template <class Body>
auto ServerCore::GuestAnswer(ConnectionId id, Body body) {
  return ClusterAnswer([this, id, body = std::move(body)](auto&&... args) {
    auto* guest = Guest(id);
    if (!guest) return;
    guest->SetClusterWaiting(false);
    try {
      body(*guest, args...);
    } catch (const std::exception& error) {
      ReportFailure(DescribeException(error));
    }
    ResumeLines(*guest);
  });
}

void ServerCore::SetCluster(IClusterPort* port) {
  if (FCluster) FCluster->SetEvents(nullptr);
  FCluster = port;
  if (FCluster) FCluster->SetEvents(this);
}

bool ServerCore::ClusterRefuses(TZorvaGuest& guest, std::string_view error) {
  if (!FCluster || FCluster->Available()) return false;
  SendToGuest(guest, error);
  return true;
}

TClusterMember ServerCore::MemberOf(const TZorvaGuest& guest) const {
  return {guest.User()->Id(), {}, guest.RoundTrip(), guest.WireText()};
}

// ---- Ids

bool ServerCore::JoinedHere(const std::string& id) const {
  const auto found = FIdHolders.find(id);
  return found != FIdHolders.end() && found->second.Joined;
}

void ServerCore::HoldId(const TZorvaGuest& guest, const std::string& code, const std::string& id) {
  FClusterHolds[guest.Connection()] = {code, id, false};
  ++FIdHolders[id].Count;
  FUndropped.erase(id);
}

void ServerCore::MarkJoined(const TZorvaGuest& guest) {
  const auto hold = FClusterHolds.find(guest.Connection());
  if (hold == FClusterHolds.end()) return;
  hold->second.Joined = true;
  FIdHolders[hold->second.Id].Joined = true;
}

// The joined holder leaves its subject; the last holder gives the id back. Later logins of the
// same id still waiting here keep it claimed.
void ServerCore::ReleaseHold(const TZorvaGuest& guest) {
  auto found = FClusterHolds.find(guest.Connection());
  if (found == FClusterHolds.end()) return;
  const auto hold = std::move(found->second);
  FClusterHolds.erase(found);
  auto& holders = FIdHolders[hold.Id];
  const bool last = --holders.Count == 0;
  if (hold.Joined) {
    holders.Joined = false;
    FCluster->Drop(hold.Code, hold.Id, RememberUndropped(hold.Code, hold.Id));
    if (!last) FCluster->ClaimId(hold.Code, hold.Id, [](TStatus) {});
  } else if (last) {
    FCluster->ReleaseId(hold.Code, hold.Id, RememberUndropped(hold.Code, hold.Id));
  }
  if (last) FIdHolders.erase(hold.Id);
}

IClusterPort::TDone ServerCore::RememberUndropped(const std::string& code, const std::string& id) {
  return ClusterAnswer([this, code, id](TStatus status) {
    if (status == TStatus::Unavailable && !FIdHolders.contains(id)) FUndropped[id] = code;
  });
}

// ---- Login

void ServerCore::ClaimThenAuthorize(TZorvaGuest& guest, TLoginRequest request) {
  HoldId(guest, request.SubjectCode, request.Id);
  auto shared = std::make_shared<TLoginRequest>(std::move(request));
  FCluster->ClaimId(
      shared->SubjectCode, shared->Id,
      ClusterAnswer([this, id = guest.Connection(), shared](TStatus status) {
        auto* guest = Guest(id);
        if (!guest || !guest->LoginPending()) return;
        if (status == TStatus::Done) {
          AuthorizeLogin(*guest, std::move(*shared));
          return;
        }
        CancelPendingLogin(*guest);
        ReleaseHold(*guest);
        SendToGuest(*guest, status == TStatus::Taken ? Err::IdInUse : Err::LoginClusterUnavailable);
        ResumeLines(*guest);
      }));
}

void ServerCore::JoinLobbyThenComplete(TZorvaGuest& guest, std::unique_ptr<TZorvaUser> user,
                                       const std::string& code) {
  user->SetPassword({});
  guest.SetClusterWaiting(true);
  // Taken now, not once the code is open: another login of the id accepted meanwhile is refused.
  MarkJoined(guest);
  std::shared_ptr<const TZorvaUser> shared = std::move(user);
  WithOpenCode(code, [this, id = guest.Connection(), shared, code](bool opened) {
    auto* guest = Guest(id);
    if (!guest) return;
    if (!opened) return FailClusterLogin(*guest);
    const TClusterMember member{shared->Id(), {}, 0, shared->toWireString()};
    FCluster->Join(
        code, FSettings.LobbyName, member,
        GuestAnswer(id, [this, shared, code](TZorvaGuest& joining, const TJoinResult& answer) {
          if (answer.Status != TStatus::Done) return FailClusterLogin(joining);
          CompleteLogin(joining, std::make_unique<TZorvaUser>(*shared), code, &answer);
        }));
  });
}

void ServerCore::FailClusterLogin(TZorvaGuest& guest) {
  guest.SetClusterWaiting(false);
  ReleaseHold(guest);
  SendToGuest(guest, Err::LoginClusterUnavailable);
  ResumeLines(guest);
}

// ---- Codes and the mirror

// The first login of a code creates its lobby (silently, as a single server does) and loads the
// code's subjects and members before the guest joins, so its "SUBJECTS" line lists them all.
void ServerCore::WithOpenCode(const std::string& code, std::function<void(bool)> then) {
  if (FOpenCodes.contains(code)) {
    then(true);
    return;
  }
  auto& waiting = FOpeningCodes[code];
  waiting.push_back(std::move(then));
  if (waiting.size() > 1) return;
  const TSubjectSettings lobby{0, true, false, false};
  FCluster->CreateSubject(code, FSettings.LobbyName, lobby, ClusterAnswer([this, code](TStatus s) {
                            if (s == TStatus::Unavailable) return CodeOpened(code, false);
                            LoadState(code, true,
                                      [this, code](bool opened) { CodeOpened(code, opened); });
                          }));
}

void ServerCore::CodeOpened(const std::string& code, bool opened) {
  auto waiting = std::move(FOpeningCodes[code]);
  FOpeningCodes.erase(code);
  for (auto& then : waiting) then(opened);
}

// Events of the code heard while its state loads wait for it and then apply on top: the state may
// be older than they are, and applying an event twice changes nothing.
void ServerCore::LoadState(const std::string& code, bool open, std::function<void(bool)> loaded) {
  FHeldEvents.try_emplace(code);
  auto answer = ClusterAnswer([this, code, open, loaded = std::move(loaded)](TStatus status,
                                                                             const auto& state) {
    auto held = std::move(FHeldEvents[code]);
    FHeldEvents.erase(code);
    // A stop meanwhile discarded every subject.
    const bool applies = status == TStatus::Done && (open ? FRunning : FOpenCodes.contains(code));
    if (applies) {
      ApplyState(code, state);
      FOpenCodes.insert(code);
    }
    if (FOpenCodes.contains(code)) {
      for (const auto& event : held) event();
    }
    loaded(applies);
  });
  if (open) {
    FCluster->OpenCode(code, std::move(answer));
  } else {
    FCluster->LoadCode(code, std::move(answer));
  }
}

bool ServerCore::Loading(std::string_view code) const {
  return !FHeldEvents.empty() && FHeldEvents.contains(std::string(code));
}

void ServerCore::HoldEvent(std::string_view code, std::function<void()> event) {
  FHeldEvents[std::string(code)].push_back(std::move(event));
}

// Makes the code's subjects and remote members what the cluster holds, telling this node's
// clients what differs. This node's own guests stay where they are.
void ServerCore::ApplyState(const std::string& code, const std::vector<TClusterSubject>& state) {
  std::unordered_set<std::string> listed;
  std::unordered_set<std::string> present;
  for (const auto& shared : state) {
    listed.insert(shared.Name);
    auto& subject =
        shared.Name == FSettings.LobbyName ? Lobby(code) : EnsureSubject(code, shared.Name);
    subject.SetMaxConnections(shared.MaxMembers);
    subject.SetPersistent(shared.Persistent);
    if (shared.Full) subject.MarkFull();
    for (const auto& member : shared.Members) {
      if (FindGuestByUserId(member.Id) || member.Node == FCluster->NodeId()) continue;
      present.insert(member.Id);
      PlaceRemote(subject, member.Node, member.Id, member.UserText, member.RoundTrip, false);
    }
  }
  std::vector<TZorvaGuest*> gone;
  for (const auto& [id, member] : FRemoteMembers) {
    if (member->SubjectCode() == code && !present.contains(id)) gone.push_back(member.get());
  }
  for (auto* member : gone) DiscardRemote(*member);
  for (const auto& name : FRegistry.SubjectNames(code)) {
    auto* subject = FRegistry.FindSubject(code, name);
    if (!listed.contains(name) && subject->Members().Empty() && name != FSettings.LobbyName) {
      RemoveSubject(*subject);
    }
  }
}

TZorvaSubject& ServerCore::EnsureSubject(const std::string& code, const std::string& name) {
  if (auto* subject = FRegistry.FindSubject(code, name)) return *subject;
  return AddSubject(code, name, 0, false);
}

TZorvaGuest* ServerCore::RemoteMember(std::string_view id) const {
  const auto found = FRemoteMembers.find(std::string(id));
  return found == FRemoteMembers.end() ? nullptr : found->second.get();
}

// Adds or moves a member of another node, announced like a local join; one already held takes
// the newer text and round trip silently. An empty node (an operator's move) keeps the node known.
void ServerCore::PlaceRemote(TZorvaSubject& subject, std::string_view node, std::string_view id,
                             std::string_view userText, std::int32_t roundTrip, bool fills) {
  auto* member = RemoteMember(id);
  // On another node now: a new session, whose old one's leave was not heard.
  if (member && !node.empty() && member->Node() != node) {
    DiscardRemote(*member);
    member = nullptr;
  }
  if (member) {
    // Parsed again only when it changed: a join answer lists every member.
    if (member->WireText() != userText) member->UpdateRemoteUser(userText);
    member->SetRoundTrip(roundTrip);
  } else {
    auto made = TZorvaGuest::Remote(node.empty() ? std::string(kUnknownNode) : std::string(node),
                                    id, userText, roundTrip);
    member = made.get();
    FRemoteMembers.emplace(std::string(id), std::move(made));
  }
  if (member->Subject() == &subject) return;
  MoveGuest(*member, subject, false, fills);
}

// The member leaves its subject (announced; the subject goes only when the cluster says so) and
// is freed when the event ends.
void ServerCore::DiscardRemote(TZorvaGuest& member) {
  if (auto* subject = member.Subject()) LeaveSubject(member, *subject, false);
  member.SetSubject(nullptr);
  member.SetDropped();
  auto owned = FRemoteMembers.extract(member.User()->Id());
  if (!owned.empty()) FDroppedGuests.push_back(std::move(owned.mapped()));
}

void ServerCore::ForgetRemoteMembers(TZorvaSubject& subject) {
  std::vector<TZorvaGuest*> remote;
  for (auto* member : subject.Members()) {
    if (member->IsRemote()) remote.push_back(member);
  }
  // Silently: the subject's removal is what its members' clients hear.
  for (auto* member : remote) {
    subject.RemoveMember(member);
    member->SetSubject(nullptr);
    DiscardRemote(*member);
  }
}

// ---- Subjects

void ServerCore::RequestCreate(TZorvaGuest& guest, const std::string& name, std::int32_t limit) {
  if (ClusterRefuses(guest, Err::ClusterUnavailable)) return;
  guest.SetClusterWaiting(true);
  const TSubjectSettings settings{limit, false, true, true};
  FCluster->CreateSubject(
      guest.SubjectCode(), name, settings,
      GuestAnswer(guest.Connection(), [this, name, limit](TZorvaGuest& creator, TStatus status) {
        if (status == TStatus::Exists) return SendToGuest(creator, Err::SubjectExists);
        if (status != TStatus::Done) return SendToGuest(creator, Err::ClusterUnavailable);
        auto* subject = FRegistry.FindSubject(creator.SubjectCode(), name);
        if (!subject) subject = &AddSubject(creator.SubjectCode(), name, limit, false);
        subject->SetMaxConnections(limit);
        FCountedSubjects.insert(subject);
        FCounters.SubjectCreated();
        RequestJoin(creator, name);
      }));
}

void ServerCore::RequestJoin(TZorvaGuest& guest, const std::string& name) {
  if (ClusterRefuses(guest, Err::ClusterUnavailable)) return;
  guest.SetClusterWaiting(true);
  FCluster->Join(guest.SubjectCode(), name, MemberOf(guest),
                 GuestAnswer(guest.Connection(),
                             [this, name](TZorvaGuest& joining, const TJoinResult& answer) {
                               ApplyJoinAnswer(joining, name, answer);
                             }));
}

void ServerCore::ApplyJoinAnswer(TZorvaGuest& guest, const std::string& name,
                                 const TJoinResult& answer) {
  switch (answer.Status) {
    case TStatus::Done:
      JoinAnswered(guest, EnsureSubject(guest.SubjectCode(), name), answer);
      return;
    case TStatus::NoSubject:
      SendToGuest(guest, Err::NoSuchSubject);
      return;
    case TStatus::Full:
      SendToGuest(guest, Err::SubjectFull);
      return;
    case TStatus::Same:
      return;
    default:
      SendToGuest(guest, Err::ClusterUnavailable);
      return;
  }
}

// The answer lists the subject's members as the cluster holds them; those not heard of yet (their
// events are still on the way) are added first, so the joining guest's list is whole.
void ServerCore::JoinAnswered(TZorvaGuest& guest, TZorvaSubject& subject,
                              const TJoinResult& answer) {
  // The id was another node's until now: its leave there may not have been heard yet.
  if (auto* earlier = RemoteMember(guest.User()->Id())) DiscardRemote(*earlier);
  for (const auto& member : answer.Members) {
    if (member.Id == guest.User()->Id() || FindGuestByUserId(member.Id)) continue;
    if (member.Node == FCluster->NodeId()) continue;
    PlaceRemote(subject, member.Node, member.Id, member.UserText, member.RoundTrip, false);
  }
  if (guest.Subject() == &subject) return;
  MoveGuest(guest, subject, answer.Left == TJoinResult::TLeft::RemovedSubject, answer.Full);
}

void ServerCore::ClusterCreateSubject(const std::string& code, const std::string& name,
                                      std::int32_t maxConnections, bool persistent) {
  const TSubjectSettings settings{maxConnections, persistent, false, true};
  FCluster->CreateSubject(
      code, name, settings,
      ClusterAnswer([this, code, name, maxConnections, persistent](TStatus status) {
        if (status != TStatus::Done) {
          ReportFailure("The cluster did not create the subject " + name);
          return;
        }
        if (FRegistry.FindSubject(code, name) || !FRegistry.HasCode(code)) return;
        AddSubject(code, name, maxConnections, persistent);
      }));
}

// The moves come back as events with no origin and are applied here like on every other node.
void ServerCore::ClusterDeleteSubject(const std::string& code, const std::string& name) {
  FCluster->RemoveSubject(code, name, FSettings.LobbyName,
                          ClusterAnswer([this, name](TStatus status) {
                            if (status == TStatus::Unavailable) {
                              ReportFailure("The cluster did not delete the subject " + name);
                            }
                          }));
}

// ---- Ticks and stopping

void ServerCore::PublishRoundTrips() {
  std::vector<TRoundTrip> trips;
  for (const auto& [code, guests] : FGuestsByCode) {
    if (guests.empty()) continue;
    trips.clear();
    for (const auto& [arrival, guest] : guests) {
      trips.push_back({guest->User()->Id(), guest->RoundTrip()});
    }
    FCluster->PublishRoundTrips(code, trips);
  }
}

// A clean stop: every guest leaves the cluster with one drop, and the mirror goes with the
// subjects.
void ServerCore::StopCluster() {
  for (auto* guest : FGuests) ReleaseHold(*guest);
  for (auto& [id, member] : FRemoteMembers) FDroppedGuests.push_back(std::move(member));
  FRemoteMembers.clear();
  for (const auto& code : FOpenCodes) FCluster->CloseCode(code);
  FOpenCodes.clear();
  FHeldEvents.clear();
}

// ---- Events from the other nodes

void ServerCore::OnRemoteLine(std::string_view code, std::string_view subject,
                              std::string_view line) {
  if (Loading(code)) {
    return HoldEvent(code, [this, c = std::string(code), s = std::string(subject),
                            l = std::string(line)] { OnRemoteLine(c, s, l); });
  }
  Guarded([&] {
    if (const auto* found = FRegistry.FindSubject(code, subject)) {
      SendToSubject(*found, line);
    }
  });
}

void ServerCore::OnRemoteGuestLine(std::string_view code, std::string_view id,
                                   std::string_view line) {
  if (Loading(code)) {
    return HoldEvent(code, [this, c = std::string(code), i = std::string(id),
                            l = std::string(line)] { OnRemoteGuestLine(c, i, l); });
  }
  Guarded([&] {
    auto* guest = FindGuestByUserId(std::string(id));
    if (guest && guest->SubjectCode() == code) SendToGuest(*guest, line);
  });
}

void ServerCore::OnRemoteSubjectAdded(std::string_view code, std::string_view subject) {
  if (Loading(code)) {
    return HoldEvent(code, [this, c = std::string(code), s = std::string(subject)] {
      OnRemoteSubjectAdded(c, s);
    });
  }
  Guarded([&] {
    const std::string open(code);
    if (FOpenCodes.contains(open)) EnsureSubject(open, std::string(subject));
  });
}

void ServerCore::OnRemoteSubjectRemoved(std::string_view code, std::string_view subject) {
  if (Loading(code)) {
    return HoldEvent(code, [this, c = std::string(code), s = std::string(subject)] {
      OnRemoteSubjectRemoved(c, s);
    });
  }
  Guarded([&] {
    auto* found = FRegistry.FindSubject(code, subject);
    if (!found || found->Name() == FSettings.LobbyName) return;
    // Only a subject without members goes; one of this node's guests in it means the event is
    // older than that guest's join.
    for (const auto* member : found->Members()) {
      if (!member->IsRemote()) return;
    }
    RemoveSubject(*found);
  });
}

void ServerCore::OnRemoteMemberJoined(std::string_view code, std::string_view subject,
                                      const TRemoteJoin& joined) {
  if (Loading(code)) {
    return HoldEvent(code, [this, c = std::string(code), s = std::string(subject),
                            node = std::string(joined.Node), id = std::string(joined.Id),
                            text = std::string(joined.UserText), roundTrip = joined.RoundTrip,
                            full = joined.Full] {
      OnRemoteMemberJoined(c, s, {node, id, text, roundTrip, full});
    });
  }
  Guarded([&] {
    const std::string open(code);
    if (!FOpenCodes.contains(open)) return;
    auto& target = EnsureSubject(open, std::string(subject));
    if (auto* local = FindGuestByUserId(std::string(joined.Id))) {
      // Only an operator's delete (no origin) moves this node's own guests.
      if (joined.Node.empty() && local->SubjectCode() == code) JoinSubject(*local, target);
      return;
    }
    PlaceRemote(target, joined.Node, joined.Id, joined.UserText, joined.RoundTrip, joined.Full);
  });
}

void ServerCore::OnRemoteMemberLeft(std::string_view code, std::string_view subject,
                                    std::string_view id) {
  if (Loading(code)) {
    return HoldEvent(code, [this, c = std::string(code), s = std::string(subject),
                            i = std::string(id)] { OnRemoteMemberLeft(c, s, i); });
  }
  Guarded([&] {
    auto* member = RemoteMember(id);
    if (!member || member->SubjectCode() != code || !member->Subject() ||
        member->Subject()->Name() != subject) {
      return;
    }
    DiscardRemote(*member);
  });
}

void ServerCore::OnRemoteUserUpdated(std::string_view code, std::string_view subject,
                                     std::string_view id, std::string_view userText) {
  if (Loading(code)) {
    return HoldEvent(code,
                     [this, c = std::string(code), s = std::string(subject), i = std::string(id),
                      t = std::string(userText)] { OnRemoteUserUpdated(c, s, i, t); });
  }
  Guarded([&] {
    auto* member = RemoteMember(id);
    if (!member || member->SubjectCode() != code) return;
    member->UpdateRemoteUser(userText);
    if (const auto* subject = member->Subject()) {
      SendToSubject(*subject, Msg::UserInfo(member->WireText()));
    }
    FSubjectsChanged = true;
  });
}

void ServerCore::OnRemoteRoundTrips(std::string_view code, const std::vector<TRoundTrip>& trips) {
  // The next tick repeats them; nothing waits for a load.
  if (Loading(code)) return;
  Guarded([&] {
    for (const auto& trip : trips) {
      auto* member = RemoteMember(trip.Id);
      if (member && member->SubjectCode() == code) member->SetRoundTrip(trip.Milliseconds);
    }
  });
}

// Whoever owns the link logs the loss and the return, with the Redis address; while it lasts,
// the port answers Unavailable and the core refuses what it cannot decide alone.
void ServerCore::OnClusterLost(const std::string&) {}

void ServerCore::OnClusterBack() {
  Guarded([&] { Rebuild(); });
}

// ---- Rebuilding after the shared state returns

// Every step is one command on one connection, so Redis applies them in this order: ids first,
// then subjects and joins, then the loads that see them all.
void ServerCore::Rebuild() {
  for (const auto* guest : FGuests) {
    const auto hold = FClusterHolds.find(guest->Connection());
    if (hold == FClusterHolds.end()) continue;
    FCluster->ClaimId(hold->second.Code, hold->second.Id,
                      ClusterAnswer([this, id = hold->second.Id](TStatus status) {
                        if (status == TStatus::Taken) {
                          ClusterNote("Cluster: " + id + " is logged in on another node too");
                        }
                      }));
  }
  FCluster->OwnIds(ClusterAnswer([this](TStatus status, const std::vector<std::string>& ids) {
    if (status != TStatus::Done) return;
    for (const auto& id : ids) {
      const auto undropped = FUndropped.find(id);
      if (undropped == FUndropped.end() || FIdHolders.contains(id)) continue;
      FCluster->Drop(undropped->second, id, RememberUndropped(undropped->second, id));
      FUndropped.erase(undropped);
    }
  }));
  for (const auto& code : FRegistry.SubjectCodes()) {
    if (FOpenCodes.contains(code)) RebuildSubjects(code);
  }
}

// Only the lobby and subjects with guests of this node are made again: an empty one may have
// gone while the cluster was away.
void ServerCore::RebuildSubjects(const std::string& code) {
  for (const auto* subject : FRegistry.Subjects(code)) {
    const bool lobby = subject->Name() == FSettings.LobbyName;
    const auto local = std::find_if(subject->Members().begin(), subject->Members().end(),
                                    [](const TZorvaGuest* member) { return !member->IsRemote(); });
    if (!lobby && local == subject->Members().end()) continue;
    const TSubjectSettings settings{subject->MaxConnections(), subject->Persistent(),
                                    FCountedSubjects.contains(subject), !lobby};
    FCluster->CreateSubject(code, subject->Name(), settings, [](TStatus) {});
    for (const auto* member : subject->Members()) {
      if (member->IsRemote() || !FClusterHolds.contains(member->Connection())) continue;
      FCluster->Join(code, subject->Name(), MemberOf(*member), [](const TJoinResult&) {});
    }
  }
  LoadState(code, false, [](bool) {});
}

}  // namespace zorva
