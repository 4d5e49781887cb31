// The daemon against clients that send what a well-behaved client never does: bad names, lines
// that would not fit a receiver, too many connections from one address, connections that never
// log in, forged user records, password guessing, readers that never read, and a user store
// that another program has locked. Loopback only; every wait is bounded.
#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "E2eSupport.h"
#include "FullGlyph.h"
#include "UserStoreE2eTest.h"
#include "UserTextLimits.h"
#include "ZorvaUser.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::StartsWith;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiverLimit = 65536;
const std::string kNotFound = "ERROR|The specified User could not be found";
const std::string kInvalidUserInfo = "ERROR|Invalid User Info";
const std::string kLoginInvalidUserInfo = "LOGIN|ERROR|Invalid User Info";
const std::string kStoreUnavailable = "ERROR|The user store is unavailable";
const std::string kLoginStoreUnavailable = "LOGIN|ERROR|The user store is unavailable";
const std::string kLoginBusy = "LOGIN|ERROR|The Server is busy, try again later";
const std::string kTooManyAttempts = "LOGIN|ERROR|Too many attempts, try again later";
const std::string kInvalidPassword = "LOGIN|ERROR|Invalid Password";
const std::string kTooMuchFeedback = "ERROR|Too much feedback, try again later";

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What the lobby tells every member as others come and go, and the server's pings.
bool IsLobbyNotice(const std::string& line) {
  for (const char* word : {"ADDGUEST|", "REMOVEGUEST|", "PING|", "SEND|"}) {
    if (line.starts_with(word)) return true;
  }
  return false;
}

// The first line within `timeout` that is not a lobby notice; "<timeout>" when none comes.
std::string NextAnswer(LineClient& client, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    const auto line = client.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - Clock::now(), Clock::duration(1ms))));
    if (!line) break;
    if (!IsLobbyNotice(*line)) return *line;
  }
  return "<timeout>";
}

// Reads up to the line `want`; false when it does not come within `timeout`.
bool ReadUntil(LineClient& client, const std::string& want,
               std::chrono::milliseconds timeout = 10s) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    const auto line = client.ReadLine(5s);
    if (!line) return false;
    if (*line == want) return true;
  }
  return false;
}

// The user text of a "USERINFO|UserText|" line.
TZorvaUser UserOfInfoLine(const std::string& line) {
  const auto start = line.find('|') + 1;
  TZorvaUser user;
  user.fromString(line.substr(start, line.find('|', start) - start));
  return user;
}

class HostileClientTest : public ServerE2eTest {
 protected:
  // The answer to a statistics request: proof that the connection is still served.
  bool StillServed(LineClient& client) {
    if (!client.WriteLine("SERVERSTATS|")) return false;
    for (int i = 0; i < 10; ++i) {
      const auto line = client.ReadLine();
      if (!line) return false;
      if (line->starts_with("SERVERSTATS|")) return true;
    }
    return false;
  }
};

struct TBadLine {
  const char* Label;
  bool LogInFirst;
  std::string Line;
  std::string Answer;
};

TEST_P(HostileClientTest, BadInputIsAnsweredAndTheConnectionStays) {
  StartServer();
  const std::vector<TBadLine> cases = {
      {"profile_in_id", false, "LOGIN|alice^^Alice^Admin^London^UK|GAME|pw",
       "LOGIN|ERROR|Invalid User Id"},
      {"empty_id", false, "LOGIN||GAME|pw", "LOGIN|ERROR|Invalid User Id"},
      {"userinfo_before_login", false, "USERINFO|ann|", "ERROR|You are not logged in"},
      {"empty_subject", true, "CREATESUBJECT||0|", "ERROR|Invalid Subject Name"},
      {"limit_not_number", true, "CREATESUBJECT|Room|many|", "ERROR|Invalid Member Limit"},
      {"relay_too_long", true, "SEND|CHAT|" + std::string(kReceiverLimit - 12, 'x'),
       "ERROR|Message too long"},
  };
  int round = 0;
  for (const auto& c : cases) {
    LineClient client;
    if (c.LogInFirst) {
      Login(client, "user" + std::to_string(round++));
    } else {
      ASSERT_TRUE(client.Connect(FPort)) << c.Label;
    }
    ASSERT_TRUE(client.WriteLine(c.Line)) << c.Label;
    EXPECT_EQ(client.ReadLine(), c.Answer) << c.Label;
    EXPECT_TRUE(StillServed(client)) << c.Label;
  }
}

