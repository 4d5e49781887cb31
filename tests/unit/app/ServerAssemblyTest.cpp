// The parts both server programs build: each option must reach the core, a user database that
// cannot be opened must leave nothing behind, and a failed start must say why.
#include "ServerAssembly.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CoreHarness.h"

namespace zorva {
namespace {

using testing::FakeTransport;
using testing::RecordingObserver;

class ServerAssemblyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("zorva-assembly-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(FDir);
    std::filesystem::create_directories(FDir);
    FOptions.IniPath = (FDir / "Win.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }

  std::unique_ptr<TServerAssembly> Build() {
    return TServerAssembly::Build(FTransport, FOptions, FSettings, FError);
  }
  // Started, observed, with connection 1 open.
  ServerCore& Run(TServerAssembly& server) {
    EXPECT_TRUE(server.Start(FError)) << FError;
    server.Core().SetObserver(&FObserver);
    server.Core().OnClientConnect(1, "10.0.0.1", "127.0.0.1");
    return server.Core();
  }
  std::vector<std::string> SentTo(ConnectionId id) const {
    std::vector<std::string> lines;
    for (const auto& sent : FTransport.Sent)
      if (sent.Id == id) lines.push_back(sent.Line);
    return lines;
  }

  std::filesystem::path FDir;
  FakeTransport FTransport;
  RecordingObserver FObserver;
  TServerOptions FOptions;
  TServerSettings FSettings;
  std::string FError;
};

TEST_F(ServerAssemblyTest, WithoutAUsersFileTheBaseHooksDecide) {
  const auto server = Build();
  ASSERT_NE(server, nullptr) << FError;
  EXPECT_EQ(server->UserStore(), nullptr);
  ServerCore& core = Run(*server);
  // The base hooks know every id but "NewUser" and keep nothing.
  core.OnClientRead(1, "LOGIN|NewUser|Chess|pw\n");
  FTransport.RunPosted();
  EXPECT_EQ(SentTo(1), std::vector<std::string>{"LOGIN|ERROR|Invalid User Id"});
}

TEST_F(ServerAssemblyTest, AUsersFileBecomesTheStoreTheCoreAsks) {
  FOptions.UsersPath = (FDir / "users.db").string();
  const auto server = Build();
  ASSERT_NE(server, nullptr) << FError;
  EXPECT_NE(server->UserStore(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(*FOptions.UsersPath));
}

TEST_F(ServerAssemblyTest, AUsersFileThatCannotBeOpenedBuildsNothingAndSaysWhy) {
  FOptions.UsersPath = (FDir / "missing-folder" / "users.db").string();
  EXPECT_EQ(Build(), nullptr);
  EXPECT_FALSE(FError.empty());
  EXPECT_FALSE(std::filesystem::exists(FDir / "missing-folder"));
  EXPECT_FALSE(FTransport.Listening);
}

struct TLimitCase {
  const char* Label;
  std::size_t MaxLine;
  std::size_t MaxClients;
  bool Trace;
  const char* Line;         // sent by connection 1
  const char* SecondGuest;  // what connection 2 is sent on arrival, "" for nothing
  const char* FirstAnswer;  // the first line connection 1 is sent
  std::size_t TracedIncoming;
};

class ServerAssemblyLimits : public ServerAssemblyTest,
                             public ::testing::WithParamInterface<TLimitCase> {};

TEST_P(ServerAssemblyLimits, EachOptionReachesTheCore) {
  const TLimitCase& c = GetParam();
  FOptions.Limits.MaxLine = c.MaxLine;
  FOptions.MaxClients = c.MaxClients;
  FOptions.Trace = c.Trace;
  const auto server = Build();
  ASSERT_NE(server, nullptr) << FError;
  ServerCore& core = Run(*server);
  core.OnClientConnect(2, "10.0.0.2", "127.0.0.1");
  core.OnClientRead(1, std::string(c.Line) + "\n");
  const auto second = SentTo(2);
  EXPECT_EQ(second.empty() ? "" : second.front(), c.SecondGuest);
  ASSERT_FALSE(SentTo(1).empty());
  EXPECT_EQ(SentTo(1).front(), c.FirstAnswer);
  EXPECT_EQ(FObserver.Incoming.size(), c.TracedIncoming);
}

INSTANTIATE_TEST_SUITE_P(Cases, ServerAssemblyLimits,
                         ::testing::Values(TLimitCase{"Defaults", 65536, 0, false, "JOINSUBJECT|x",
                                                      "", "ERROR|You are not logged in", 0},
                                           TLimitCase{"LineJustFits", 13, 0, false, "JOINSUBJECT|x",
                                                      "", "ERROR|You are not logged in", 0},
                                           TLimitCase{"LineOneOver", 12, 0, false, "JOINSUBJECT|x",
                                                      "", "ERROR|Line too long", 0},
                                           TLimitCase{"OneClient", 65536, 1, false, "JOINSUBJECT|x",
                                                      "ERROR|The Server is full",
                                                      "ERROR|You are not logged in", 0},
                                           TLimitCase{"Traced", 65536, 0, true, "JOINSUBJECT|x", "",
                                                      "ERROR|You are not logged in", 1}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST_F(ServerAssemblyTest, SettingsArriveAsGivenAndAFailedStartSaysWhy) {
  FTransport.FailListen = true;
  FSettings.LobbyName = "Hall";
  const auto server = Build();
  ASSERT_NE(server, nullptr) << FError;
  EXPECT_EQ(server->Core().Settings().LobbyName, "Hall");
  EXPECT_FALSE(server->Start(FError));
  EXPECT_EQ(FError, "Address already in use");
  EXPECT_FALSE(server->Core().Running());
}

TEST_F(ServerAssemblyTest, StartupSettingsLetTheCommandLineWinOverTheIniFile) {
  ASSERT_TRUE(WriteSettings(FOptions.IniPath, TServerSettings{"Hall", 90, 4100}));
  FOptions.Settings.Port = 4200;
  const TServerSettings settings = StartupSettings(FOptions);
  EXPECT_EQ(settings.LobbyName, "Hall");
  EXPECT_EQ(settings.Timeout, 90);
  EXPECT_EQ(settings.Port, 4200);
}

}  // namespace
}  // namespace zorva
