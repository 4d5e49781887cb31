// ClusterLink and RedisClient against a real redis-server, started by each test on a free
// loopback port and killed by its pid. Every wait is bounded and stops as soon as its
// condition holds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ClusterLink.h"
#include "ClusterTicker.h"
#include "RedisClient.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

std::uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  auto address = Loopback(0);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool Accepting(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  auto address = Loopback(port);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

class RedisProcess {
 public:
  RedisProcess() : FPort(FreePort()) {}
  ~RedisProcess() { Kill(); }

  std::uint16_t Port() const { return FPort; }

  bool Start() {
    const std::string port = std::to_string(FPort);
    std::vector<std::string> args{
        ZORVA_REDIS_SERVER, "--port", port,        "--bind",   "127.0.0.1", "--save", "",
        "--appendonly",     "no",     "--logfile", "/dev/null"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    FPid = ::fork();
    if (FPid < 0) return false;
    if (FPid == 0) RunServer(argv.data());
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (Accepting(FPort)) return true;
      std::this_thread::sleep_for(25ms);
    }
    return false;
  }

  void Kill() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
    FPid = 0;
  }

 private:
  // In the child: the server dies with the test, even a crashed one, and holds none of the
  // test's output pipes open.
  [[noreturn]] static void RunServer(char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2}) ::dup2(null, fd);
    ::execv(argv[0], argv);
    ::_exit(127);
  }

  std::uint16_t FPort;
  pid_t FPid = 0;
};

// What a node's core would hear, one short line per event.
class EventLog : public IClusterEvents {
 public:
  std::vector<std::string> Lines;
  int Lost = 0;
  int Back = 0;

  void OnRemoteLine(std::string_view, std::string_view subject, std::string_view line) override {
    Add("L", subject, line);
  }
  void OnRemoteGuestLine(std::string_view, std::string_view id, std::string_view line) override {
    Add("H", id, line);
  }
  void OnRemoteSubjectAdded(std::string_view, std::string_view subject) override {
    Add("A", subject, "");
  }
  void OnRemoteSubjectRemoved(std::string_view, std::string_view subject) override {
    Add("R", subject, "");
  }
  void OnRemoteMemberJoined(std::string_view, std::string_view subject,
                            const TRemoteJoin& joined) override {
    Add(joined.Full ? "J!" : "J", subject, joined.Id);
  }
  void OnRemoteMemberLeft(std::string_view, std::string_view subject,
                          std::string_view id) override {
    Add("G", subject, id);
  }
  void OnRemoteUserUpdated(std::string_view, std::string_view subject, std::string_view id,
                           std::string_view) override {
    Add("U", subject, id);
  }
  void OnRemoteRoundTrips(std::string_view, const std::vector<TRoundTrip>& trips) override {
    for (const auto& trip : trips) Add("P", trip.Id, std::to_string(trip.Milliseconds));
  }
  void OnClusterLost(const std::string&) override { ++Lost; }
  void OnClusterBack() override { ++Back; }

  bool Has(const std::string& line) const {
    return std::find(Lines.begin(), Lines.end(), line) != Lines.end();
  }

 private:
  void Add(std::string_view kind, std::string_view a, std::string_view b) {
    Lines.push_back(std::string(kind) + " " + std::string(a) + (b.empty() ? "" : " ") +
                    std::string(b));
  }
};

struct TNode {
  TNode(asio::io_context& io, std::uint16_t port, std::string id, std::uint32_t heartbeatMs = 5000)
      : Redis(io, {.Address = {.Host = "127.0.0.1", .Port = port},
                   .FirstRetry = 20ms,
                   .LastRetry = 200ms}),
        Link(Redis, {.NodeId = std::move(id), .HeartbeatMs = heartbeatMs}) {
    Link.SetEvents(&Events);
    Redis.Start();
  }
  RedisClient Redis;
  ClusterLink Link;
  EventLog Events;
};

class ClusterRedisTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FRedis.Start()) << "redis-server did not start"; }

  // Runs the loop until `done` holds or `limit` passes; whether it held.
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      if (FIo.stopped()) FIo.restart();
      FIo.run_one_for(10ms);
    }
    return true;
  }

  std::unique_ptr<TNode> NewNode(const std::string& id, std::uint32_t heartbeatMs = 5000) {
    auto node = std::make_unique<TNode>(FIo, FRedis.Port(), id, heartbeatMs);
    EXPECT_TRUE(RunUntil([&] { return node->Events.Back > 0; })) << id << " never connected";
    return node;
  }

  // Waits for an answer; Unavailable when none came in time.
  TClusterStatus Await(const std::function<void(ClusterLink::TDone)>& call) {
    auto status = std::make_shared<std::optional<TClusterStatus>>();
    call([status](TClusterStatus answer) { *status = answer; });
    RunUntil([&] { return status->has_value(); });
    return status->value_or(TClusterStatus::Unavailable);
  }

  TJoinResult AwaitJoin(TNode& node, const std::string& subject, const std::string& id) {
    auto result = std::make_shared<std::optional<TJoinResult>>();
    node.Link.Join(kCode, subject, {.Id = id, .UserText = id + "^^^"},
                   [result](const TJoinResult& answer) { *result = answer; });
    RunUntil([&] { return result->has_value(); });
    return result->value_or(TJoinResult{});
  }

  TClusterStatus Create(TNode& node, const std::string& subject, TSubjectSettings settings) {
    return Await([&](auto done) { node.Link.CreateSubject(kCode, subject, settings, done); });
  }

  void Open(TNode& node) {
    bool opened = false;
    node.Link.OpenCode(kCode, [&](TClusterStatus, const auto&) { opened = true; });
    ASSERT_TRUE(RunUntil([&] { return opened; }));
  }

  std::vector<TClusterSubject> Load(TNode& node) {
    std::optional<std::vector<TClusterSubject>> state;
    node.Link.LoadCode(kCode, [&](TClusterStatus, const auto& subjects) { state = subjects; });
    RunUntil([&] { return state.has_value(); });
    return state.value_or(std::vector<TClusterSubject>{});
  }

  static constexpr const char* kCode = "Game";
  static constexpr TSubjectSettings kLobby{.Persistent = true, .Announce = false};
  RedisProcess FRedis;
  asio::io_context FIo;
};

std::vector<std::string> Ids(const std::vector<TClusterMember>& members) {
  std::vector<std::string> ids;
  for (const auto& member : members) ids.push_back(member.Id + "@" + member.Node);
  return ids;
}

TEST_F(ClusterRedisTest, AnIdIsHeldByOneNodeAtATime) {
  auto a = NewNode("a"), b = NewNode("b");
  const auto claim = [&](TNode& node, const std::string& id) {
    return Await([&](auto done) { node.Link.ClaimId(kCode, id, done); });
  };
  EXPECT_EQ(claim(*a, "alice"), TClusterStatus::Done);
  EXPECT_EQ(claim(*b, "alice"), TClusterStatus::Taken);
  EXPECT_EQ(claim(*a, "alice"), TClusterStatus::Done) << "a node claims its own id again";
  std::optional<std::vector<std::string>> held;
  a->Link.OwnIds([&](TClusterStatus, std::vector<std::string> ids) { held = std::move(ids); });
  ASSERT_TRUE(RunUntil([&] { return held.has_value(); }));
  EXPECT_EQ(*held, std::vector<std::string>{"alice"});
  b->Link.ReleaseId(kCode, "alice");  // not b's to release
  EXPECT_EQ(claim(*b, "alice"), TClusterStatus::Taken);
  Await([&](auto done) { a->Link.ReleaseId(kCode, "alice", done); });
  EXPECT_EQ(claim(*b, "alice"), TClusterStatus::Done);
}

