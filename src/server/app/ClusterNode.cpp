#include "ClusterNode.h"

#include <memory>
#include <utility>

namespace zorva {

namespace {

std::string AddressText(const TRedisAddress& address) {
  return address.Host + ":" + std::to_string(address.Port) + "/" + std::to_string(address.Database);
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

}  // namespace

TClusterNode::TClusterNode(asio::io_context& io, const TClusterOptions& options,
                           const std::string& nodeId, ServerCore& core, EventLogger& log)
    : FLog(log),
      FRedisText(AddressText(*options.Redis)),
      FCore(core),
      FRedis(io, {.Address = *options.Redis}),
      FLink(FRedis, {.NodeId = nodeId, .HeartbeatMs = options.HeartbeatMs}),
      FTicker(io, FLink.TickPeriod(), [this] { Tick(); }),
      FFinishLimit(io) {
  FRedis.SetListener(this);
  FCore.SetCluster(&FLink);
}

TClusterNode::~TClusterNode() {
  FCore.SetCluster(nullptr);
}

void TClusterNode::Start() {
  FLog.Log(spdlog::level::info, "cluster_start",
           {{"node", FLink.NodeId()},
            {"redis", FRedisText},
            {"heartbeat_ms", std::to_string(FLink.TickPeriod().count() * 2)}});
  FRedis.Start();
  FTicker.Start();
}

// One connection answers in order: the PING's answer comes after every earlier command's.
void TClusterNode::Finish(std::chrono::milliseconds limit, std::function<void()> done) {
  FTicker.Stop();
  auto once = std::make_shared<std::function<void()>>(std::move(done));
  auto finish = [once] {
    if (*once) std::exchange(*once, {})();
  };
  FFinishLimit.expires_after(limit);
  FFinishLimit.async_wait([finish](const std::error_code&) { finish(); });
  FRedis.Command({"PING"}, [finish](const TRedisReply&) { finish(); });
}

void TClusterNode::Tick() {
  FLink.Tick(static_cast<std::int64_t>(FCore.GuestCount()),
             [this](const std::vector<std::string>& reaped) {
               if (reaped.empty()) return;
               FLog.Log(spdlog::level::warn, "cluster_nodes_reaped", {{"nodes", Joined(reaped)}});
             });
}

// The heartbeat goes first on the command connection, ahead of the claims the core makes when it
// hears Redis is back: no id of this node is in Redis before the node is, so a node that dies
// right after is still reaped.
void TClusterNode::OnRedisUp() {
  FLog.Log(spdlog::level::info, "cluster_redis_up", {{"redis", FRedisText}});
  Tick();
  FLink.OnRedisUp();
}

// The client tells each loss once, however long Redis stays away.
void TClusterNode::OnRedisDown(const std::string& reason) {
  FLog.Log(spdlog::level::warn, "cluster_redis_down", {{"redis", FRedisText}, {"reason", reason}});
  FLink.OnRedisDown(reason);
}

}  // namespace zorva
