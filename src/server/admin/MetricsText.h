// The daemon's figures in the Prometheus text exposition format (version 0.0.4), for
// GET /metrics. A snapshot is taken on the core's thread; the text is written anywhere.
//
//   const auto snapshot = TakeMetricsSnapshot(core, processStartUnix);  // core thread
//   response.Body = MetricsText(snapshot);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ClusterPort.h"
#include "ServerCore.h"

namespace zorva {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

struct TClusterFigures {
  std::string Node;
  bool RedisUp = false;
  std::int64_t Connections = 0;
  std::int64_t Subjects = 0;
};

struct TMetricsSnapshot {
  std::size_t Connections = 0;
  std::size_t Subjects = 0;
  std::size_t PendingLogins = 0;
  std::size_t OutputQueuedBytes = 0;
  TLifetimeCounters Counters;
  double ProcessStartUnix = 0;
  std::optional<TClusterFigures> Cluster;  // none for a single server
};

TMetricsSnapshot TakeMetricsSnapshot(const ServerCore& core, double processStartUnix,
                                     const IClusterPort* cluster = nullptr);
std::string MetricsText(const TMetricsSnapshot& snapshot);

}  // namespace zorva