// Nine members whose user texts carry full glyphs: together past one line.
TEST_P(HostileClientTest, LargeLobbyReachesANewcomerInLinesItAccepts) {
  StartServer();
  std::vector<LineClient> members(9);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const auto id = "member" + std::to_string(i);
    Login(members[i], id);
    TZorvaUser user;
    user.SetId(id);
    user.SetGlyph(FullGlyph());
    ASSERT_TRUE(members[i].WriteLine("USERUPDATE|" + id + "|" + user.toString() + "|"));
    ASSERT_TRUE(StillServed(members[i]));
  }
  LineClient newcomer;
  ASSERT_TRUE(newcomer.Connect(FPort));
  ASSERT_TRUE(newcomer.WriteLine("LOGIN|newcomer|GAME|pw"));
  std::size_t longest = 0;
  int listed = 0;
  while (listed < 10) {
    const auto line = newcomer.ReadLine();
    if (!line) break;
    longest = std::max(longest, line->size());
    if (line->starts_with("JOINSUBJECT|")) {
      listed += static_cast<int>(std::count(line->begin(), line->end(), '|')) - 1;
    }
    if (line->starts_with("ADDGUEST|")) ++listed;
  }
  EXPECT_EQ(listed, 10);
  EXPECT_LE(longest, kReceiverLimit);
  EXPECT_TRUE(StillServed(newcomer));
}

// Set in the settings file, as every limit can be.
TEST_P(HostileClientTest, OneAddressCannotTakeEverySlot) {
  std::ofstream(IniPath()) << "[ZorvaServer]\nmax-clients-per-address=2\n";
  StartServer();
  LineClient first;
  LineClient second;
  ASSERT_TRUE(first.Connect(FPort));
  ASSERT_TRUE(second.Connect(FPort));
  ASSERT_TRUE(StillServed(second));  // both are in before the third knocks
  LineClient third;
  ASSERT_TRUE(third.Connect(FPort));
  EXPECT_EQ(third.ReadLine(), "ERROR|The Server is full");
  EXPECT_TRUE(third.WaitClosed());
  EXPECT_TRUE(StillServed(first));
}

TEST_P(HostileClientTest, ConnectionThatNeverLogsInIsClosed) {
  StartServer({"--login-timeout", "1", "--ping-interval-ms", "200"});
  LineClient member;
  Login(member, "ann");
  LineClient idle;
  ASSERT_TRUE(idle.Connect(FPort));
  std::optional<std::string> last;
  // Answers every ping, as a lingering client would; the timeout ends it all the same.
  for (int i = 0; i < 40; ++i) {
    last = idle.ReadLine(1000ms);
    if (!last || *last != "PING|") break;
    idle.WriteLine("PING|");
  }
  EXPECT_EQ(last, "ERROR|Login timeout");
  EXPECT_TRUE(idle.WaitClosed());
  member.WriteLine("PING|");
  EXPECT_TRUE(StillServed(member));
}

// A code is a world of its own: its members are not to be looked up from another.
TEST_P(HostileClientTest, UserInfoFindsOnlyMembersOfTheAskersCode) {
  StartServer();
  LineClient ann;
  LineClient bob;
  LineClient carol;
  Login(ann, "ann", "GAME");
  Login(bob, "bob", "CHESS");
  Login(carol, "carol", "GAME");
  ASSERT_TRUE(bob.WriteLine("USERINFO|ann|"));
  EXPECT_EQ(NextAnswer(bob), kNotFound);
  ASSERT_TRUE(carol.WriteLine("USERINFO|ann|"));
  EXPECT_THAT(NextAnswer(carol), StartsWith("USERINFO|ann^"));
}

