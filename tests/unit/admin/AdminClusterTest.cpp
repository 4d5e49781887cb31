// The admin API of a node in a cluster: what it adds about the node and the cluster, and the
// members of other nodes in the user list, over a core whose cluster is a fake port.
#include "AdminApi.h"
#include "AdminCommand.h"
#include "CoreHarness.h"
#include "FakeClusterPort.h"
#include "MetricsText.h"

namespace zorva::testing {
namespace {

using nlohmann::json;
using Status = TClusterStatus;

class AdminClusterTest : public CoreTest {
 protected:
  void SetUp() override {
    Core.SetCluster(&Port);
    CoreTest::SetUp();
  }

  json Get(const std::string& target, const IClusterPort* cluster) {
    auto runner = [](const std::function<void()>& task) {
      task();
      return true;
    };
    AdminApi api({Core, Clock, runner, [] {}, [] { return 1'800'000'000.0; }, 0, cluster},
                 {"t", false});
    return json::parse(api.Handle({"GET", target, "Bearer t", ""}).Body);
  }

  // Logs `id` in on this node; the lobby already holds `remote` from node b.
  void LogInBeside(const std::string& id, const TClusterMember& remote) {
    Say(Connect(), "LOGIN|" + id + "|Game|pw");
    Port.Claim(Status::Done);
    Transport.RunPosted();
    Port.Create(Status::Done);
    Port.State(Status::Done, {{"Lobby Chat", 0, true, false, {remote}}});
    TJoinResult joined;
    joined.Status = Status::Done;
    joined.Members = {remote, {id, "a", 0, Wire(id)}};
    Port.Joined(joined);
  }

  test::FakeClusterPort Port;
};

TEST_F(AdminClusterTest, UsersListTheMembersOfOtherNodesWithTheirNode) {
  LogInBeside("ann", {"bob", "b", 7, Wire("bob")});
  const auto users = Get("/v1/users", &Port);
  ASSERT_EQ(users.size(), 2u) << users.dump();
  EXPECT_EQ(users[0]["id"], "ann");
  EXPECT_EQ(users[0]["node"], "a");
  EXPECT_TRUE(users[0]["connection"].is_number());
  EXPECT_EQ(users[1]["id"], "bob");
  EXPECT_EQ(users[1]["node"], "b");
  EXPECT_EQ(users[1]["subject"], "Lobby Chat");
  EXPECT_EQ(users[1]["round_trip_ms"], 7);
  // What only bob's node knows is not made up here.
  EXPECT_TRUE(users[1]["connection"].is_null());
  EXPECT_TRUE(users[1]["address"].is_null());
  // The code filter applies to remote members too.
  EXPECT_EQ(Get("/v1/users?code=Game", &Port).size(), 2u);
  EXPECT_EQ(Get("/v1/users?code=Other", &Port).size(), 0u);
  // The command's table gains the node column.
  EXPECT_EQ(RenderAnswer("who", users).substr(0, 12), "ID   NODE  C");
}

TEST_F(AdminClusterTest, StatsAndMetricsReportTheNodeAndTheClusterFigures) {
  Port.Figures = {.Connections = 42, .Subjects = 3};
  const auto stats = Get("/v1/stats", &Port);
  EXPECT_EQ(stats["node"], "a");
  EXPECT_EQ(stats["cluster_redis_up"], true);
  EXPECT_EQ(stats["cluster_connections"], 42);
  EXPECT_EQ(stats["cluster_subjects"], 3);

  Port.Up = false;
  Port.Node = R"(rack"7\b)";
  const auto text = MetricsText(TakeMetricsSnapshot(Core, 0, &Port));
  for (const auto* line :
       {"zorva_cluster_node_info{node=\"rack\\\"7\\\\b\"} 1\n", "zorva_cluster_up 0\n",
        "zorva_cluster_connections 42\n", "zorva_cluster_subjects 3\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

// Without a cluster nothing about one appears: a single server's answers stay as they were.
TEST_F(AdminClusterTest, ASingleServerShowsNoClusterFields) {
  const auto stats = Get("/v1/stats", nullptr);
  for (const auto* key : {"node", "cluster_redis_up", "cluster_connections", "cluster_subjects"}) {
    EXPECT_FALSE(stats.contains(key)) << key;
  }
  EXPECT_EQ(MetricsText(TakeMetricsSnapshot(Core, 0)).find("zorva_cluster"), std::string::npos);
}

}  // namespace
}  // namespace zorva::testing
