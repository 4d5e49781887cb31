#include "ClusterLink.h"

#include <charconv>
#include <utility>

#include "ClusterScripts.h"

namespace zorva {
namespace {

using TKind = TRedisReply::TKind;

int ToInt(const TRedisReply& reply) {
  if (reply.Kind == TKind::Integer) return static_cast<int>(reply.Integer);
  int value = 0;
  std::from_chars(reply.Text.data(), reply.Text.data() + reply.Text.size(), value);
  return value;
}

// Quadruples (id, node, rtt, text) from `first` on.
std::vector<TClusterMember> ToMembers(const std::vector<TRedisReply>& items, std::size_t first) {
  std::vector<TClusterMember> members;
  for (std::size_t i = first; i + 3 < items.size(); i += 4)
    members.push_back({items[i].Text, items[i + 1].Text, ToInt(items[i + 2]), items[i + 3].Text});
  return members;
}

bool ToSubject(const TRedisReply& item, TClusterSubject& subject) {
  const auto& fields = item.Elements;
  if (item.Kind != TKind::Array || fields.size() != 5) return false;
  subject = {.Name = fields[0].Text,
             .MaxMembers = ToInt(fields[1]),
             .Persistent = fields[2].Text == "1",
             .Full = fields[3].Text == "1",
             .Members = ToMembers(fields[4].Elements, 0)};
  return true;
}

TJoinResult ToJoinResult(const TRedisReply& reply) {
  TJoinResult result;
  if (reply.Kind != TKind::Array || reply.Elements.empty()) return result;
  const auto& items = reply.Elements;
  const auto& outcome = items[0].Text;
  if (outcome == "nosubject") result.Status = TClusterStatus::NoSubject;
  if (outcome == "full") result.Status = TClusterStatus::Full;
  if (outcome == "same") result.Status = TClusterStatus::Same;
  if (outcome != "joined" || items.size() < 4) return result;
  result.Status = TClusterStatus::Done;
  result.Full = items[1].Text == "1";
  const auto& left = items[2].Text;
  result.Left = left == "R"   ? TJoinResult::TLeft::RemovedSubject
                : left == "G" ? TJoinResult::TLeft::Left
                              : TJoinResult::TLeft::Nothing;
  result.LeftSubject = items[3].Text;
  result.Members = ToMembers(items, 4);
  return result;
}

// 1 → Done, 0 → `refused`, anything else (an error, a lost connection) → Unavailable.
TClusterStatus ToStatus(const TRedisReply& reply, TClusterStatus refused) {
  if (reply.Kind != TKind::Integer) return TClusterStatus::Unavailable;
  return reply.Integer == 1 ? TClusterStatus::Done : refused;
}

// For operations that cannot be refused: Done once Redis has applied them.
TRedisCallback Finished(ClusterLink::TDone done) {
  if (!done) return {};
  return [done = std::move(done)](const TRedisReply& reply) {
    done(reply.IsError() ? TClusterStatus::Unavailable : TClusterStatus::Done);
  };
}

}  // namespace

ClusterLink::ClusterLink(IRedisCommands& redis, TOptions options)
    : FRedis(redis), FOptions(std::move(options)), FAlive(std::make_shared<bool>(true)) {
  FRedis.SetListener(this);
}

ClusterLink::~ClusterLink() {
  FRedis.SetListener(nullptr);
}

void ClusterLink::Eval(std::string_view script, std::vector<std::string> args,
                       TRedisCallback done) {
  args.insert(args.begin(), {"EVAL", std::string(script), "0"});
  FRedis.Command(std::move(args), [alive = std::weak_ptr<bool>(FAlive),
                                   done = std::move(done)](const TRedisReply& reply) {
    if (!alive.expired() && done) done(reply);
  });
}

void ClusterLink::OpenCode(const std::string& code, TStateDone done) {
  const auto channel = cluster::Channel(code);
  FCodeOfChannel[channel] = code;
  FRedis.Subscribe(
      channel, [this, alive = std::weak_ptr<bool>(FAlive), code, done = std::move(done)]() mutable {
        if (!alive.expired()) LoadCode(code, std::move(done));
      });
}

void ClusterLink::LoadCode(const std::string& code, TStateDone done) {
  Eval(cluster::script::Load, {cluster::CodePrefix(code)},
       [done = std::move(done)](const TRedisReply& reply) {
         std::vector<TClusterSubject> subjects;
         if (reply.Kind != TKind::Array) return done(TClusterStatus::Unavailable, subjects);
         for (const auto& item : reply.Elements)
           if (!ToSubject(item, subjects.emplace_back())) subjects.pop_back();
         done(TClusterStatus::Done, subjects);
       });
}

void ClusterLink::CloseCode(const std::string& code) {
  const auto channel = cluster::Channel(code);
  FCodeOfChannel.erase(channel);
  FRedis.Unsubscribe(channel);
}

void ClusterLink::ClaimId(const std::string& code, const std::string& id, TDone done) {
  Eval(cluster::script::Claim, {id, FOptions.NodeId, cluster::CodePrefix(code)},
       [done = std::move(done)](const TRedisReply& reply) {
         done(ToStatus(reply, TClusterStatus::Taken));
       });
}

void ClusterLink::OwnIds(TIdsDone done) {
  FRedis.Command(
      {"SMEMBERS", cluster::NodeIdsKey(FOptions.NodeId)},
      [alive = std::weak_ptr<bool>(FAlive), done = std::move(done)](const TRedisReply& reply) {
        if (alive.expired()) return;
        std::vector<std::string> ids;
        for (const auto& id : reply.Elements) ids.push_back(id.Text);
        done(reply.IsError() ? TClusterStatus::Unavailable : TClusterStatus::Done, std::move(ids));
      });
}

void ClusterLink::ReleaseId(const std::string& code, const std::string& id, TDone done) {
  Eval(cluster::script::Release, {id, FOptions.NodeId, cluster::CodePrefix(code)},
       Finished(std::move(done)));
}

void ClusterLink::CreateSubject(const std::string& code, const std::string& name,
                                const TSubjectSettings& settings, TDone done) {
  const auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
  Eval(cluster::script::Create,
       {cluster::CodePrefix(code), FOptions.NodeId, name, std::to_string(settings.MaxMembers),
        flag(settings.Persistent), flag(settings.ClientCreated), flag(settings.Announce)},
       [done = std::move(done)](const TRedisReply& reply) {
         done(ToStatus(reply, TClusterStatus::Exists));
       });
}

void ClusterLink::Join(const std::string& code, const std::string& subject,
                       const TClusterMember& member, TJoinDone done) {
  Eval(cluster::script::Join,
       {cluster::CodePrefix(code), FOptions.NodeId, subject, member.Id, member.UserText,
        std::to_string(member.RoundTrip)},
       [done = std::move(done)](const TRedisReply& reply) { done(ToJoinResult(reply)); });
}

void ClusterLink::Drop(const std::string& code, const std::string& id, TDone done) {
  Eval(cluster::script::Drop, {cluster::CodePrefix(code), FOptions.NodeId, id},
       Finished(std::move(done)));
}

void ClusterLink::UpdateUser(const std::string& code, const std::string& id,
                             const std::string& userText) {
  Eval(cluster::script::Update, {cluster::CodePrefix(code), FOptions.NodeId, id, userText}, {});
}

void ClusterLink::RemoveSubject(const std::string& code, const std::string& subject,
                                const std::string& lobby, TDone done) {
  Eval(cluster::script::Remove, {cluster::CodePrefix(code), subject, lobby},
       [done = std::move(done)](const TRedisReply& reply) {
         done(ToStatus(reply, TClusterStatus::NoSubject));
       });
}

void ClusterLink::PublishLine(const std::string& code, std::string_view subject,
                              std::string_view line) {
  FRedis.Command({"PUBLISH", cluster::Channel(code), EncodeLine(FOptions.NodeId, subject, line)},
                 {});
}

void ClusterLink::PublishGuestLine(const std::string& code, std::string_view id,
                                   std::string_view line) {
  FRedis.Command({"PUBLISH", cluster::Channel(code), EncodeGuestLine(FOptions.NodeId, id, line)},
                 {});
}

void ClusterLink::PublishRoundTrips(const std::string& code, const std::vector<TRoundTrip>& trips) {
  std::vector<std::string> args{cluster::CodePrefix(code), FOptions.NodeId};
  for (const auto& trip : trips) {
    args.emplace_back(trip.Id);
    args.push_back(std::to_string(trip.Milliseconds));
  }
  Eval(cluster::script::RoundTrips, std::move(args), {});
}

void ClusterLink::Tick(std::int64_t connections,
                       std::function<void(std::vector<std::string>)> reaped) {
  Eval(cluster::script::Heartbeat,
       {FOptions.NodeId, std::to_string(FOptions.HeartbeatMs), std::to_string(connections)},
       [this](const TRedisReply& reply) {
         if (reply.Kind != TKind::Array || reply.Elements.size() != 2) return;
         FStats = {.Connections = reply.Elements[0].Integer, .Subjects = reply.Elements[1].Integer};
       });
  Eval(cluster::script::Reap, {FOptions.NodeId},
       [reaped = std::move(reaped)](const TRedisReply& reply) {
         if (!reaped || reply.Kind != TKind::Array) return;
         std::vector<std::string> nodes;
         for (const auto& node : reply.Elements) nodes.push_back(node.Text);
         reaped(std::move(nodes));
       });
}

void ClusterLink::OnRedisUp() {
  // Sent ahead of anything the core asks on this connection, so Redis applies it first.
  if (!FLeftoversForgotten) {
    FLeftoversForgotten = true;
    // Failed, it is sent again with the next connection; the core's rebuild then claims and
    // joins its guests again after it.
    Eval(cluster::script::ForgetLeftovers, {FOptions.NodeId}, [this](const TRedisReply& reply) {
      if (reply.IsError()) FLeftoversForgotten = false;
    });
  }
  if (FEvents != nullptr) FEvents->OnClusterBack();
}

void ClusterLink::OnRedisDown(const std::string& reason) {
  if (FEvents != nullptr) FEvents->OnClusterLost(reason);
}

void ClusterLink::OnRedisMessage(std::string_view channel, std::string_view payload) {
  const auto code = FCodeOfChannel.find(channel);
  TClusterEvent event;
  if (code == FCodeOfChannel.end() || FEvents == nullptr || !DecodeEvent(payload, event)) return;
  if (event.Origin == FOptions.NodeId) return;
  Deliver(code->second, event);
}

void ClusterLink::Deliver(std::string_view code, const TClusterEvent& event) {
  using K = TClusterEvent::TKind;
  switch (event.Kind) {
    case K::Line:
      return FEvents->OnRemoteLine(code, event.Subject, event.Text);
    case K::GuestLine:
      return FEvents->OnRemoteGuestLine(code, event.Id, event.Text);
    case K::SubjectAdded:
      return FEvents->OnRemoteSubjectAdded(code, event.Subject);
    case K::SubjectRemoved:
      return FEvents->OnRemoteSubjectRemoved(code, event.Subject);
    case K::MemberJoined:
      return FEvents->OnRemoteMemberJoined(
          code, event.Subject, {event.Origin, event.Id, event.Text, event.RoundTrip, event.Full});
    case K::MemberLeft:
      return FEvents->OnRemoteMemberLeft(code, event.Subject, event.Id);
    case K::UserUpdated:
      return FEvents->OnRemoteUserUpdated(code, event.Subject, event.Id, event.Text);
    case K::RoundTrips:
      return FEvents->OnRemoteRoundTrips(code, event.RoundTrips);
  }
}

}  // namespace zorva