// Members that never read fill the server's memory with their queues; past the total cap the
// largest queues go, and the member that reads keeps every line. Nothing but the total cap can
// drop them here: each one's own cap is above all that is sent.
TEST_P(HostileClientTest, NonReadersArePastTheTotalOutputCapDroppedAndTheReaderGetsAll) {
  constexpr int kChunks = 8;
  constexpr int kLinesPerChunk = 256;  // 1 MB a chunk
  constexpr int kLines = kChunks * kLinesPerChunk;
  StartServer({"--max-output-total", "4000000", "--max-output", "64000000",
               "--max-lines-per-second", "0", "--max-bytes-per-second", "0"});
  LineClient reader;
  Login(reader, "reader");
  std::vector<LineClient> sleepers(3);
  for (std::size_t i = 0; i < sleepers.size(); ++i) {
    ASSERT_TRUE(sleepers[i].Connect(FPort, 4096));
    ASSERT_TRUE(sleepers[i].WriteLine("LOGIN|sleeper" + std::to_string(i) + "|GAME|pw"));
    for (int line = 0; line < 3; ++line) ASSERT_TRUE(sleepers[i].ReadLine().has_value());
  }
  LineClient sender;
  Login(sender, "sender");

  std::atomic<int> received = 0;
  std::atomic<bool> inOrder = true;
  std::vector<std::string> removed;
  std::thread reading([&] {
    for (auto line = reader.ReadLine(10s); line; line = reader.ReadLine(10s)) {
      if (line->starts_with("REMOVEGUEST|")) removed.push_back(*line);
      if (*line == "SEND|sender|DATA|end") return;
      if (!line->starts_with("SEND|sender|DATA|")) continue;
      const auto expected = "SEND|sender|DATA|" + std::to_string(received.load()) + " ";
      if (!line->starts_with(expected)) inOrder = false;
      ++received;
    }
  });
  const std::string padding(4000, 'd');
  // A chunk at a time, each read before the next: the reader's own queue stays small.
  for (int chunk = 0; chunk < kChunks; ++chunk) {
    for (int i = 0; i < kLinesPerChunk; ++i) {
      const auto n = chunk * kLinesPerChunk + i;
      ASSERT_TRUE(sender.WriteLine("SEND|DATA|" + std::to_string(n) + " " + padding));
    }
    const auto started = Clock::now();
    while (received < (chunk + 1) * kLinesPerChunk && MillisSince(started) < 20000) {
      std::this_thread::sleep_for(5ms);
    }
  }
  ASSERT_TRUE(sender.WriteLine("SEND|DATA|end"));
  reading.join();

  EXPECT_EQ(received, kLines);
  EXPECT_TRUE(inOrder);
  EXPECT_THAT(removed, testing::UnorderedElementsAre("REMOVEGUEST|sleeper0", "REMOVEGUEST|sleeper1",
                                                     "REMOVEGUEST|sleeper2"));
  for (auto& sleeper : sleepers) EXPECT_TRUE(sleeper.WaitClosed(10s));
  const auto log = FServer->Stderr();
  for (const char* id : {"sleeper0", "sleeper1", "sleeper2"}) {
    EXPECT_THAT(log, testing::ContainsRegex(std::string(" logout id=") + id +
                                            " [^\n]* reason=slow-reader"));
  }
  EXPECT_THAT(log, testing::Not(HasSubstr("logout id=reader ")));
}

