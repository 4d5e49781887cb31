// Support for the cluster's end-to-end tests: one redis-server and three zorva-server nodes on
// 127.0.0.1, each process in a scratch folder of its own and stopped by its process id, and
// bounded waits for the lines a node relays from another.
//
//   class MyClusterTest : public ClusterE2eTest {};
//   TEST_F(MyClusterTest, ...) {
//     LineClient ann, bob;
//     LogIn(bob, Node(1), "bob");
//     const auto lines = LogIn(ann, Node(0), "ann");   // the three lines of a login
//     EXPECT_TRUE(ReadUntil(bob, "ADDGUEST|ann|" + UserText(lines)));
//   }
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "E2eSupport.h"

namespace zorva::test {

// A loopback port nobody listens on just now: bound, read back and closed. Another program
// could take it before the test does; on a test machine that is rare enough.
inline std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A redis-server that keeps nothing on disk, so that a restart starts empty.
class RedisServer {
 public:
  RedisServer() : FPort(FreeLoopbackPort()) {}

  bool Start() {
    FProcess = std::make_unique<ServerProcess>(FFolder);
    const std::string port = std::to_string(FPort);
    if (!FProcess->Spawn({"/usr/bin/redis-server", "--port", port, "--bind", "127.0.0.1", "--save",
                          "", "--appendonly", "no"}))
      return false;
    return WaitFor([&] { return Answers(); });
  }
  // SIGKILL by its process id, as a crash would end it.
  void Kill() { FProcess.reset(); }

  std::uint16_t Port() const { return FPort; }
  std::string Url() const { return "redis://127.0.0.1:" + std::to_string(FPort); }

 private:
  bool Answers() const {
    LineClient client;
    return client.Connect(FPort) && client.WriteLine("PING\r") &&
           client.ReadLine(std::chrono::milliseconds(200)) == "+PONG\r";
  }

  ScratchFolder FFolder;
  const std::uint16_t FPort;
  std::unique_ptr<ServerProcess> FProcess;
};

// One zorva-server of the cluster, with its node id and a heartbeat short enough that a dead
// node is reaped within a second and a half.
class ClusterNode {
 public:
  static constexpr const char* kHeartbeatMs = "1000";

  explicit ClusterNode(std::string id) : FId(std::move(id)) {}

  bool Start(const RedisServer& redis, const std::vector<std::string>& extra = {}) {
    FProcess = std::make_unique<ServerProcess>(FFolder);
    auto argv = kDaemon.Argv;
    argv.insert(argv.end(), {"--bind", "127.0.0.1", "--port", "0", "--ini",
                             (FFolder / "Win.ini").string(), "--cluster", redis.Url(), "--node-id",
                             FId, "--cluster-heartbeat-ms", kHeartbeatMs});
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!FProcess->Spawn(argv)) return false;
    const auto port = FProcess->WaitListening();
    FPort = port.value_or(0);
    return port.has_value();
  }
  void Kill() { FProcess.reset(); }

  const std::string& Id() const { return FId; }
  std::uint16_t Port() const { return FPort; }
  ServerProcess& Process() { return *FProcess; }
  std::string Log() const { return FProcess ? FProcess->Stderr() : ""; }

 private:
  ScratchFolder FFolder;
  const std::string FId;
  std::uint16_t FPort = 0;
  std::unique_ptr<ServerProcess> FProcess;
};

// Polls `done` until it holds, for up to ten seconds: long enough for a node to reconnect to
// Redis (its retry delay grows to 5 s) and rebuild.
inline bool WaitLong(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

// The user text of a "LOGIN|SUCCESS|UserText" line.
inline std::string UserText(const std::vector<std::string>& loginLines) {
  constexpr std::string_view kSuccess = "LOGIN|SUCCESS|";
  if (loginLines.empty() || !loginLines[0].starts_with(kSuccess)) return {};
  return loginLines[0].substr(kSuccess.size());
}

// Reads lines until each of `wanted` has come, in any order; other lines are skipped (pings,
// other members' arrivals). Returns those that did not come within the timeout.
inline std::vector<std::string> NotArrived(
    LineClient& client, std::vector<std::string> wanted,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!wanted.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const auto line = client.ReadLine(left);
    if (!line) break;
    std::erase(wanted, *line);
  }
  return wanted;
}

inline bool ReadUntil(LineClient& client, const std::string& wanted,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  return NotArrived(client, {wanted}, timeout).empty();
}

// Redis and nodes a, b and c, started for each test and killed after it.
class ClusterE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FRedis.Start()) << "redis-server did not answer on port " << FRedis.Port();
    for (std::size_t i = 0; i < FNodes.size(); ++i) {
      ASSERT_TRUE(FNodes[i].Start(FRedis, MoreOptions(i)))
          << "node " << FNodes[i].Id() << ": " << FNodes[i].Log();
    }
    // A node listens before it reaches Redis, and refuses logins until then.
    for (auto& node : FNodes) {
      ASSERT_TRUE(WaitFor([&] { return node.Log().find("cluster_redis_up") != std::string::npos; }))
          << "node " << node.Id() << ": " << node.Log();
    }
  }
  // Options for one node beyond the cluster's, for a fixture that needs them.
  virtual std::vector<std::string> MoreOptions(std::size_t /*node*/) const { return {}; }

  ClusterNode& Node(std::size_t index) { return FNodes.at(index); }

  // Connects to `node` and logs in; the login's lines, or what came instead.
  std::vector<std::string> LoginTo(LineClient& client, ClusterNode& node, const std::string& id,
                                   const std::string& code = "GAME") {
    if (!client.Connect(node.Port())) return {"<no connection>"};
    client.WriteLine("LOGIN|" + id + "|" + code + "|pw");
    std::vector<std::string> lines{client.ReadLine().value_or("<timeout>")};
    if (!lines[0].starts_with("LOGIN|SUCCESS|")) return lines;
    for (int i = 0; i < 2; ++i) lines.push_back(client.ReadLine().value_or("<timeout>"));
    return lines;
  }

  // LoginTo for a login that must succeed.
  std::vector<std::string> LogIn(LineClient& client, ClusterNode& node, const std::string& id) {
    auto lines = LoginTo(client, node, id);
    EXPECT_TRUE(lines.at(0).starts_with("LOGIN|SUCCESS|"))
        << id << " on " << node.Id() << ": " << lines.at(0) << "\n"
        << node.Log();
    return lines;
  }

  RedisServer FRedis;
  std::array<ClusterNode, 3> FNodes{ClusterNode("a"), ClusterNode("b"), ClusterNode("c")};
};

}  // namespace zorva::test
