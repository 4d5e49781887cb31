// Three daemons sharing one Redis, met by clients as one server: what a client on one node sees
// of the others, the member limit under a race, and what happens when a node or Redis dies.
#include <gmock/gmock.h>

#include <map>

#include "ClusterE2eSupport.h"

namespace zorva::test {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::StartsWith;

constexpr auto kReapLimit = std::chrono::milliseconds(10000);

TEST_F(ClusterE2eTest, LobbyAndSubjectsAreSharedAcrossNodes) {
  LineClient ann, bob, cat;
  const auto annLogin = LogIn(ann, Node(0), "ann");
  ASSERT_THAT(annLogin, ElementsAre(StartsWith("LOGIN|SUCCESS|"), "SUBJECTS|Lobby Chat|",
                                    "JOINSUBJECT|Lobby Chat|" + UserText(annLogin)));
  const auto catLogin = LogIn(cat, Node(2), "cat");
  // The lobby's members are the cluster's, in joining order.
  EXPECT_EQ(catLogin.at(2),
            "JOINSUBJECT|Lobby Chat|" + UserText(annLogin) + "|" + UserText(catLogin));
  EXPECT_TRUE(ReadUntil(ann, "ADDGUEST|cat|" + UserText(catLogin)));

  ann.WriteLine("CREATESUBJECT|Den|0|");
  EXPECT_TRUE(ReadUntil(cat, "ADDSUBJECT|Den"));
  EXPECT_TRUE(ReadUntil(cat, "REMOVEGUEST|ann"));

  const auto bobLogin = LogIn(bob, Node(1), "bob");
  EXPECT_EQ(bobLogin.at(1), "SUBJECTS|Lobby Chat|Den|");
  bob.WriteLine("JOINSUBJECT|Den");
  EXPECT_TRUE(ReadUntil(bob, "JOINSUBJECT|Den|" + UserText(annLogin) + "|" + UserText(bobLogin)));
  EXPECT_TRUE(ReadUntil(ann, "ADDGUEST|bob|" + UserText(bobLogin)));
}

// The field of a "SERVERSTATS|StatsText|" line at `index` (0: SecondsActive).
std::string StatsField(const std::string& line, int index) {
  std::string_view rest = line;
  rest.remove_prefix(std::min(rest.size(), std::string_view("SERVERSTATS|").size()));
  for (int i = 0; i < index && !rest.empty(); ++i) rest.remove_prefix(rest.find('`') + 1);
  return std::string(rest.substr(0, rest.find('`')));
}

TEST_F(ClusterE2eTest, UsersAndStatisticsAreTheClustersOnEveryNode) {
  LineClient ann, bob, cat;
  const auto annLogin = LogIn(ann, Node(0), "ann");
  LogIn(bob, Node(1), "bob");
  LogIn(cat, Node(2), "cat");

  cat.WriteLine("USERINFO|ann|");
  EXPECT_TRUE(ReadUntil(cat, "USERINFO|" + UserText(annLogin) + "|"));
  cat.WriteLine("USERINFO|nobody|");
  EXPECT_TRUE(ReadUntil(cat, "ERROR|The specified User could not be found"));

  // ann's record is "ann^^^…": the name is its third field.
  const auto renamed = "ann^^Ann" + UserText(annLogin).substr(5);
  ann.WriteLine("USERUPDATE|ann|" + renamed + "|");
  for (auto* member : {&bob, &cat}) EXPECT_TRUE(ReadUntil(*member, "USERINFO|" + renamed + "|"));

  // Current connections are the cluster's once a heartbeat has counted them.
  std::string stats;
  EXPECT_TRUE(WaitLong([&] {
    bob.WriteLine("SERVERSTATS|");
    for (auto line = bob.ReadLine(); line; line = bob.ReadLine()) {
      if (line->starts_with("SERVERSTATS|")) {
        stats = *line;
        break;
      }
    }
    return StatsField(stats, 1) == "3";
  })) << stats;
}

// Each sender's lines arrive in the order sent, on its own node and on the others, though the
// two senders' lines interleave.
TEST_F(ClusterE2eTest, ChatBetweenNodesKeepsEachSendersOrder) {
  constexpr int kLines = 200;
  LineClient ann, bob, cat;
  LogIn(ann, Node(0), "ann");
  LogIn(bob, Node(1), "bob");
  LogIn(cat, Node(2), "cat");
  for (int i = 0; i < kLines; ++i) {
    ann.WriteLine("SEND|CHAT|ann " + std::to_string(i));
    bob.WriteLine("SEND|CHAT|bob " + std::to_string(i));
  }
  std::map<std::string, int> next;
  for (int received = 0; received < 2 * kLines; ++received) {
    const auto line = cat.ReadLine();
    ASSERT_TRUE(line.has_value()) << "after " << received << " lines";
    if (!line->starts_with("SEND|")) {  // pings, arrivals
      --received;
      continue;
    }
    const auto sender = line->substr(5, 3);
    ASSERT_EQ(*line, "SEND|" + sender + "|CHAT|" + sender + " " + std::to_string(next[sender]++));
  }
  EXPECT_TRUE(ReadUntil(ann, "SEND|bob|CHAT|bob " + std::to_string(kLines - 1)));
}

// Sixty clients over three nodes ask for the four places left at once: four get in.
TEST_F(ClusterE2eTest, MemberLimitHoldsUnderARaceAcrossNodes) {
  constexpr int kClients = 60;
  LineClient owner;
  LogIn(owner, Node(0), "owner");
  owner.WriteLine("CREATESUBJECT|Five|5|");
  ASSERT_TRUE(ReadUntil(owner, "ADDSUBJECT|Five"));
  std::vector<std::unique_ptr<LineClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<LineClient>());
    LogIn(*clients.back(), Node(i % 3), "p" + std::to_string(i));
  }
  for (auto& client : clients) client->WriteLine("JOINSUBJECT|Five");
  int joined = 0;
  int refused = 0;
  for (auto& client : clients) {
    for (auto line = client->ReadLine(); line; line = client->ReadLine()) {
      if (line->starts_with("JOINSUBJECT|Five|")) {
        ++joined;
        break;
      }
      if (*line == "ERROR|The specified Subject is already filled") {
        ++refused;
        break;
      }
    }
  }
  EXPECT_EQ(joined, 4);
  EXPECT_EQ(refused, kClients - 4);
  EXPECT_TRUE(ReadUntil(owner, "BEGINSUBJECT|"));
}