TEST_F(ClusterRedisTest, MemberLimitHoldsUnderConcurrentJoinsFromThreeNodes) {
  std::vector<std::unique_ptr<TNode>> nodes;
  for (const char* id : {"a", "b", "c"}) nodes.push_back(NewNode(id));
  ASSERT_EQ(Create(*nodes[0], "Room", {.MaxMembers = 5}), TClusterStatus::Done);
  std::map<TClusterStatus, int> answers;
  int filled = 0;
  for (int i = 0; i < 60; ++i)
    nodes[i % 3]->Link.Join(kCode, "Room", {.Id = "u" + std::to_string(i)},
                            [&](const TJoinResult& result) {
                              ++answers[result.Status];
                              filled += result.Full ? 1 : 0;
                            });
  ASSERT_TRUE(RunUntil([&] {
    return answers[TClusterStatus::Done] + answers[TClusterStatus::Full] +
               answers[TClusterStatus::Unavailable] ==
           60;
  }));
  EXPECT_EQ(answers[TClusterStatus::Done], 5);
  EXPECT_EQ(answers[TClusterStatus::Full], 55);
  EXPECT_EQ(filled, 1) << "exactly one join fills the subject";
  const auto state = Load(*nodes[1]);
  ASSERT_EQ(state.size(), 1u);
  EXPECT_EQ(state[0].Members.size(), 5u);
  EXPECT_TRUE(state[0].Full);
}

TEST_F(ClusterRedisTest, EachSendersLinesArriveInTheOrderSent) {
  auto a = NewNode("a"), b = NewNode("b"), c = NewNode("c");
  Open(*a);
  Open(*b);
  constexpr int kLines = 300;
  for (int i = 0; i < kLines; ++i) {
    a->Link.PublishLine(kCode, "Room", "SEND|al|CHAT|" + std::to_string(i));
    c->Link.PublishLine(kCode, "Room", "SEND|cy|DATA|" + std::to_string(i) + "|x");
  }
  ASSERT_TRUE(RunUntil([&] { return b->Events.Lines.size() == 2 * kLines; }));
  int nextFromA = 0, nextFromC = 0;
  for (const auto& line : b->Events.Lines) {
    if (line.starts_with("L Room SEND|al|CHAT|"))
      EXPECT_EQ(line, "L Room SEND|al|CHAT|" + std::to_string(nextFromA++));
    else
      EXPECT_EQ(line, "L Room SEND|cy|DATA|" + std::to_string(nextFromC++) + "|x");
  }
  EXPECT_EQ(nextFromA, kLines);
  RunUntil([&] { return a->Events.Lines.size() >= kLines; }, 200ms);
  EXPECT_EQ(a->Events.Lines.size(), kLines) << "a node does not hear its own lines";
}

TEST_F(ClusterRedisTest, MembershipChangesReachOtherNodesInOrder) {
  auto a = NewNode("a"), b = NewNode("b");
  Open(*b);
  ASSERT_EQ(Create(*a, "Lobby", kLobby), TClusterStatus::Done);
  ASSERT_EQ(Create(*b, "Lobby", kLobby), TClusterStatus::Exists);
  ASSERT_EQ(AwaitJoin(*a, "Lobby", "alice").Status, TClusterStatus::Done);
  const auto bob = AwaitJoin(*b, "Lobby", "bob");
  EXPECT_EQ(Ids(bob.Members), (std::vector<std::string>{"alice@a", "bob@b"}));
  EXPECT_EQ(AwaitJoin(*b, "Lobby", "bob").Status, TClusterStatus::Same);
  EXPECT_EQ(AwaitJoin(*b, "Nowhere", "bob").Status, TClusterStatus::NoSubject);

  ASSERT_EQ(Create(*a, "Room", {.MaxMembers = 1, .ClientCreated = true}), TClusterStatus::Done);
  const auto moved = AwaitJoin(*a, "Room", "alice");
  EXPECT_TRUE(moved.Full);
  EXPECT_EQ(moved.Left, TJoinResult::TLeft::Left);
  EXPECT_EQ(moved.LeftSubject, "Lobby");
  a->Link.UpdateUser(kCode, "alice", "alice^^Alice^");
  a->Link.Drop(kCode, "alice");
  const std::vector<std::string> expected{"J Lobby alice", "A Room",       "G Lobby alice",
                                          "J! Room alice", "U Room alice", "G Room alice",
                                          "R Room"};
  ASSERT_TRUE(RunUntil([&] { return b->Events.Lines.size() >= expected.size(); }));
  EXPECT_EQ(b->Events.Lines, expected);
  EXPECT_EQ(Ids(Load(*a)[0].Members), (std::vector<std::string>{"bob@b"}));
}

