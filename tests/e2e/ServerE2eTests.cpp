// Tests that every server program passes over real TCP; instantiated per program.
#include <gmock/gmock.h>

#include "E2eSupport.h"
#include "SystemClock.h"
#include "ZorvaUser.h"

namespace zorva::test {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;

// What a fresh user of the permissive base hooks looks like on the wire after its login.
std::string FreshUserText(const std::string& id) {
  TZorvaUser user;
  user.SetId(id);
  user.SetLastLoginDate(SystemClock().Today());
  user.SetLoginCount(1);
  return user.toString();
}

std::vector<std::string> ReadLines(LineClient& client, int count) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) lines.push_back(client.ReadLine().value_or("<timeout>"));
  return lines;
}

TEST_P(ServerE2eTest, LoginAnswersWithTheExactSequence) {
  StartServer();
  LineClient ann;
  ASSERT_TRUE(ann.Connect(FPort));
  ann.WriteLine("LOGIN|ann|GAME|pw");
  const auto user = FreshUserText("ann");
  EXPECT_THAT(ReadLines(ann, 3), ElementsAre("LOGIN|SUCCESS|" + user, "SUBJECTS|Lobby Chat|",
                                             "JOINSUBJECT|Lobby Chat|" + user));
  ann.WriteLine("LOGIN|ann|GAME|pw");
  EXPECT_EQ(ann.ReadLine(), "LOGIN|ERROR|You are already logged in");
}

// The lobby's name comes from the INI file unless the command line gives one.
struct LobbyCase {
  const char* label;
  std::string ini;
  std::vector<std::string> options;
  std::string lobby;
};

TEST_P(ServerE2eTest, LobbyNameFromIniFileAndCommandLine) {
  for (const auto& c :
       {LobbyCase{"default", "", {}, "Lobby Chat"},
        LobbyCase{"ini", "[ZorvaServer]\nLobbyName=Hall\n", {}, "Hall"},
        LobbyCase{
            "option_wins", "[ZorvaServer]\nLobbyName=Hall\n", {"--lobby-name", "Den"}, "Den"}}) {
    std::ofstream(IniPath()) << c.ini;
    StartServer(c.options);
    LineClient client;
    ASSERT_TRUE(client.Connect(FPort));
    client.WriteLine("LOGIN|ann|GAME|pw");
    client.ReadLine();
    EXPECT_EQ(client.ReadLine(), "SUBJECTS|" + c.lobby + "|") << c.label;
  }
}

TEST_P(ServerE2eTest, ChatReachesTheOtherMembersOnly) {
  StartServer();
  LineClient ann;
  LineClient bob;
  Login(ann, "ann");
  Login(bob, "bob");
  EXPECT_EQ(ann.ReadLine(), "ADDGUEST|bob|" + FreshUserText("bob"));
  bob.WriteLine("SEND|CHAT|hello there");
  EXPECT_EQ(ann.ReadLine(), "SEND|bob|CHAT|hello there");
  ann.WriteLine("SEND|DATA|1|2");
  EXPECT_EQ(bob.ReadLine(), "SEND|ann|DATA|1|2");
  EXPECT_EQ(ann.ReadLine(std::chrono::milliseconds(200)), std::nullopt);
}

TEST_P(ServerE2eTest, LineArrivingInPiecesIsHandledWhenItsLineFeedArrives) {
  StartServer();
  LineClient ann;
  ASSERT_TRUE(ann.Connect(FPort));
  for (const auto* piece : {"LOG", "IN|an", "n|GA", "ME|pw"}) {
    ann.Write(piece);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_EQ(ann.ReadLine(std::chrono::milliseconds(200)), std::nullopt);
  ann.Write("\nSERVERSTATS|\nUSERINFO|ann|\n");
  EXPECT_EQ(ann.ReadLine(), "LOGIN|SUCCESS|" + FreshUserText("ann"));
  ReadLines(ann, 2);
  EXPECT_THAT(ann.ReadLine().value_or(""), testing::StartsWith("SERVERSTATS|"));
  EXPECT_EQ(ann.ReadLine(), "USERINFO|" + FreshUserText("ann") + "|");
}

TEST_P(ServerE2eTest, GuestThatNeverAnswersPingsIsDroppedOthersStay) {
  StartServer({"--ping-interval-ms", "200", "--timeout", "1"});
  LineClient silent;
  LineClient answering;
  ASSERT_TRUE(silent.Connect(FPort));
  ASSERT_TRUE(answering.Connect(FPort));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (!silent.Ended() && std::chrono::steady_clock::now() < deadline) {
    silent.WaitClosed(std::chrono::milliseconds(20));
    while (const auto ping = answering.ReadLine(std::chrono::milliseconds(1))) {
      EXPECT_EQ(*ping, "PING|");
      answering.WriteLine("PING|");
    }
  }
  EXPECT_TRUE(silent.Ended());
  EXPECT_EQ(silent.ReadLine(), "PING|");  // pinged first, then dropped
  EXPECT_EQ(answering.ReadLine(), "PING|");
}

TEST_P(ServerE2eTest, OverlongLineIsRefusedAndTheConnectionClosedGracefully) {
  StartServer();
  LineClient client;
  ASSERT_TRUE(client.Connect(FPort));
  client.Write(std::string(70000, 'x'));
  EXPECT_EQ(client.ReadLine(), "ERROR|Line too long");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_FALSE(client.Reset());
}

// Both programs take every server option; --max-clients must hold in each, whatever its
// transport.
TEST_P(ServerE2eTest, TakesEveryServerOptionAndHoldsMaxClients) {
  StartServer({"--lobby-name",
               "Den",
               "--timeout",
               "30",
               "--ping-interval-ms",
               "5000",
               "--log",
               (FFolder / "trace.log").string(),
               "--trace",
               "--max-line",
               "4096",
               "--max-output",
               "100000",
               "--max-clients",
               "1",
               "--max-lines-per-second",
               "0",
               "--line-burst",
               "10",
               "--max-bytes-per-second",
               "0"});
  LineClient ann;
  ASSERT_TRUE(ann.Connect(FPort));
  ann.WriteLine("LOGIN|ann|GAME|pw");
  ann.ReadLine();
  EXPECT_EQ(ann.ReadLine(), "SUBJECTS|Den|");
  LineClient refused;
  ASSERT_TRUE(refused.Connect(FPort));
  EXPECT_EQ(refused.ReadLine(), "ERROR|The Server is full");
  EXPECT_TRUE(refused.WaitClosed());
}

}  // namespace
}  // namespace zorva::test
