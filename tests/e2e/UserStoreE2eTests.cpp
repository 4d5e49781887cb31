// A server program with a user store (--users PATH) over real TCP: registrations, logins and
// feedback end up in the database file, survive a hard kill, and a burst of logins leaves chat
// running. Instantiated per server program (UserStoreE2eTest.h).
#include <gmock/gmock.h>

#include <algorithm>
#include <thread>

#include "UserStoreE2eTest.h"

namespace zorva::test {
namespace {

using testing::HasSubstr;

TEST_P(UserStoreE2eTest, RegistrationCreatesTheRowAndLoginsCountIt) {
  StartWithStore();
  {
    LineClient bob;
    Register(bob, "bob", "secret");
  }
  const std::string today = IsoToday();
  const std::string row = UserRow("bob");
  EXPECT_THAT(row, testing::StartsWith("$argon2id$"));
  EXPECT_THAT(row, testing::EndsWith("|Oslo|" + today + "|" + today + "|1"));

  // The first session may still be leaving; its id is free once the server has dropped it.
  LineClient again;
  ASSERT_TRUE(again.Connect(FPort));
  std::string answer;
  for (int attempt = 0; attempt < 50; ++attempt) {
    answer = Ask(again, "LOGIN|bob|GAME|secret");
    if (!answer.ends_with("already logged in")) break;
    std::this_thread::sleep_for(20ms);
  }
  TZorvaUser sent;
  sent.fromString(answer.substr(std::string("LOGIN|SUCCESS|").size()));
  EXPECT_EQ(sent.LoginCount(), 2);
  EXPECT_EQ(sent.Password(), "");
  EXPECT_EQ(sent.City(), "Oslo");
  EXPECT_THAT(UserRow("bob"), testing::EndsWith("|2"));
}

TEST_P(UserStoreE2eTest, RefusedLoginsLeaveTheRowUntouched) {
  StartWithStore();
  LineClient bob;
  Register(bob, "bob", "secret");
  const std::string before = UserRow("bob");

  struct Case {
    const char* Label;
    std::string Line;
    std::string Answer;
  };
  for (const auto& c : {
           Case{"second_registration", "LOGINNEW|bob|GAME|" + NewUserText("bob", "mine"),
                "LOGIN|ERROR|This User ID is already being used"},
           Case{"wrong_password", "LOGIN|bob|GAME|Secret", "LOGIN|ERROR|Invalid Password"},
           Case{"unknown_id", "LOGIN|carol|GAME|secret", "LOGIN|ERROR|Invalid User Id"},
           Case{"registration_without_password", "LOGINNEW|dave|GAME|" + NewUserText("dave", ""),
                "LOGIN|ERROR|A password is required"},
       }) {
    // Logged-in ids are refused before the store is asked; bob must be away for these.
    bob.Close();
    LineClient client;
    ASSERT_TRUE(client.Connect(FPort));
    std::string answer;
    for (int attempt = 0; attempt < 50; ++attempt) {
      answer = Ask(client, c.Line);
      if (!answer.ends_with("already logged in")) break;
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(answer, c.Answer) << c.Label;
    EXPECT_EQ(UserRow("bob"), before) << c.Label;
  }
  EXPECT_EQ(Query("SELECT count(*) FROM ZorvaUsers"), "1");
}

TEST_P(UserStoreE2eTest, FeedbackRowsKeepTheWholeText) {
  StartWithStore();
  LineClient bob;
  Register(bob, "bob", "secret");
  bob.WriteLine("FEEDBACK|too|many|bars");
  bob.WriteLine("FEEDBACK|");
  Sync(bob);
  EXPECT_EQ(Query("SELECT count(*) FROM Feedback"), "2");
  EXPECT_EQ(Query("SELECT ID || ' ' || SUBJECTCD || ' ' || DATE || ' ' || FEEDBACK FROM Feedback "
                  "ORDER BY rowid"),
            "bob GAME " + IsoToday() + " too|many|bars");
}

TEST_P(UserStoreE2eTest, AcknowledgedWorkSurvivesAHardKill) {
  StartWithStore();
  {
    LineClient bob;
    Register(bob, "bob", "secret");
    bob.WriteLine("FEEDBACK|kept");
    Sync(bob);
    FServer->Signal(SIGKILL);
    ASSERT_EQ(FServer->WaitExit(), 128 + SIGKILL);
  }
  StartWithStore();
  LineClient bob;
  ASSERT_TRUE(bob.Connect(FPort));
  const auto answer = Ask(bob, "LOGIN|bob|GAME|secret");
  ASSERT_THAT(answer, testing::StartsWith("LOGIN|SUCCESS|bob^")) << answer;
  TZorvaUser user;
  user.fromString(answer.substr(std::string("LOGIN|SUCCESS|").size()));
  EXPECT_EQ(user.LoginCount(), 2);
  EXPECT_EQ(Query("SELECT FEEDBACK FROM Feedback"), "kept");
}

TEST_P(UserStoreE2eTest, UnusableDatabaseStopsTheStartWithExitCodeOne) {
  std::ofstream(FFolder / "text.db") << "not a database, just words\n";
  struct Case {
    const char* Label;
    std::string Path;
    std::string Reason;
  };
  for (const auto& c :
       {Case{"missing_folder", (FFolder / "no" / "users.db").string(), "unable to open"},
        Case{"not_a_database", (FFolder / "text.db").string(), "not a database"}}) {
    ServerProcess server(FFolder);
    ASSERT_TRUE(server.Spawn(CommandLine({"--users", c.Path})));
    EXPECT_EQ(server.WaitExit(), 1) << c.Label;
    EXPECT_THAT(server.Stderr(), HasSubstr(c.Path)) << c.Label;
    EXPECT_THAT(server.Stderr(), HasSubstr(c.Reason)) << c.Label;
    EXPECT_THAT(server.Stdout(), testing::Not(HasSubstr("Listening"))) << c.Label;
  }
}

// Every client reconnecting at once after a restart: the password checks must not hold up the
// chat of those already in.
TEST_P(UserStoreE2eTest, LoginBurstLeavesChatResponsive) {
  constexpr int kLogins = 200;
  std::vector<std::string> ids = {"chat1", "chat2"};
  for (int i = 0; i < kLogins; ++i) ids.push_back("u" + std::to_string(i));
  SeedUsers(ids, "pw");
  // On a loaded machine the burst can outlast a ping interval; a ping read where the login's
  // answer is expected would count as a failed login. Every client comes from 127.0.0.1.
  StartServer({"--users", UsersPath(), "--ping-interval-ms", "600000", "--timeout", "900",
               "--max-clients-per-address", "0"});
  LineClient chat1;
  LineClient chat2;
  Login(chat1, "chat1", "CHAT");
  Login(chat2, "chat2", "CHAT");
  ASSERT_TRUE(chat1.ReadLine().has_value());  // ADDGUEST|chat2

  std::vector<LineClient> burst(kLogins);
  for (auto& client : burst) ASSERT_TRUE(client.Connect(FPort));
  std::atomic<bool> burstDone = false;
  int succeeded = 0;
  std::chrono::duration<double> burstTime{};
  std::thread loginThread([&] {
    const auto start = std::chrono::steady_clock::now();
    // Each in a lobby of its own, so that the measure is the login and not the fan-out.
    for (int i = 0; i < kLogins; ++i) {
      burst[i].WriteLine("LOGIN|u" + std::to_string(i) + "|B" + std::to_string(i) + "|pw");
    }
    for (auto& client : burst) {
      succeeded += client.ReadLine(60s).value_or("").starts_with("LOGIN|SUCCESS|");
    }
    burstTime = std::chrono::steady_clock::now() - start;
    burstDone = true;
  });

  // chat1 says something, chat2 answers when it arrives: one round trip through the server.
  std::vector<double> roundTrips;
  bool chatting = true;
  for (int i = 0; chatting && !burstDone && i < 10000; ++i) {
    const std::string text = "ping " + std::to_string(i);
    const auto sent = std::chrono::steady_clock::now();
    chat1.WriteLine("SEND|CHAT|" + text);
    chatting = chat2.ReadLine(10s) == "SEND|chat1|CHAT|" + text;
    chat2.WriteLine("SEND|CHAT|" + text);
    chatting = chatting && chat1.ReadLine(10s) == "SEND|chat2|CHAT|" + text;
    EXPECT_TRUE(chatting) << "chat line " << i << " lost";
    roundTrips.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
    std::this_thread::sleep_for(5ms);
  }
  loginThread.join();

  ASSERT_EQ(succeeded, kLogins);
  ASSERT_FALSE(roundTrips.empty());
  std::sort(roundTrips.begin(), roundTrips.end());
  const double median = roundTrips[roundTrips.size() / 2];
  const double worst = roundTrips.back();
  const double loginsPerSecond = kLogins / burstTime.count();
  std::printf(
      "[ measure  ] %d logins in %.2f s (%.1f logins/s); chat round trip over %zu "
      "exchanges: median %.2f ms, worst %.2f ms\n",
      kLogins, burstTime.count(), loginsPerSecond, roundTrips.size(), median, worst);
  RecordProperty("logins_per_second", std::to_string(loginsPerSecond));
  RecordProperty("chat_round_trip_worst_ms", std::to_string(worst));
  // The bound is 50 ms; the machine running the tests is shared, so only a stall far beyond
  // it fails here.
  EXPECT_LT(median, 50.0);
  EXPECT_LT(worst, 250.0);
}

}  // namespace
}  // namespace zorva::test