INSTANTIATE_TEST_SUITE_P(Daemon, HostileClientTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

// The same hostile clients against a server that keeps its users in a database.
class HostileStoreTest : public UserStoreE2eTest {
 protected:
  void StartWithStoreAnd(std::vector<std::string> options) {
    options.insert(options.begin(), {"--users", UsersPath()});
    StartServer(options);
  }

  // Connects from `from` and sends a login, answered later.
  void SendLogin(LineClient& client, const std::string& line, const char* from = nullptr) {
    ASSERT_TRUE(client.Connect(FPort, 0, from));
    ASSERT_TRUE(client.WriteLine(line));
  }
};

struct TSpoiledField {
  const char* Label;
  std::function<void(TZorvaUser&)> Spoil;
};

const std::vector<TSpoiledField> kSpoiledFields = {
    {"control_byte", [](TZorvaUser& user) { user.SetCity("Os\x01lo"); }},
    {"delete_byte", [](TZorvaUser& user) { user.SetFirstName("Ann\x7F"); }},
    {"city_past_the_form",
     [](TZorvaUser& user) {
       user.SetCity(std::string(kNameLength * kMaxBytesPerCharacter + 1, 'c'));
     }},
    {"comment_past_the_form",
     [](TZorvaUser& user) { user.SetAdditionalInfo(std::string(kMaxCommentBytes + 1, 'c')); }},
    {"token_past_its_limit",
     [](TZorvaUser& user) { user.SetInfoToken("Note", std::string(kMaxInfoTokenBytes, 'n')); }},
};

// Registrations are counted per address: a third from one address in the hour is refused, one
// from another address is not.
TEST_P(HostileStoreTest, RegistrationsFromOneAddressAreBoundedPerHour) {
  StartWithStoreAnd({"--max-registrations-per-hour", "2"});
  const auto registerFrom = [this](const std::string& id, const char* from) {
    LineClient client;
    EXPECT_TRUE(client.Connect(FPort, 0, from));
    TZorvaUser user;
    user.SetPassword("pw");
    client.WriteLine("LOGINNEW|" + id + "|GAME|" + user.toString());
    const auto answer = client.ReadLine();
    return answer ? answer->substr(0, answer->find('^')) : std::string("(none)");
  };
  EXPECT_EQ(registerFrom("new1", "127.0.0.1"), "LOGIN|SUCCESS|new1");
  EXPECT_EQ(registerFrom("new2", "127.0.0.1"), "LOGIN|SUCCESS|new2");
  EXPECT_EQ(registerFrom("new3", "127.0.0.1"), "LOGIN|ERROR|Too many attempts, try again later");
  EXPECT_EQ(registerFrom("new4", "127.0.0.2"), "LOGIN|SUCCESS|new4");
}

TEST_P(HostileStoreTest, UpdateKeepsTheServersOwnFields) {
  StartWithStore();
  LineClient bob;
  LineClient ann;
  Register(bob, "bob", "secret");
  Register(ann, "ann", "secret");
  TZorvaUser forged;
  forged.fromString(NewUserText("bob", ""));
  forged.SetCity("Bergen");
  forged.SetLoginCount(999);
  forged.SetInfoToken("Admin", "1");
  ASSERT_TRUE(bob.WriteLine("USERUPDATE|bob|" + forged.toString() + "|"));

  const auto relayed = NextAnswer(ann);
  ASSERT_THAT(relayed, StartsWith("USERINFO|bob^"));
  const auto seen = UserOfInfoLine(relayed);
  EXPECT_EQ(seen.City(), "Bergen");
  EXPECT_EQ(seen.LoginCount(), 1);
  EXPECT_TRUE(seen.InfoTokens().empty());
  EXPECT_THAT(UserRow("bob"), testing::EndsWith("|Bergen|" + IsoToday() + "|" + IsoToday() + "|1"));
  EXPECT_EQ(Query("SELECT InfoTokens FROM ZorvaUsers WHERE UserId = 'bob'"), "");
}

TEST_P(HostileStoreTest, UserTextsPastTheFormAreRefusedAndChangeNothing) {
  StartWithStore();
  LineClient bob;
  Register(bob, "bob", "secret");
  const auto before = UserRow("bob");
  int round = 0;
  for (const auto& c : kSpoiledFields) {
    const auto id = "new" + std::to_string(round++);
    TZorvaUser record;
    record.fromString(NewUserText(id, "secret"));
    c.Spoil(record);
    LineClient newcomer;
    ASSERT_TRUE(newcomer.Connect(FPort));
    EXPECT_EQ(Ask(newcomer, "LOGINNEW|" + id + "|GAME|" + record.toString()), kLoginInvalidUserInfo)
        << c.Label;
    EXPECT_EQ(UserRow(id), "<no row>") << c.Label;

    record.SetPassword("");
    EXPECT_EQ(Ask(bob, "USERUPDATE|bob|" + record.toString() + "|"), kInvalidUserInfo) << c.Label;
    EXPECT_EQ(UserRow("bob"), before) << c.Label;
  }
}

// Another program holds the database's write lock: every job that needs the store waits out the
// store's busy timeout on a worker and is refused, while chat between two members goes on.
TEST_P(HostileStoreTest, LockedStoreRefusesItsJobsWhileChatStaysQuick) {
  StartWithStore();
  LineClient writer;
  LineClient updater;
  LineClient comer;
  Register(writer, "writer", "secret");
  Register(updater, "updater", "secret");
  Register(comer, "comer", "secret");
  comer.Close();
  ASSERT_TRUE(ReadUntil(writer, "REMOVEGUEST|comer"));  // its id is free to log in again
  LineClient chat1;
  LineClient chat2;
  Register(chat1, "chat1", "secret");
  Register(chat2, "chat2", "secret");

  TSqliteConnection holder(UsersPath(), "");
  holder.Execute("BEGIN EXCLUSIVE");
  struct TProbe {
    const char* Label;
    LineClient* Client;
    std::string Answer;
    std::string Got;
  };
  LineClient login;
  std::vector<TProbe> probes = {{"feedback", &writer, kStoreUnavailable, {}},
                                {"update", &updater, kStoreUnavailable, {}},
                                {"login", &login, kLoginStoreUnavailable, {}}};
  ASSERT_TRUE(writer.WriteLine("FEEDBACK|while locked"));
  ASSERT_TRUE(updater.WriteLine("USERUPDATE|updater|" + NewUserText("updater", "other") + "|"));
  SendLogin(login, "LOGIN|comer|GAME|secret");

  // chat1 says something, chat2 answers: one round trip, between looks at the probes.
  std::vector<double> roundTrips;
  const auto started = Clock::now();
  const auto waiting = [&] {
    return std::ranges::any_of(probes, [](const auto& probe) { return probe.Got.empty(); });
  };
  for (int i = 0; waiting() && MillisSince(started) < 60000; ++i) {
    const auto text = std::to_string(i);
    const auto sent = Clock::now();
    ASSERT_TRUE(chat1.WriteLine("SEND|CHAT|" + text));
    ASSERT_TRUE(ReadUntil(chat2, "SEND|chat1|CHAT|" + text)) << i;
    ASSERT_TRUE(chat2.WriteLine("SEND|CHAT|" + text));
    ASSERT_TRUE(ReadUntil(chat1, "SEND|chat2|CHAT|" + text)) << i;
    roundTrips.push_back(MillisSince(sent));
    for (auto& probe : probes) {
      if (probe.Got.empty()) probe.Got = NextAnswer(*probe.Client, 5ms);
      if (probe.Got == "<timeout>") probe.Got.clear();
    }
  }
  const double lockedFor = MillisSince(started);
  holder.Execute("COMMIT");

  for (const auto& probe : probes) EXPECT_EQ(probe.Got, probe.Answer) << probe.Label;
  EXPECT_EQ(Query("SELECT count(*) FROM Feedback"), "0");
  ASSERT_FALSE(roundTrips.empty());
  std::sort(roundTrips.begin(), roundTrips.end());
  const double p99 = roundTrips[roundTrips.size() * 99 / 100];
  const double worst = roundTrips.back();
  std::printf(
      "[ measure  ] store locked %.1f s: %zu chat round trips, p99 %.2f ms, worst %.2f ms\n",
      lockedFor / 1000, roundTrips.size(), p99, worst);
  // The bound is 50 ms; on a shared machine only a stall far beyond it fails here, and a
  // network thread that waited on the lock would stall for the busy timeout, seconds.
  EXPECT_LT(p99, 200.0);
  EXPECT_LT(worst, 1000.0);

  // The lock gone, the store serves again.
  ASSERT_TRUE(writer.WriteLine("FEEDBACK|after the lock"));
  ASSERT_TRUE(writer.WriteLine("SERVERSTATS|"));
  EXPECT_THAT(NextAnswer(writer), StartsWith("SERVERSTATS|"));
  EXPECT_EQ(Query("SELECT count(*) FROM Feedback"), "1");
}

// Eight correct logins at once against two places for pending checks.
TEST_P(HostileStoreTest, LoginsPastThePendingBoundAreToldTheServerIsBusy) {
  constexpr int kLogins = 8;
  std::vector<std::string> ids;
  for (int i = 0; i < kLogins; ++i) ids.push_back("u" + std::to_string(i));
  SeedUsers(ids, "pw");
  StartWithStoreAnd({"--max-pending-logins", "2", "--max-clients-per-address", "0"});
  std::vector<LineClient> clients(kLogins);
  for (int i = 0; i < kLogins; ++i) SendLogin(clients[i], "LOGIN|" + ids[i] + "|GAME|pw");
  int busy = 0;
  int accepted = 0;
  for (auto& client : clients) {
    const auto answer = NextAnswer(client);
    busy += answer == kLoginBusy;
    accepted += answer.starts_with("LOGIN|SUCCESS|");
  }
  EXPECT_GE(accepted, 2);
  EXPECT_GE(busy, 1);
  EXPECT_EQ(accepted + busy, kLogins);
}

TEST_P(HostileStoreTest, FiveWrongPasswordsLockTheIdForAWhile) {
  SeedUsers({"victim"}, "right");
  StartWithStore();
  LineClient guesser;
  ASSERT_TRUE(guesser.Connect(FPort));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Ask(guesser, "LOGIN|victim|GAME|wrong" + std::to_string(i)), kInvalidPassword) << i;
  }
  // Even the right password, and from another address: the id itself is being guessed.
  EXPECT_EQ(Ask(guesser, "LOGIN|victim|GAME|right"), kTooManyAttempts);
  LineClient owner;
  SendLogin(owner, "LOGIN|victim|GAME|right", "127.0.0.2");
  EXPECT_EQ(NextAnswer(owner), kTooManyAttempts);
}

