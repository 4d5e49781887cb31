// TClusterNode: the daemon's place in a cluster — its two Redis connections, the link the core
// asks and the heartbeat that keeps the node alive in the others' eyes, all on the daemon's
// io_context. Built only with --cluster; it attaches itself to the core and detaches before it
// goes, so declare it after the core.
//
//   TClusterNode node(io, options.Cluster, nodeId, core, log);
//   node.Start();  // a Redis that is down only delays: the link reconnects on its own
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ClusterLink.h"
#include "ClusterTicker.h"
#include "EventLogger.h"
#include "RedisClient.h"
#include "ServerCore.h"
#include "ServerOptions.h"

namespace zorva {

// Stands between the Redis client and the link to log Redis lost and back, with the reason.
class TClusterNode : private IRedisListener {
 public:
  TClusterNode(asio::io_context& io, const TClusterOptions& options, const std::string& nodeId,
               ServerCore& core, EventLogger& log);
  ~TClusterNode() override;
  TClusterNode(const TClusterNode&) = delete;
  TClusterNode& operator=(const TClusterNode&) = delete;

  ClusterLink& Link() { return FLink; }
  const ClusterLink& Link() const { return FLink; }
  void Start();
  // Stops the heartbeat and calls `done` once Redis has applied every command sent so far (the
  // drops of the guests that just left), or after `limit` when Redis does not answer.
  void Finish(std::chrono::milliseconds limit, std::function<void()> done);

 private:
  void Tick();
  void OnRedisUp() override;
  void OnRedisDown(const std::string& reason) override;
  void OnRedisMessage(std::string_view channel, std::string_view payload) override {
    FLink.OnRedisMessage(channel, payload);
  }

  EventLogger& FLog;
  const std::string FRedisText;
  ServerCore& FCore;
  RedisClient FRedis;
  ClusterLink FLink;
  ClusterTicker FTicker;
  asio::steady_timer FFinishLimit;
};

}  // namespace zorva