TEST_F(ClusterRedisTest, RoundTripsTravelWithTheMemberLists) {
  auto a = NewNode("a"), b = NewNode("b");
  Open(*b);
  ASSERT_EQ(Create(*a, "Lobby", kLobby), TClusterStatus::Done);
  AwaitJoin(*a, "Lobby", "alice");
  a->Link.PublishRoundTrips(kCode, {{"alice", 42}, {"gone", 7}});
  ASSERT_TRUE(RunUntil([&] { return b->Events.Has("P alice 42"); }));
  EXPECT_FALSE(b->Events.Has("P gone 7")) << "only members' round trips are kept and told";
  const auto bob = AwaitJoin(*b, "Lobby", "bob");
  ASSERT_EQ(bob.Members.size(), 2u);
  EXPECT_EQ(bob.Members[0].RoundTrip, 42);
}

TEST_F(ClusterRedisTest, UnreachableRedisIsToldOnceAndRefusesCommands) {
  FRedis.Kill();
  TNode node(FIo, FRedis.Port(), "a");
  ASSERT_TRUE(RunUntil([&] { return node.Events.Lost == 1; }));
  RunUntil([] { return false; }, 300ms);  // several reconnect attempts fail meanwhile
  EXPECT_EQ(node.Events.Lost, 1);
  EXPECT_EQ(node.Events.Back, 0);
  EXPECT_EQ(Await([&](auto done) { node.Link.ClaimId(kCode, "alice", done); }),
            TClusterStatus::Unavailable);
}

TEST_F(ClusterRedisTest, OperatorDeleteMovesEveryMemberToTheLobby) {
  auto a = NewNode("a"), b = NewNode("b");
  Open(*b);
  ASSERT_EQ(Create(*a, "Lobby", kLobby), TClusterStatus::Done);
  ASSERT_EQ(Create(*a, "Room", {}), TClusterStatus::Done);
  AwaitJoin(*a, "Room", "alice");
  AwaitJoin(*b, "Room", "bob");
  EXPECT_EQ(Await([&](auto done) { a->Link.RemoveSubject(kCode, "Room", "Lobby", done); }),
            TClusterStatus::Done);
  const auto state = Load(*b);
  ASSERT_EQ(state.size(), 1u);
  EXPECT_EQ(Ids(state[0].Members), (std::vector<std::string>{"alice@a", "bob@b"}));
  // No node applied the move yet, so b hears its own bob moved too; as on one server, the
  // subject's removal comes before the last member arrives in the lobby.
  ASSERT_TRUE(RunUntil([&] { return b->Events.Has("J Lobby bob"); }));
  const std::vector<std::string> lastMove(b->Events.Lines.end() - 3, b->Events.Lines.end());
  EXPECT_EQ(lastMove, (std::vector<std::string>{"G Room bob", "R Room", "J Lobby bob"}));
  EXPECT_EQ(Await([&](auto done) { a->Link.RemoveSubject(kCode, "Room", "Lobby", done); }),
            TClusterStatus::NoSubject);
}

TEST_F(ClusterRedisTest, ANodeWhoseHeartbeatStopsIsReapedOnceWithinTwoHeartbeats) {
  constexpr std::uint32_t kHeartbeatMs = 1000;
  auto a = NewNode("a", kHeartbeatMs), b = NewNode("b", kHeartbeatMs),
       c = NewNode("c", kHeartbeatMs);
  const auto half = a->Link.TickPeriod();
  Open(*b);
  ASSERT_EQ(Create(*a, "Lobby", kLobby), TClusterStatus::Done);
  ASSERT_EQ(Create(*a, "Room", {.ClientCreated = true}), TClusterStatus::Done);
  for (const char* id : {"carol", "alice"})
    Await([&](auto done) { a->Link.ClaimId(kCode, id, done); });
  AwaitJoin(*a, "Lobby", "carol");
  AwaitJoin(*a, "Room", "alice");

  std::vector<std::string> reaped;
  const auto collect = [&](std::vector<std::string> nodes) {
    reaped.insert(reaped.end(), nodes.begin(), nodes.end());
  };
  ClusterTicker tickA(FIo, half, [&] { a->Link.Tick(2); });
  ClusterTicker tickB(FIo, half, [&] { b->Link.Tick(3, collect); });
  ClusterTicker tickC(FIo, half, [&] { c->Link.Tick(4, collect); });
  tickA.Start();
  tickB.Start();
  tickC.Start();
  ASSERT_TRUE(RunUntil([&] { return b->Link.Stats().Connections == 9; }));
  EXPECT_EQ(b->Link.Stats().Subjects, 1);

  tickA.Stop();  // as if killed: its last heartbeat has been sent
  const auto stopped = Clock::now();
  ASSERT_TRUE(RunUntil([&] { return b->Events.Has("R Room") && b->Events.Has("G Lobby carol"); },
                       4 * std::chrono::milliseconds(kHeartbeatMs)));
  EXPECT_LE(Clock::now() - stopped, 2 * std::chrono::milliseconds(kHeartbeatMs));
  RunUntil([&] { return false; }, half * 2);  // both others tick again
  EXPECT_EQ(reaped, (std::vector<std::string>{"a"}));
  EXPECT_EQ(b->Link.Stats().Connections, 7);
  EXPECT_EQ(b->Link.Stats().Subjects, 0);
  EXPECT_EQ(Await([&](auto done) { b->Link.ClaimId(kCode, "alice", done); }), TClusterStatus::Done);
}

