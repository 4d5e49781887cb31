#include "AdminViews.h"

#include <ctime>
#include <map>

namespace zorva {

namespace {

using nlohmann::json;

json ConnectionsPerCode(const ServerCore& core) {
  std::map<std::string, int> counts;
  for (const auto* guest : core.Guests()) {
    if (guest->LoggedIn()) ++counts[guest->SubjectCode()];
  }
  json perCode = json::object();
  for (const auto& [code, count] : counts) perCode[code] = count;
  return perCode;
}

json IdOf(const TZorvaGuest& guest) {
  return guest.User() ? json(guest.User()->Id()) : json(nullptr);
}

json UserView(const TZorvaGuest& guest, const TTimeBase& time, const json& node) {
  const auto* subject = guest.Subject();
  return {
      {"id", IdOf(guest)},
      {"node", node},
      {"connection", guest.Connection()},
      {"code", guest.LoggedIn() ? json(guest.SubjectCode()) : json(nullptr)},
      {"subject", subject ? json(subject->Name()) : json(nullptr)},
      {"address", guest.RemoteAddress()},
      {"round_trip_ms", guest.RoundTrip()},
      {"connected_since", IsoTime(time.UnixAt(guest.ConnectedMs()))},
  };
}

json RemoteMemberView(const TZorvaGuest& member, const TZorvaSubject& subject) {
  return {
      {"id", IdOf(member)},
      {"node", member.Node()},
      {"connection", nullptr},
      {"code", subject.SubjectCode()},
      {"subject", subject.Name()},
      {"address", nullptr},
      {"round_trip_ms", member.RoundTrip()},
      {"connected_since", nullptr},
  };
}

void AddRemoteMembers(const ServerCore& core, const std::string& code, json& users) {
  for (const auto* subject : core.Subjects(code)) {
    for (const auto* member : subject->Members()) {
      if (member->IsRemote()) users.push_back(RemoteMemberView(*member, *subject));
    }
  }
}

json SubjectView(const TZorvaSubject& subject) {
  json members = json::array();
  for (const auto* member : subject.Members()) {
    if (member->User()) members.push_back(member->User()->Id());
  }
  return {{"code", subject.SubjectCode()},
          {"name", subject.Name()},
          {"limit", subject.MaxConnections()},
          {"persistent", subject.Persistent()},
          {"members", std::move(members)}};
}

}  // namespace

json StatsView(ServerCore& core, const IClusterPort* cluster) {
  const auto& stats = core.UpdateServerStats();
  json view = {
      {"running", core.Running()},
      {"seconds_active", stats.SecondsActive()},
      {"time_active", stats.GetTimeActiveDesc()},
      {"current_connections", stats.CurrentConnections()},
      {"peak_connections", stats.PeakClientsConnected()},
      {"total_connections", stats.TotalConnections()},
      {"current_subjects", stats.CurrentSubjects()},
      {"total_subjects_created", stats.TotalSubjectsCreated()},
      {"bytes_read", static_cast<std::uint64_t>(stats.BytesRead())},
      {"bytes_written", static_cast<std::uint64_t>(stats.BytesWritten())},
      {"staging", core.StagingGuests().size()},
      {"connections_per_code", ConnectionsPerCode(core)},
  };
  if (cluster) {
    view["node"] = cluster->NodeId();
    view["cluster_redis_up"] = cluster->Available();
    view["cluster_connections"] = cluster->Stats().Connections;
    view["cluster_subjects"] = cluster->Stats().Subjects;
  }
  return view;
}

json UsersView(const ServerCore& core, const TTimeBase& time,
               const std::optional<std::string>& code, const IClusterPort* cluster) {
  const json node = cluster ? json(cluster->NodeId()) : json(nullptr);
  json users = json::array();
  for (const auto* guest : core.Guests()) {
    if (code && (!guest->LoggedIn() || guest->SubjectCode() != *code)) continue;
    users.push_back(UserView(*guest, time, node));
  }
  if (!cluster) return users;
  for (const auto& each : code ? std::vector<std::string>{*code} : core.SubjectCodes()) {
    AddRemoteMembers(core, each, users);
  }
  return users;
}

json SubjectsView(const ServerCore& core) {
  json subjects = json::array();
  for (const auto& code : core.SubjectCodes()) {
    for (const auto* subject : core.Subjects(code)) subjects.push_back(SubjectView(*subject));
  }
  return subjects;
}

std::string IsoTime(double unixSeconds) {
  const auto seconds = static_cast<std::time_t>(unixSeconds);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace zorva