// A guesser on one address hammers one id; the owner of another id, from another address, gets
// in all the same, and in good time.
TEST_P(HostileStoreTest, GuesserOfOneIdDoesNotKeepAnotherOwnerOut) {
  constexpr int kGuessers = 10;
  constexpr int kGuessesEach = 20;
  SeedUsers({"target", "owner"}, "right");
  StartWithStoreAnd({"--max-clients-per-address", "0"});
  std::vector<LineClient> guessers(kGuessers);
  for (auto& guesser : guessers) {
    ASSERT_TRUE(guesser.Connect(FPort));
    std::string guesses;
    for (int i = 0; i < kGuessesEach; ++i)
      guesses += "LOGIN|target|GAME|wrong" + std::to_string(i) + "\n";
    ASSERT_TRUE(guesser.Write(guesses));
  }
  LineClient owner;
  const auto started = Clock::now();
  SendLogin(owner, "LOGIN|owner|GAME|right", "127.0.0.2");
  EXPECT_THAT(NextAnswer(owner), StartsWith("LOGIN|SUCCESS|owner^"));
  EXPECT_LT(MillisSince(started), 5000.0);

  int throttled = 0;
  for (auto& guesser : guessers) {
    for (int i = 0; i < kGuessesEach; ++i) {
      const auto answer = NextAnswer(guesser);
      EXPECT_THAT(answer, testing::AnyOf(kInvalidPassword, kTooManyAttempts));
      throttled += answer == kTooManyAttempts;
    }
  }
  EXPECT_GT(throttled, 0);
}