TEST_F(ClusterRedisTest, RedisRestartIsReportedAndTheLinkComesBack) {
  auto a = NewNode("a"), b = NewNode("b");
  Open(*a);
  FRedis.Kill();
  ASSERT_TRUE(RunUntil([&] { return a->Events.Lost == 1; }));

  bool answered = false;
  TClusterStatus status = TClusterStatus::Done;
  a->Link.ClaimId(kCode, "alice", [&](TClusterStatus s) {
    answered = true;
    status = s;
  });
  EXPECT_FALSE(answered) << "answers come on a later turn, never inside the call";
  ASSERT_TRUE(RunUntil([&] { return answered; }));
  EXPECT_EQ(status, TClusterStatus::Unavailable);

  ASSERT_TRUE(FRedis.Start());
  ASSERT_TRUE(RunUntil([&] { return a->Events.Back == 2 && b->Events.Back == 2; }, 10s));
  EXPECT_EQ(a->Events.Lost, 1) << "one loss is told once";
  EXPECT_EQ(Await([&](auto done) { a->Link.ClaimId(kCode, "alice", done); }), TClusterStatus::Done);
  b->Link.PublishLine(kCode, "Lobby", "SEND|bob|CHAT|again");
  ASSERT_TRUE(RunUntil([&] { return a->Events.Has("L Lobby SEND|bob|CHAT|again"); }))
      << "the channel is subscribed again";
}

TEST_F(ClusterRedisTest, ARestartedNodeForgetsWhatItsEarlierRunLeft) {
  auto a = NewNode("a");
  auto b = NewNode("b");
  Open(*b);
  ASSERT_EQ(Create(*a, "Lobby", kLobby), TClusterStatus::Done);
  ASSERT_EQ(Await([&](auto done) { a->Link.ClaimId(kCode, "alice", done); }), TClusterStatus::Done);
  ASSERT_EQ(AwaitJoin(*a, "Lobby", "alice").Status, TClusterStatus::Done);
  const TSubjectSettings byClient{.ClientCreated = true};
  ASSERT_EQ(Create(*a, "Joined", byClient), TClusterStatus::Done);
  ASSERT_EQ(AwaitJoin(*b, "Joined", "bob").Status, TClusterStatus::Done);
  ASSERT_EQ(Create(*a, "Orphan", byClient), TClusterStatus::Done);
  a.reset();  // ended without dropping alice or joining its creator to "Orphan", and restarted
              // before anyone reaped it

  auto again = NewNode("a");
  EXPECT_TRUE(RunUntil([&] { return b->Events.Has("G Lobby alice"); }))
      << "the others hear that the earlier run's member is gone";
  EXPECT_TRUE(RunUntil([&] { return b->Events.Has("R Orphan"); }))
      << "a client's subject its creator never joined goes with the run";
  EXPECT_EQ(Await([&](auto done) { b->Link.ClaimId(kCode, "alice", done); }), TClusterStatus::Done);
  const auto state = Load(*b);
  ASSERT_EQ(state.size(), 2u) << "the lobby, and the subject someone joined";
  EXPECT_TRUE(state.front().Members.empty());
  EXPECT_EQ(state.back().Name, "Joined");
}

}  // namespace
}  // namespace zorva
