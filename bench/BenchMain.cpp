// zorva-bench: a one-thread load generator that measures the Zorva daemon and Redis pub/sub
// with the same code. Prints one line of key=value results on standard output.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "LoadRun.h"
#include "RedisDialect.h"
#include "StallRuns.h"
#include "ZorvaDialect.h"
#include "ZorvaVersion.h"

namespace zorva {
namespace {

void AddOptions(CLI::App& app, TBenchOptions& options) {
  const std::map<std::string, TBenchTarget> targets{{"zorva", TBenchTarget::Zorva},
                                                    {"redis", TBenchTarget::Redis}};
  const std::map<std::string, TBenchMode> modes{{"throughput", TBenchMode::Throughput},
                                                {"latency", TBenchMode::Latency},
                                                {"idle", TBenchMode::Idle},
                                                {"lobby", TBenchMode::Lobby},
                                                {"guessing", TBenchMode::Guessing},
                                                {"chat", TBenchMode::Chat}};
  app.add_option("--target", options.Target, "Server kind: zorva or redis")
      ->transform(CLI::CheckedTransformer(targets));
  app.add_option("--mode", options.Mode, "throughput, latency, idle, lobby, guessing or chat")
      ->transform(CLI::CheckedTransformer(modes));
  app.add_option("--host", options.Host, "Server address");
  app.add_option("--port", options.Port, "Server port")->required();
  app.add_option("--server-pid", options.ServerPid,
                 "Server process id, for its CPU time and memory from /proc");
  app.add_option("--second-port", options.SecondPort,
                 "A second node's port: every other member connects there (Zorva cluster)");
  app.add_option("--more-pids", options.MorePids,
                 "Comma-separated process ids counted with the server's (other nodes, Redis)")
      ->delimiter(',');
  app.add_flag("--tls", options.Tls, "Speak TLS to the port (Zorva's TLS port)");
  app.add_option("--subjects,-R", options.Subjects, "Subjects (Redis: channels)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--members,-M", options.Members,
                 "Receiving members per subject (idle: connections per subject code)")
      ->check(CLI::Range(2, 100000));
  app.add_option("--publishers,-P", options.Publishers, "Publishers per subject, 0 = all members")
      ->check(CLI::Range(0, 100000));
  app.add_option("--window,-W", options.Window, "Lines in flight per publisher (throughput)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--payload", options.PayloadBytes, "Payload bytes per line (throughput)")
      ->check(CLI::Range(1, 60000));
  app.add_option("--rate", options.Rate, "Deliveries per second in total (latency)")
      ->check(CLI::Range(1.0, 1e8));
  app.add_option("--connections,-C", options.Connections, "Connections (idle)")
      ->check(CLI::Range(1, 1000000));
  app.add_option("--attempts", options.Attempts, "Wrong passwords (guessing)")
      ->check(CLI::Range(1, 1000000));
  app.add_option("--warmup-ms", options.WarmupMs, "Load before the window (idle: settle time)")
      ->check(CLI::Range(0, 600000));
  app.add_option("--measure-ms", options.MeasureMs, "Measured window")
      ->check(CLI::Range(100, 600000));
  app.add_option("--setup-timeout-ms", options.SetupTimeoutMs, "Limit for connecting everyone")
      ->check(CLI::Range(100, 600000));
  app.add_option("--max-connecting", options.MaxConnecting, "Connections set up at once")
      ->check(CLI::Range(1, 100000));

  app.add_flag("--websocket", options.WebSocket,
               "Speak WebSocket (text messages at /zorva) to --port, the daemon's --ws-port");
}

std::unique_ptr<IBenchDialect> MakeDialect(TBenchTarget target) {
  if (target == TBenchTarget::Redis) return std::make_unique<TRedisDialect>();
  return std::make_unique<TZorvaDialect>();
}

// The modes that look for one client stalling others print their own line.
bool RunStallMode(const TBenchOptions& options, bool& ok) {
  std::string result;
  std::string error;
  switch (options.Mode) {
    case TBenchMode::Lobby:
      ok = RunLobby(options, result, error);
      break;
    case TBenchMode::Guessing:
      ok = RunGuessing(options, result, error);
      break;
    case TBenchMode::Chat:
      ok = RunChatPair(options, result, error);
      break;
    default:
      return false;
  }
  if (ok) std::cout << "target=zorva " << result << std::endl;
  if (!ok) std::cerr << "zorva-bench: " << error << '\n';
  return true;
}

void PrintReport(const TBenchOptions& options, const TBenchReport& report) {
  std::ostringstream out;
  out.precision(4);
  out << std::fixed;
  out << "target=" << (options.Target == TBenchTarget::Redis ? "redis" : "zorva")
      << (options.Tls ? " tls=1" : "") << " connections=" << report.Connections
      << " setup_s=" << report.SetupSeconds;
  const auto optional = [&out](const char* key, const auto& value) {
    if (value) out << ' ' << key << '=' << *value;
  };
  if (options.Mode == TBenchMode::Idle) {
    out << " mode=idle";
    optional("server_rss_before", report.ServerRssBefore);
    optional("server_rss_after", report.ServerRssAfter);
    optional("rss_per_conn_bytes", report.ServerRssPerConnection);
  } else {
    out << " mode=" << (options.Mode == TBenchMode::Latency ? "latency" : "throughput")
        << " subjects=" << options.Subjects << " members=" << options.Members
        << " window_s=" << report.WindowSeconds << " deliveries=" << report.Deliveries
        << " deliveries_per_s=" << report.DeliveriesPerSecond
        << " sent_per_s=" << report.SentPerSecond;
    optional("server_cpu_s", report.ServerCpuSeconds);
    optional("server_us_per_delivery", report.ServerMicrosPerDelivery);
    optional("generator_cpu_s", report.GeneratorCpuSeconds);
  }
  if (options.Mode == TBenchMode::Latency) {
    out << " samples=" << report.Samples << " p50_us=" << report.P50Micros
        << " p99_us=" << report.P99Micros << " p999_us=" << report.P999Micros;
  }
  std::cout << out.str() << std::endl;
}

}  // namespace
}  // namespace zorva

int main(int argc, char** argv) {
  zorva::TBenchOptions options;
  CLI::App app{
      "zorva-bench: load generator for the Zorva daemon and Redis pub/sub (one thread). Sets up "
      "R subjects of M members, then measures delivered lines per second (throughput), delivery "
      "latency at a fixed rate (latency) or the server's memory per idle connection (idle)."};
  zorva::AddOptions(app, options);
  app.set_version_flag("--version", zorva::VersionText("zorva-bench"));
  CLI11_PARSE(app, argc, argv);

  try {
    if (bool ok = false; zorva::RunStallMode(options, ok)) return ok ? 0 : 1;
    auto dialect = zorva::MakeDialect(options.Target);
    zorva::TLoadRun run(options, *dialect);
    zorva::TBenchReport report;
    std::string error;
    if (!run.Run(report, error)) {
      std::cerr << "zorva-bench: " << error << '\n';
      return 1;
    }
    zorva::PrintReport(options, report);
  } catch (const std::exception& failure) {
    std::cerr << "zorva-bench: " << failure.what() << '\n';
    return 1;
  }
  return 0;
}