// Wrong passwords for an id still being checked do not hold the id: its owner gets in.
TEST_P(HostileStoreTest, PendingWrongPasswordsDoNotHoldTheId) {
  SeedUsers({"owner"}, "right");
  StartWithStore();
  std::vector<LineClient> guessers(3);
  for (auto& guesser : guessers) SendLogin(guesser, "LOGIN|owner|GAME|wrong");
  LineClient stats;
  ASSERT_TRUE(stats.Connect(FPort));
  Sync(stats);  // the guesses, sent first, have reached the server
  LineClient owner;
  SendLogin(owner, "LOGIN|owner|GAME|right", "127.0.0.2");
  EXPECT_THAT(NextAnswer(owner), StartsWith("LOGIN|SUCCESS|owner^"));
  for (auto& guesser : guessers) EXPECT_EQ(NextAnswer(guesser), kInvalidPassword);
}

TEST_P(HostileStoreTest, FeedbackPastTheRateOrTheSizeIsRefused) {
  StartWithStore();
  LineClient bob;
  Register(bob, "bob", "secret");
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(bob.WriteLine("FEEDBACK|note " + std::to_string(i)));
  EXPECT_EQ(Ask(bob, "FEEDBACK|one too many"), kTooMuchFeedback);
  EXPECT_EQ(Query("SELECT count(*) FROM Feedback"), "10");

  LineClient ann;
  Register(ann, "ann", "secret");
  EXPECT_EQ(Ask(ann, "FEEDBACK|" + std::string(4097, 'f')), kTooMuchFeedback);
  ASSERT_TRUE(ann.WriteLine("FEEDBACK|" + std::string(4096, 'f')));
  Sync(ann);
  EXPECT_EQ(Query("SELECT count(*) FROM Feedback WHERE ID = 'ann'"), "1");
}

INSTANTIATE_TEST_SUITE_P(Daemon, HostileStoreTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
