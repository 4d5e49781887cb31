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
#include <vector>

#include "ClusterEvents.h"
#include "ClusterPort.h"
#include "RedisCommands.h"
#include "TextMap.h"

namespace zorva {

class ClusterLink : public IClusterPort, public IRedisListener {
 public:
  struct TOptions {
    std::string NodeId;  // must pass cluster::ValidNodeId
    std::uint32_t HeartbeatMs = 5000;
  };

  ClusterLink(IRedisCommands& redis, TOptions options);
  ~ClusterLink() override;
  ClusterLink(const ClusterLink&) = delete;
  ClusterLink& operator=(const ClusterLink&) = delete;

  void SetEvents(IClusterEvents* events) override { FEvents = events; }
  // A heartbeat lasts HeartbeatMs; renewing and reaping every half of it removes a dead node's
  // members at most 1.5 heartbeats after its last renewal.
  std::chrono::milliseconds TickPeriod() const {
    return std::chrono::milliseconds(FOptions.HeartbeatMs / 2);
  }
  const std::string& NodeId() const override { return FOptions.NodeId; }
  bool Available() const override { return FRedis.Up(); }

  void OpenCode(const std::string& code, TStateDone done) override;
  void LoadCode(const std::string& code, TStateDone done) override;
  void CloseCode(const std::string& code) override;
  void ClaimId(const std::string& code, const std::string& id, TDone done) override;
  void OwnIds(TIdsDone done) override;
  void ReleaseId(const std::string& code, const std::string& id, TDone done = {}) override;
  void CreateSubject(const std::string& code, const std::string& name,
                     const TSubjectSettings& settings, TDone done) override;
  void Join(const std::string& code, const std::string& subject, const TClusterMember& member,
            TJoinDone done) override;
  void Drop(const std::string& code, const std::string& id, TDone done = {}) override;
  void UpdateUser(const std::string& code, const std::string& id,
                  const std::string& userText) override;
  void RemoveSubject(const std::string& code, const std::string& subject, const std::string& lobby,
                     TDone done) override;
  void PublishLine(const std::string& code, std::string_view subject,
                   std::string_view line) override;
  void PublishGuestLine(const std::string& code, std::string_view id,
                        std::string_view line) override;
  void PublishRoundTrips(const std::string& code, const std::vector<TRoundTrip>& trips) override;
  const TClusterStats& Stats() const override { return FStats; }

  // Renews this node's heartbeat (with its connection count), then reaps nodes whose heartbeat
  // has run out; run it every TickPeriod(). `reaped` hears the nodes this call reaped.
  void Tick(std::int64_t connections, std::function<void(std::vector<std::string>)> reaped = {});

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
  TTextMap<std::string> FCodeOfChannel;
  TClusterStats FStats;
  // Once per run, at the first connection: ids an earlier run of this node left in Redis.
  bool FLeftoversForgotten = false;
  std::shared_ptr<bool> FAlive;  // callbacks that outlive the link find it false
};

}  // namespace zorva
