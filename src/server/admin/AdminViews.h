// The admin API's read-only views of the core as JSON: the statistics record, the guests and the
// subjects. Each reads core state, so it runs on the core's thread.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "ClusterPort.h"
#include "ServerCore.h"

namespace zorva {

// Turns the core's monotonic milliseconds into wall-clock seconds since 1970.
struct TTimeBase {
  std::uint64_t NowMs = 0;
  double UnixNow = 0;
  double UnixAt(std::uint64_t ms) const {
    return UnixNow - static_cast<double>(NowMs - ms) / 1000.0;
  }
};

// With a cluster, also this node's id and the cluster's figures from its last heartbeat.
nlohmann::json StatsView(ServerCore& core, const IClusterPort* cluster = nullptr);
// Every guest in order of arrival; with `code`, the logged-in guests of that subject code only.
// In a cluster each carries this node's id, and the members of other nodes follow, subject by
// subject, with their node's id and without what only their node knows (connection, address).
nlohmann::json UsersView(const ServerCore& core, const TTimeBase& time,
                         const std::optional<std::string>& code,
                         const IClusterPort* cluster = nullptr);
nlohmann::json SubjectsView(const ServerCore& core);

// "2026-12-09T00:46:43Z".
std::string IsoTime(double unixSeconds);

}  // namespace zorva