TEST_F(ClusterE2eTest, AnIdLoggedInOnOneNodeIsRefusedOnEveryOther) {
  LineClient first;
  ASSERT_THAT(LoginTo(first, Node(0), "ann").at(0), StartsWith("LOGIN|SUCCESS|"));
  for (std::size_t node : {1u, 2u}) {
    LineClient second;
    EXPECT_THAT(LoginTo(second, Node(node), "ann"),
                ElementsAre("LOGIN|ERROR|A User with this ID is already logged in"))
        << Node(node).Id();
  }
  // Once it has left, the id is free everywhere.
  first.Close();
  EXPECT_TRUE(WaitLong([&] {
    LineClient again;
    return LoginTo(again, Node(1), "ann").at(0).starts_with("LOGIN|SUCCESS|");
  }));
}

TEST_F(ClusterE2eTest, AKilledNodesMembersAreAnnouncedGoneByTheOthers) {
  LineClient ann, bob, cat, dan;
  LogIn(ann, Node(0), "ann");
  LogIn(bob, Node(1), "bob");
  const auto catLogin = LogIn(cat, Node(2), "cat");
  LogIn(dan, Node(2), "dan");
  cat.WriteLine("CREATESUBJECT|Cats|0|");
  // Creating and joining are two steps in Redis: the creator's answer says both are done.
  ASSERT_TRUE(ReadUntil(cat, "JOINSUBJECT|Cats|" + UserText(catLogin)));
  ASSERT_TRUE(ReadUntil(ann, "ADDSUBJECT|Cats"));
  ASSERT_TRUE(ReadUntil(bob, "ADDSUBJECT|Cats"));

  Node(2).Kill();
  // Each node hears the reap once, whichever node ran it.
  EXPECT_THAT(NotArrived(ann, {"REMOVEGUEST|dan", "REMOVESUBJECT|Cats"}, kReapLimit), IsEmpty())
      << Node(0).Log();
  EXPECT_THAT(NotArrived(bob, {"REMOVEGUEST|dan", "REMOVESUBJECT|Cats"}, kReapLimit), IsEmpty())
      << Node(1).Log();
  // Its ids are free again.
  LineClient again;
  EXPECT_THAT(LoginTo(again, Node(1), "dan").at(0), StartsWith("LOGIN|SUCCESS|"));
}

