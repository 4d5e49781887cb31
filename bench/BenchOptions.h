// What one run of zorva-bench measures and against whom; filled from the command line by
// BenchMain and read by TLoadRun.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorva {

enum class TBenchTarget { Zorva, Redis };
enum class TBenchMode { Throughput, Latency, Idle, Lobby, Guessing, Chat };

struct TBenchOptions {
  TBenchTarget Target = TBenchTarget::Zorva;
  TBenchMode Mode = TBenchMode::Throughput;
  std::string Host = "127.0.0.1";
  std::uint16_t Port = 4000;
  // The server's process id, for its CPU time and resident memory from /proc; 0: not reported.
  int ServerPid = 0;
  // A second node of a cluster: every other member connects to it, so that each subject's
  // members are spread over two daemons. 0: one server only.
  std::uint16_t SecondPort = 0;
  // Further processes the server's CPU time and memory include (the other node, Redis).
  std::vector<int> MorePids;
  bool Tls = false;  // the port speaks TLS (Zorva only)

  int Subjects = 10;   // R: subjects (Redis: channels)
  int Members = 10;    // M: receiving members of each
  int Publishers = 0;  // publishing members of each subject; 0: all of them
  int Window = 32;     // lines each publisher keeps in flight (throughput)
  int PayloadBytes = 32;
  double Rate = 45000;      // deliveries per second over all subjects (latency)
  int Connections = 10000;  // idle: connections, in groups of Members per subject code
  int Attempts = 1000;      // guessing: wrong passwords, spread over Members connections

  int WarmupMs = 1000;
  int MeasureMs = 3000;
  int SetupTimeoutMs = 60000;
  int MaxConnecting = 256;  // connections set up at once, to stay inside the listen backlog

  // Zorva over its WebSocket port (--port is then the daemon's --ws-port).
  bool WebSocket = false;
};

}  // namespace zorva
