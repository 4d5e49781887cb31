// ClusterLink: what the server core calls to share its lobbies and subjects with the other
// nodes, and the events it hears from them. Every operation is one script or publish on the
// command connection and answers through its callback, on a later turn of the loop, never
// inside the call; while Redis is unavailable the answer is TClusterStatus::Unavailable.
// The link itself keeps no copy of the shared state: the core's subjects hold the remote
// members it learns from the answers and the events.
//
//   RedisClient redis(io, {.Address = address});
//   ClusterLink link(redis, {.NodeId = "a"});
//   link.SetEvents(&clusterEvents);
//   redis.Start();
//   link.OpenCode("Game", [](TClusterStatus, const std::vector<TClusterSubject>& state) {...});
//   link.Join("Game", "Lobby Chat", {"alice", userText, 0}, [](const TJoinResult& r) {...});
//   link.PublishLine("Game", "Lobby Chat", "SEND|alice|CHAT|hello");
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ClusterEvents.h"
#include "RedisCommands.h"

namespace zorva {

enum class TClusterStatus {
  Done,
  Taken,        // ClaimId: another node holds the id
  Exists,       // CreateSubject: the name is in use in the code
  NoSubject,    // Join, RemoveSubject
  Full,         // Join
  Same,         // Join: the member is in that subject already
  Unavailable,  // Redis could not be asked, or answered with an error
};

struct TClusterMember {
  std::string Id{};
  std::string Node{};
  int RoundTrip = 0;
  std::string UserText{};
};

struct TClusterSubject {
  std::string Name;
  int MaxMembers = 0;
  bool Persistent = false;
  bool Full = false;
  std::vector<TClusterMember> Members;  // in joining order
};

struct TSubjectSettings {
  int MaxMembers = 0;
  bool Persistent = false;
  bool ClientCreated = false;  // counted in the cluster's current subjects
  bool Announce = true;        // publish the creation (lobbies are created silently)
};

struct TJoinResult {
  TClusterStatus Status = TClusterStatus::Unavailable;
  bool Full = false;  // this join filled the subject
  enum class TLeft { Nothing, Left, RemovedSubject } Left = TLeft::Nothing;
  std::string LeftSubject;
  std::vector<TClusterMember> Members;  // in joining order, the joining member last
};

struct TClusterStats {
  std::int64_t Connections = 0;  // summed from every node's last heartbeat
  std::int64_t Subjects = 0;     // client-created subjects that exist in the cluster
};

// What the core hears from the other nodes; the code is the one whose channel carried it.
class IClusterEvents {
 public:
  virtual ~IClusterEvents() = default;
  virtual void OnRemoteLine(std::string_view code, std::string_view subject,
                            std::string_view line) = 0;
  virtual void OnRemoteGuestLine(std::string_view code, std::string_view id,
                                 std::string_view line) = 0;
  virtual void OnRemoteSubjectAdded(std::string_view code, std::string_view subject) = 0;
  virtual void OnRemoteSubjectRemoved(std::string_view code, std::string_view subject) = 0;
  virtual void OnRemoteMemberJoined(std::string_view code, std::string_view subject,
                                    const TClusterEvent& joined) = 0;
  virtual void OnRemoteMemberLeft(std::string_view code, std::string_view subject,
                                  std::string_view id) = 0;
  virtual void OnRemoteUserUpdated(std::string_view code, std::string_view subject,
                                   std::string_view id, std::string_view userText) = 0;
  virtual void OnRemoteRoundTrips(std::string_view code, const std::vector<TRoundTrip>& trips) = 0;
  // Cluster-wide operations answer Unavailable from now until OnClusterBack.
  virtual void OnClusterLost(const std::string& reason) = 0;
  // Redis is usable again and every open code's channel is subscribed: time to rebuild.
  virtual void OnClusterBack() = 0;
};

class ClusterLink : public IRedisListener {
 public:
  struct TOptions {
    std::string NodeId;  // must pass cluster::ValidNodeId
    std::uint32_t HeartbeatMs = 5000;
  };
  using TDone = std::function<void(TClusterStatus)>;
  using TJoinDone = std::function<void(const TJoinResult&)>;
  using TStateDone = std::function<void(TClusterStatus, const std::vector<TClusterSubject>&)>;

  ClusterLink(IRedisCommands& redis, TOptions options);
  ~ClusterLink() override;
  ClusterLink(const ClusterLink&) = delete;
  ClusterLink& operator=(const ClusterLink&) = delete;

  void SetEvents(IClusterEvents* events) { FEvents = events; }
  // A heartbeat lasts HeartbeatMs; renewing and reaping every half of it removes a dead node's
  // members at most 1.5 heartbeats after its last renewal.
  std::chrono::milliseconds TickPeriod() const {
    return std::chrono::milliseconds(FOptions.HeartbeatMs / 2);
  }
  const std::string& NodeId() const { return FOptions.NodeId; }
  bool Available() const { return FRedis.Up(); }

  // Subscribes to the code's channel, then loads its state: events after the state are heard.
  void OpenCode(const std::string& code, TStateDone done);
  void LoadCode(const std::string& code, TStateDone done);
  void CloseCode(const std::string& code);

  void ClaimId(const std::string& code, const std::string& id, TDone done);
  // The ids Redis holds for this node; after Redis returns, those that are no longer guests
  // here (dropped while Redis was away) are to be dropped.
  void OwnIds(std::function<void(TClusterStatus, std::vector<std::string>)> done);
  void ReleaseId(const std::string& code, const std::string& id, TDone done = {});
  void CreateSubject(const std::string& code, const std::string& name,
                     const TSubjectSettings& settings, TDone done);
  // `member.Node` is ignored: a node joins its own guests.
  void Join(const std::string& code, const std::string& subject, const TClusterMember& member,
            TJoinDone done);
  void Drop(const std::string& code, const std::string& id, TDone done = {});
  void UpdateUser(const std::string& code, const std::string& id, const std::string& userText);
  // The operator's delete: members move to `lobby`, the subject goes with the last of them.
  void RemoveSubject(const std::string& code, const std::string& subject, const std::string& lobby,
                     TDone done);

  // One publish; the sender's local members have had the line already.
  void PublishLine(const std::string& code, std::string_view subject, std::string_view line);
  void PublishGuestLine(const std::string& code, std::string_view id, std::string_view line);
  void PublishRoundTrips(const std::string& code, const std::vector<TRoundTrip>& trips);

  // Renews this node's heartbeat (with its connection count), then reaps nodes whose heartbeat
  // has run out; run it every TickPeriod(). `reaped` hears the nodes this call reaped.
  void Tick(std::int64_t connections, std::function<void(std::vector<std::string>)> reaped = {});
  // The figures of the last heartbeat.
  const TClusterStats& Stats() const { return FStats; }

  void OnRedisUp() override;
  void OnRedisDown(const std::string& reason) override;
  void OnRedisMessage(std::string_view channel, std::string_view payload) override;

 private:
  void Eval(std::string_view script, std::vector<std::string> args, TRedisCallback done);
  void Deliver(std::string_view code, const TClusterEvent& event);

  IRedisCommands& FRedis;
  const TOptions FOptions;
  IClusterEvents* FEvents = nullptr;
  // Looked up once per message, by the channel's view, without building a string.
  struct TViewHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_map<std::string, std::string, TViewHash, std::equal_to<>> FCodeOfChannel;
  TClusterStats FStats;
  std::shared_ptr<bool> FAlive;  // callbacks that outlive the link find it false
};

}  // namespace zorva
