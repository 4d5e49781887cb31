// zorva-server's command line and settings file as a person meets them: the words of each
// refusal, the exit codes, and which of the two wins.
#include <gmock/gmock.h>

#include "E2eSupport.h"

namespace zorva::test {
namespace {

using testing::HasSubstr;

class DaemonOptionsTest : public ServerE2eTest {
 protected:
  // Runs the daemon to its end; for commands that must not start it.
  std::optional<int> RunToEnd(const std::vector<std::string>& argv, ServerProcess& server) {
    EXPECT_TRUE(server.Spawn(argv));
    return server.WaitExit();
  }
  void WriteIni(const std::string& text) { std::ofstream(IniPath(), std::ios::binary) << text; }
};

TEST_P(DaemonOptionsTest, RefusalsNameTheOptionTheValueAndWhatIsAllowed) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  };
  const Case cases[] = {
      {{"--timeout", "0"}, 2, "--timeout: 0 is out of range; give 1 to 2147483 seconds"},
      {{"--port", "abc"}, 2, "--port: 'abc' is not a number"},
      {{"--port", "65536"}, 2, "--port: 65536 is out of range; give 0 to 65535"},
      {{"--max-line", "0"}, 2, "--max-line: 0 is out of range; give 1 to 2147483647 bytes"},
      {{"--colour"}, 2, "The following argument was not expected: --colour"},
      {{"--bind", "no host here"}, 1, "--bind: cannot find the address of 'no host here'"},
      {{"--cluster", "http://127.0.0.1:6379"},
       2,
       "--cluster: expected redis://HOST:PORT[/DB], got \"http://127.0.0.1:6379\""},
      {{"--node-id", "a|b"}, 2, "--node-id: 'a|b' is not a node id; give 1 to 64 bytes"},
      {{"--cluster-heartbeat-ms", "100"},
       2,
       "--cluster-heartbeat-ms: 100 is out of range; give 200 to 3600000 milliseconds"},
      // The listening port is the default id's part, and port 0 is chosen only later.
      {{"--cluster", "redis://127.0.0.1:6379"}, 1, "--cluster with --port 0 needs --node-id"},
  };
  for (const auto& c : cases) {
    ServerProcess server(FFolder);
    EXPECT_EQ(RunToEnd(CommandLine(c.args), server), c.exitCode) << c.args[0];
    EXPECT_THAT(server.Stderr(), HasSubstr("zorva-server: " + c.message)) << c.args[0];
    EXPECT_EQ(server.Stdout(), "") << c.args[0];
  }
}

TEST_P(DaemonOptionsTest, VersionAndHelpEndAtOnceWithZero) {
  ServerProcess version(FFolder);
  EXPECT_EQ(RunToEnd({GetParam().Argv[0], "--version"}, version), 0);
  EXPECT_THAT(version.Stdout(), testing::MatchesRegex("zorva-server [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  ServerProcess help(FFolder);
  EXPECT_EQ(RunToEnd({GetParam().Argv[0], "--help"}, help), 0);
  EXPECT_THAT(help.Stdout(), HasSubstr("2 for a mistake on the command line"));
}

TEST_P(DaemonOptionsTest, UnreadableSettingsFileStopsTheStart) {
  std::filesystem::create_directories(IniPath());
  ServerProcess server(FFolder);
  EXPECT_EQ(RunToEnd(CommandLine({}), server), 1);
  EXPECT_THAT(server.Stderr(), HasSubstr("is a folder, not a settings file"));
}

TEST_P(DaemonOptionsTest, FileValuesInErrorAreReportedAndTheDefaultsServe) {
  WriteIni("[ZorvaServer]\nTimeout=0\nmax-line=abc\n");
  StartServer();
  const auto ini = IniPath().string();
  EXPECT_THAT(FServer->Stderr(),
              HasSubstr(ini + ": Timeout=0: 0 is out of range; give 1 to 2147483 seconds; "
                              "using 60 instead"));
  EXPECT_THAT(FServer->Stderr(),
              HasSubstr(ini + ": max-line=abc: 'abc' is not a number; using 65536 instead"));
  LineClient ann;
  Login(ann, "ann");
}

TEST_P(DaemonOptionsTest, CommandLineWinsOverTheFileAndHostNamesAreResolved) {
  // A line limit of 10 from the file would refuse the login line; the command line lifts it.
  WriteIni("[ZorvaServer]\nmax-line=10\nbind=192.0.2.1\n");
  StartServer({"--max-line", "1000", "--bind", "localhost"});
  EXPECT_EQ(FServer->FirstLine.rfind("Listening on 127.0.0.1:", 0), 0u) << FServer->FirstLine;
  LineClient ann;
  Login(ann, "ann");
}

// The start says what decides about users: the store with its count, or that anyone gets in.
TEST_P(DaemonOptionsTest, StartNamesTheUserStoreAndItsCount) {
  const auto users = (FFolder / "users.db").string();
  const auto startLine = [this](const std::vector<std::string>& options) {
    StartServer(options);
    for (int wait = 0; wait < 500 && FServer->Stdout().find("Users: ") == std::string::npos; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto out = FServer->Stdout();
    const auto at = out.find("Users: ");
    return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  };
  EXPECT_THAT(startLine({}), HasSubstr("without --users any id but NewUser logs in"));
  EXPECT_EQ(startLine({"--users", users}), "Users: " + users + ", 0 registered");
  LineClient ann;
  ASSERT_TRUE(ann.Connect(FPort));
  ASSERT_TRUE(ann.WriteLine("LOGINNEW|ann|GAME|ann^pw^" + std::string(7, '^') +
                            "01/01/2024^01/01/2024^1^^0`0`^"));
  const auto answer = ann.ReadLine();
  ASSERT_TRUE(answer && answer->starts_with("LOGIN|SUCCESS|ann^")) << answer.value_or("none");
  FServer->Signal(SIGTERM);
  ASSERT_EQ(FServer->WaitExit(), 0);
  EXPECT_EQ(startLine({"--users", users}), "Users: " + users + ", 1 registered");
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonOptionsTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
