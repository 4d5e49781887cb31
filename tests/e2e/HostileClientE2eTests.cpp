// The daemon against clients that send what a well-behaved client never does: bad names, lines
// that would not fit a receiver, too many connections from one address, connections that never
// log in. Loopback only; every wait is bounded.
#include <gmock/gmock.h>

#include <fstream>

#include "E2eSupport.h"
#include "FullGlyph.h"
#include "ZorvaUser.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kReceiverLimit = 65536;

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

INSTANTIATE_TEST_SUITE_P(Daemon, HostileClientTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
