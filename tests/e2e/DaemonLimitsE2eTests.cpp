// What the daemon does with clients that push it: slow readers, floods, one client too many,
// and a stop while output is still queued. Each test asserts the numbers the daemon promises
// (README, "Operations"), over loopback, with bounded waits.
#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "E2eSupport.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using testing::Contains;
using testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

const std::vector<std::string> kNoFloodBudget{"--max-lines-per-second", "0",
                                              "--max-bytes-per-second", "0"};

Ms Since(Clock::time_point start) {
  return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

// Reads up to `want`; keeps the lines that are not relays (joins, leaves, pings) in `notices`.
bool ReadUntil(LineClient& client, const std::string& want, std::vector<std::string>& notices) {
  for (;;) {
    const auto line = client.ReadLine();
    if (!line) return false;
    if (*line == want) return true;
    if (!line->starts_with("SEND|")) notices.push_back(*line);
  }
}

class DaemonLimitsTest : public ServerE2eTest {
 protected:
  // Logs in a client that reads its login and nothing more; a small receive buffer backs it
  // up quickly.
  void LoginSlowReader(LineClient& slow) {
    ASSERT_TRUE(slow.Connect(FPort, 4096));
    ASSERT_TRUE(slow.WriteLine("LOGIN|slow|GAME|pw"));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(slow.ReadLine().has_value());
  }

  // slow as above, then ann and bob, who read: the three in the lobby of one code.
  void LoginThree(LineClient& slow, LineClient& ann, LineClient& bob) {
    LoginSlowReader(slow);
    Login(ann, "ann");
    Login(bob, "bob");
  }

  // A round trip from a client that does not log in: the answer to a statistics request.
  Ms StatsRoundTrip(LineClient& client) {
    const auto start = Clock::now();
    client.WriteLine("SERVERSTATS|");
    const auto answer = client.ReadLine();
    EXPECT_TRUE(answer && answer->starts_with("SERVERSTATS|"));
    return Since(start);
  }
};

TEST_P(DaemonLimitsTest, SlowReaderIsDroppedPastTheCapWhileOthersChatUnder50Ms) {
  // The flood budget has a test of its own; here ann's bulk must reach the server at once.
  auto options = kNoFloodBudget;
  options.insert(options.end(), {"--max-output", "200000"});
  StartServer(options);
  LineClient slow;
  LineClient ann;
  LineClient bob;
  LoginThree(slow, ann, bob);

  // Each round: 40 KB of data from ann that bob and slow receive, then a chat line from ann
  // that bob answers; the round trip runs from ann's chat line to bob's answer.
  const std::string bulk = "SEND|DATA|" + std::string(2000, 'd');
  std::vector<Ms> roundTrips;
  std::vector<std::string> annNotices;
  std::vector<std::string> bobNotices;
  for (int round = 0; round < 500; ++round) {
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(ann.WriteLine(bulk));
    const auto n = std::to_string(round);
    const auto start = Clock::now();
    ASSERT_TRUE(ann.WriteLine("SEND|CHAT|probe " + n));
    ASSERT_TRUE(ReadUntil(bob, "SEND|ann|CHAT|probe " + n, bobNotices)) << n;
    ASSERT_TRUE(bob.WriteLine("SEND|CHAT|echo " + n));
    ASSERT_TRUE(ReadUntil(ann, "SEND|bob|CHAT|echo " + n, annNotices)) << n;
    roundTrips.push_back(Since(start));
    if (std::count(annNotices.begin(), annNotices.end(), "REMOVEGUEST|slow") > 0) break;
  }
  const auto slowest = *std::max_element(roundTrips.begin(), roundTrips.end());
  RecordProperty("rounds", static_cast<int>(roundTrips.size()));
  RecordProperty("slowest_round_trip_ms", static_cast<int>(slowest.count()));
  ASSERT_THAT(annNotices, Contains("REMOVEGUEST|slow"));
  // 200,000 bytes of queue take at least five rounds of 40 KB; sooner would be too early.
  EXPECT_GE(roundTrips.size(), 5u);
  EXPECT_LT(slowest, 50ms) << "over " << roundTrips.size() << " rounds";
  EXPECT_TRUE(slow.WaitClosed(10s));
  const auto log = FServer->Stderr();
  // One line for the drop: the window's two alarm lines about it are not repeated in the log.
  EXPECT_THAT(log, HasSubstr(" warn logout id=slow code=GAME address=127.0.0.1 "));
  EXPECT_THAT(log, HasSubstr(" reason=slow-reader\n"));
  EXPECT_THAT(log, testing::Not(HasSubstr("Client Socket Error")));
  EXPECT_THAT(log, testing::Not(HasSubstr("User slow has been disconnected")));
}

// A client that sends more than its budget: its lines are answered at the budget's pace,
// it stays connected, and another client's round trip stays short all the while.
struct FloodCase {
  const char* Label;
  std::string Line;  // "SERVERSTATS|" and padding: one answer per line
  int Count;
  int Burst;    // answered at once
  Ms Earliest;  // the last answer, no sooner than the budget allows
};

TEST_P(DaemonLimitsTest, FlooderIsSlowedToItsBudgetNeverDroppedOthersStayQuick) {
  // Lines: 1,000 at once, then 200 a second, so 400 more take 2 s. Bytes: 1 MiB at once, then
  // 1 MiB a second, so the 2,071,476 bytes past the first mebibyte take 1.98 s.
  for (const auto& c :
       {FloodCase{"200 lines a second, bursts of 1000", "SERVERSTATS|", 1400, 1000, 1800ms},
        FloodCase{"1 MiB a second", "SERVERSTATS|" + std::string(59988, 'p'), 52, 17, 1800ms}}) {
    StartServer();  // the default budget
    LineClient flooder;
    LineClient other;
    ASSERT_TRUE(flooder.Connect(FPort));
    ASSERT_TRUE(other.Connect(FPort));

    std::string all;
    for (int i = 0; i < c.Count; ++i) all += c.Line + "\n";
    const auto start = Clock::now();
    std::atomic<bool> written = false;
    std::thread writer([&] { written = flooder.Write(all); });  // blocks while it is slowed

    int answered = 0;
    Ms burstDone{};
    Ms slowestOther{};
    while (answered < c.Count && Since(start) < 10s) {
      slowestOther = std::max(slowestOther, StatsRoundTrip(other));
      while (flooder.ReadLine(5ms)) {  // shorter waits may end before they poll
        if (++answered == c.Burst) burstDone = Since(start);
      }
    }
    const auto allDone = Since(start);
    writer.join();
    const std::string key = c.Count > 1000 ? "lines_" : "bytes_";
    RecordProperty(key + "burst_ms", static_cast<int>(burstDone.count()));
    RecordProperty(key + "all_ms", static_cast<int>(allDone.count()));
    RecordProperty(key + "slowest_other_ms", static_cast<int>(slowestOther.count()));
    ASSERT_TRUE(written) << c.Label;
    ASSERT_EQ(answered, c.Count) << c.Label;
    EXPECT_LT(burstDone, 500ms) << c.Label;
    EXPECT_GE(allDone, c.Earliest) << c.Label;
    EXPECT_LT(allDone, c.Earliest + 1500ms) << c.Label;
    EXPECT_LT(slowestOther, 50ms) << c.Label;
    EXPECT_LT(StatsRoundTrip(flooder), 50ms) << c.Label;  // still connected, served again
    EXPECT_THAT(ProblemLines(FServer->Stderr()), testing::IsEmpty()) << c.Label;
  }
}

TEST_P(DaemonLimitsTest, ClientPastTheLimitIsToldTheServerIsFull) {
  StartServer({"--max-clients", "2"});
  LineClient ann;
  LineClient guest;
  Login(ann, "ann");
  ASSERT_TRUE(guest.Connect(FPort));
  for (int i = 0; i < 3; ++i) {
    LineClient refused;
    ASSERT_TRUE(refused.Connect(FPort));
    EXPECT_EQ(refused.ReadLine(), "ERROR|The Server is full");
    EXPECT_TRUE(refused.WaitClosed());
  }
  EXPECT_LT(StatsRoundTrip(guest), 1s);  // those inside are served as before

  ann.Close();  // frees a place, once the server has seen it go
  std::optional<std::string> answer;
  for (int i = 0; i < 100; ++i) {
    LineClient late;
    ASSERT_TRUE(late.Connect(FPort));
    late.WriteLine("SERVERSTATS|");
    answer = late.ReadLine();
    if (answer != "ERROR|The Server is full") break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(answer && answer->starts_with("SERVERSTATS|")) << answer.value_or("<none>");
  EXPECT_THAT(FServer->Stdout(), HasSubstr("\nRoom for 2 clients (open-file limit "));
}

TEST_P(DaemonLimitsTest, SaysHowManyClientsTheOpenFileLimitHolds) {
  StartServer();
  const auto out = FServer->Stdout();
  const auto room = out.find("\nRoom for ");
  ASSERT_NE(room, std::string::npos) << out;
  unsigned long long clients = 0;
  unsigned long long limit = 0;
  ASSERT_EQ(std::sscanf(out.c_str() + room, "\nRoom for %llu clients (open-file limit %llu)",
                        &clients, &limit),
            2)
      << out;
  EXPECT_EQ(clients + 32, limit);
  EXPECT_GE(limit, 1024u);
}

// A stop while a client has unread output: the listener closes at once, the client gets
// everything queued for it and then the end of the stream, and the daemon exits 0.
TEST_P(DaemonLimitsTest, StopDeliversQueuedOutputThenExitsZero) {
  StartServer();
  LineClient slow;
  LineClient ann;
  LineClient bob;
  LoginThree(slow, ann, bob);
  const std::string bulk = "SEND|DATA|" + std::string(2000, 'q');
  for (int i = 0; i < 150; ++i) ASSERT_TRUE(ann.WriteLine(bulk));  // 300 KB for slow
  ASSERT_TRUE(ann.WriteLine("SEND|CHAT|last"));
  std::vector<std::string> notices;
  ASSERT_TRUE(ReadUntil(bob, "SEND|ann|CHAT|last", notices));  // all of it is queued for slow

  FServer->Signal(SIGTERM);
  LineClient late;
  bool refused = false;
  for (int i = 0; i < 100 && !refused; ++i) {
    refused = !late.Connect(FPort);
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(refused) << "still listening after the signal";

  int data = 0;
  std::vector<std::string> slowNotices;
  for (auto line = slow.ReadLine(); line && *line != "SEND|ann|CHAT|last"; line = slow.ReadLine()) {
    if (*line == "SEND|ann|DATA|" + std::string(2000, 'q')) ++data;
  }
  EXPECT_EQ(data, 150);
  EXPECT_TRUE(slow.WaitClosed());
  for (auto* client : {&slow, &ann, &bob}) client->Close();
  EXPECT_EQ(FServer->WaitExit(1500ms), 0);
}

// A client that never reads holds the stop up for at most 2 s; a second signal ends the wait
// at once, with 128 + its number.
struct StopCase {
  const char* Label;
  int Second;  // second signal, 0 for none
  int ExitCode;
  Ms Earliest;
  Ms Latest;
};

TEST_P(DaemonLimitsTest, StopHeldUpByAClientThatNeverReadsEndsInTime) {
  for (const auto& c : {StopCase{"flush limit of 2 s", 0, 0, 1900ms, 2800ms},
                        StopCase{"second SIGINT", SIGINT, 130, 200ms, 800ms},
                        StopCase{"second SIGTERM", SIGTERM, 143, 200ms, 800ms}}) {
    auto options = kNoFloodBudget;
    options.insert(options.end(), {"--max-output", "67108864"});
    StartServer(options);
    LineClient slow;
    LineClient ann;
    LoginSlowReader(slow);
    Login(ann, "ann");
    const std::string bulk = "SEND|DATA|" + std::string(2000, 's');
    for (int i = 0; i < 4000; ++i) ASSERT_TRUE(ann.WriteLine(bulk)) << c.Label;  // 8 MB
    EXPECT_LT(StatsRoundTrip(ann), 3s);  // all of it is queued for slow by now

    const auto start = Clock::now();
    FServer->Signal(SIGTERM);
    if (c.Second != 0) {
      std::this_thread::sleep_for(200ms);
      FServer->Signal(c.Second);
    }
    EXPECT_EQ(FServer->WaitExit(5s), c.ExitCode) << c.Label;
    const auto took = Since(start);
    RecordProperty("exit_after_ms_" + std::to_string(c.ExitCode), static_cast<int>(took.count()));
    EXPECT_GE(took, c.Earliest) << c.Label;
    EXPECT_LT(took, c.Latest) << c.Label;
    EXPECT_TRUE(ann.WaitClosed(1s)) << c.Label;
  }
}

TEST_P(DaemonLimitsTest, RestartBindsTheSamePortAtOnce) {
  StartServer();
  const auto port = std::to_string(FPort);
  {
    LineClient ann;
    Login(ann, "ann");
    ann.WriteLine("SEND|CHAT|bye");
    FServer->Signal(SIGTERM);
    EXPECT_TRUE(ann.WaitClosed());
  }  // the server closed first: its side of the connection lingers in TIME_WAIT
  ASSERT_EQ(FServer->WaitExit(3s), 0);
  StartServer({"--port", port});
  EXPECT_EQ(FServer->FirstLine, "Listening on 127.0.0.1:" + port);
  LineClient again;
  Login(again, "ann");
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonLimitsTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