TEST_F(ClusterE2eTest, ServiceGoesOnWithoutRedisAndTheSharedStateComesBack) {
  LineClient ann, amy, bob;
  LogIn(ann, Node(0), "ann");
  LogIn(amy, Node(0), "amy");
  LogIn(bob, Node(1), "bob");

  FRedis.Kill();
  ann.WriteLine("SEND|CHAT|still here");
  EXPECT_TRUE(ReadUntil(amy, "SEND|ann|CHAT|still here"));
  EXPECT_TRUE(WaitLong([&] {
    LineClient refused;
    return LoginTo(refused, Node(0), "eve").at(0) == "LOGIN|ERROR|The cluster is unavailable";
  }));

  ASSERT_TRUE(FRedis.Start());
  // Redis came back empty; every node puts its own guests back.
  LineClient cat;
  std::vector<std::string> catLogin;
  EXPECT_TRUE(WaitLong([&] {
    cat.Close();
    catLogin = LoginTo(cat, Node(2), "cat");
    return catLogin.size() == 3 && catLogin[2].find("|bob^") != std::string::npos &&
           catLogin[2].find("|amy^") != std::string::npos;
  })) << catLogin.back();
  ann.WriteLine("SEND|CHAT|back again");
  EXPECT_TRUE(ReadUntil(bob, "SEND|ann|CHAT|back again"));
}

// Redis down when a node starts: the node listens all the same and joins once Redis is there.
TEST(ClusterStartE2eTest, ANodeStartsWithoutRedisAndJoinsWhenItComes) {
  RedisServer redis;
  ClusterNode node("a");
  ASSERT_TRUE(node.Start(redis)) << node.Log();
  EXPECT_TRUE(WaitFor([&] { return node.Log().find("cluster_redis_down") != std::string::npos; }))
      << node.Log();
  LineClient early;
  EXPECT_TRUE(early.Connect(node.Port()) && early.WriteLine("LOGIN|ann|GAME|pw"));
  EXPECT_EQ(early.ReadLine(), "LOGIN|ERROR|The cluster is unavailable");

  ASSERT_TRUE(redis.Start());
  EXPECT_TRUE(WaitLong([&] {
    LineClient ann;
    return ann.Connect(node.Port()) && ann.WriteLine("LOGIN|ann|GAME|pw") &&
           ann.ReadLine().value_or("").starts_with("LOGIN|SUCCESS|");
  })) << node.Log();
}

// Node a with its admin API on: it answers for the whole cluster.
class ClusterAdminE2eTest : public ClusterE2eTest {
 protected:
  std::vector<std::string> MoreOptions(std::size_t node) const override {
    if (node != 0) return {};
    return {"--admin", "127.0.0.1:0", "--admin-token-file", TokenPath()};
  }
  std::string TokenPath() const { return (FFolder / "admin-token").string(); }

  // zorva-admin's output, or its error.
  std::string Admin(const std::vector<std::string>& args) {
    const auto url = Node(0).Process().WaitAnnounced("Admin API on ");
    std::vector<std::string> argv = {ZORVA_ADMIN_BINARY, "--url", url, "--token-file", TokenPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    ScratchFolder folder;
    ServerProcess program(folder);
    EXPECT_TRUE(program.Spawn(argv));
    EXPECT_EQ(program.WaitExit(), 0);
    return program.Stdout() + program.Stderr();
  }

  ScratchFolder FFolder;
};

TEST_F(ClusterAdminE2eTest, WhoListsTheMembersOfEveryNodeWithTheirNode) {
  LineClient ann, bob, cat;
  LogIn(ann, Node(0), "ann");
  LogIn(bob, Node(1), "bob");
  LogIn(cat, Node(2), "cat");
  std::string who;
  EXPECT_TRUE(WaitLong([&] {
    who = Admin({"who"});
    return who.find("cat") != std::string::npos;
  })) << who;
  // The other nodes' members have no address or arrival time here.
  EXPECT_THAT(who,
              testing::StartsWith("ID   NODE  CODE  SUBJECT     ADDRESS    RTT MS  CONNECTED"));
  EXPECT_THAT(who, testing::HasSubstr("\nann  a     GAME  Lobby Chat  127.0.0.1  0       20"));
  EXPECT_THAT(who, testing::HasSubstr("\nbob  b     GAME  Lobby Chat  -          0       -\n"));
  EXPECT_THAT(who, testing::HasSubstr("\ncat  c     GAME  Lobby Chat  -          0       -\n"));
}

}  // namespace
}  // namespace zorva::test
