#include "MetricsText.h"

#include <array>
#include <charconv>
#include <string_view>

namespace zorva {

namespace {

std::string Number(double value) {
  std::array<char, 32> text{};
  const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
  return std::string(text.data(), end);
}

class TWriter {
 public:
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    Line("# HELP ", name, " ", help);
    Line("# TYPE ", name, " ", type);
  }
  void Sample(std::string_view name, double value, std::string_view labels = {}) {
    Line(name, labels.empty() ? "" : "{", labels, labels.empty() ? "" : "}", " ", Number(value));
  }
  void Single(std::string_view name, std::string_view type, std::string_view help, double value) {
    Family(name, type, help);
    Sample(name, value);
  }
  // Bounds and sum in milliseconds, written in seconds as the format expects.
  void Histogram(std::string_view name, std::string_view help, const THistogram& histogram) {
    Family(name, "histogram", help);
    const std::string bucket = std::string(name) + "_bucket";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < histogram.Bounds().size(); ++i) {
      cumulative += histogram.Counts()[i];
      Sample(bucket, static_cast<double>(cumulative),
             "le=\"" + Number(histogram.Bounds()[i] / 1000.0) + "\"");
    }
    cumulative += histogram.Counts().back();
    Sample(bucket, static_cast<double>(cumulative), "le=\"+Inf\"");
    Sample(std::string(name) + "_count", static_cast<double>(cumulative));
    Sample(std::string(name) + "_sum", histogram.Sum() / 1000.0);
  }
  std::string Text() && { return std::move(FText); }

 private:
  template <class... Parts>
  void Line(const Parts&... parts) {
    ((FText += parts), ...);
    FText += '\n';
  }
  std::string FText;
};

std::size_t SubjectCount(const ServerCore& core) {
  std::size_t count = 0;
  for (const auto& code : core.SubjectCodes()) count += core.Subjects(code).size();
  return count;
}

void WriteTraffic(TWriter& out, const TLifetimeCounters& counters) {
  out.Single("zorva_logins_total", "counter", "Logins accepted.", counters.Logins);
  out.Single("zorva_login_failures_total", "counter", "Logins refused or failed.",
             counters.FailedLogins);
  out.Single("zorva_lines_received_total", "counter", "Lines read from clients.",
             counters.LinesRead);
  out.Single("zorva_lines_sent_total", "counter", "Lines queued for clients.",
             counters.LinesWritten);
  out.Single("zorva_received_bytes_total", "counter", "Bytes read from clients.",
             counters.BytesRead);
  out.Single("zorva_sent_bytes_total", "counter", "Bytes queued for clients.",
             counters.BytesWritten);
  out.Family("zorva_drops_total", "counter", "Guests dropped, by reason.");
  for (std::size_t i = 0; i < kDropReasons; ++i) {
    out.Sample("zorva_drops_total", static_cast<double>(counters.Drops[i]),
               "reason=\"" + std::string(ReasonName(static_cast<TDropReason>(i))) + "\"");
  }
}

// A label value may hold any byte but these three, which the format escapes.
std::string LabelValue(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return escaped;
}

// Node-wide figures a scraper sums or compares across nodes: each node reports the cluster as
// it saw it at its last heartbeat.
void WriteCluster(TWriter& out, const TClusterFigures& cluster) {
  out.Family("zorva_cluster_node_info", "gauge", "This node's id in the cluster.");
  out.Sample("zorva_cluster_node_info", 1, "node=\"" + LabelValue(cluster.Node) + "\"");
  out.Single("zorva_cluster_up", "gauge", "1 while this node reaches the cluster's Redis.",
             cluster.RedisUp ? 1 : 0);
  out.Single("zorva_cluster_connections", "gauge",
             "Connections on every node, as their last heartbeats reported them.",
             static_cast<double>(cluster.Connections));
  out.Single("zorva_cluster_subjects", "gauge", "Client-created subjects in the whole cluster.",
             static_cast<double>(cluster.Subjects));
}

}  // namespace

TMetricsSnapshot TakeMetricsSnapshot(const ServerCore& core, double processStartUnix,
                                     const IClusterPort* cluster) {
  TMetricsSnapshot snapshot;
  snapshot.Connections = core.GuestCount();
  snapshot.Subjects = SubjectCount(core);
  snapshot.PendingLogins = core.PendingLogins();
  snapshot.OutputQueuedBytes = core.QueuedOutputBytes();
  snapshot.Counters = core.LifetimeCounters();
  snapshot.ProcessStartUnix = processStartUnix;
  if (cluster) {
    snapshot.Cluster = TClusterFigures{cluster->NodeId(), cluster->Available(),
                                       cluster->Stats().Connections, cluster->Stats().Subjects};
  }
  return snapshot;
}

std::string MetricsText(const TMetricsSnapshot& snapshot) {
  TWriter out;
  out.Single("zorva_connections", "gauge", "Connected guests, logged in or not.",
             static_cast<double>(snapshot.Connections));
  out.Single("zorva_subjects", "gauge", "Subjects now, lobbies included.",
             static_cast<double>(snapshot.Subjects));
  out.Single("zorva_pending_password_checks", "gauge", "Logins the user store is still deciding.",
             static_cast<double>(snapshot.PendingLogins));
  out.Single("zorva_output_queued_bytes", "gauge",
             "Output of all connections not yet taken by their sockets.",
             static_cast<double>(snapshot.OutputQueuedBytes));
  WriteTraffic(out, snapshot.Counters);
  out.Histogram("zorva_password_check_seconds", "Time from a login request to its decision.",
                snapshot.Counters.LoginDecisionMs);
  out.Histogram("zorva_ping_round_trip_seconds", "Time from a ping to its answer.",
                snapshot.Counters.RoundTripMs);
  if (snapshot.Cluster) WriteCluster(out, *snapshot.Cluster);
  out.Single("process_start_time_seconds", "gauge",
             "Start time of the process since unix epoch in seconds.", snapshot.ProcessStartUnix);
  return std::move(out).Text();
}

}  // namespace zorva
