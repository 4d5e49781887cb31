// The daemon zorva-server: the shared server tests, and what only a command-line program has
// (its options, signals, exit codes, stdout and stderr).
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "E2eSupport.h"
#include "UserStoreE2eTest.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

INSTANTIATE_TEST_SUITE_P(Daemon, ServerE2eTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });
INSTANTIATE_TEST_SUITE_P(Daemon, UserStoreE2eTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

struct SignalCase {
  const char* label;
  int signal;
};

class DaemonTest : public ServerE2eTest {};

TEST_P(DaemonTest, StopsCleanlyClosingEveryConnection) {
  for (const auto& c : {SignalCase{"SIGTERM", SIGTERM}, SignalCase{"SIGINT", SIGINT}}) {
    StartServer();
    LineClient ann;
    LineClient idle;
    Login(ann, "ann");
    ASSERT_TRUE(idle.Connect(FPort));
    FServer->Signal(c.signal);
    EXPECT_TRUE(ann.WaitClosed()) << c.label;
    EXPECT_TRUE(idle.WaitClosed()) << c.label;
    ann.Close();  // the server waits for the clients' ends, or 2 s
    idle.Close();
    EXPECT_EQ(FServer->WaitExit(1500ms), 0) << c.label << "\n" << FServer->Stderr();
    EXPECT_THAT(ProblemLines(FServer->Stderr()), testing::IsEmpty()) << c.label;
    EXPECT_THAT(FServer->Stderr(), HasSubstr(" info stop signal=" + std::to_string(c.signal)));
  }
}

TEST_P(DaemonTest, PortInUseEndsWithExitCodeOne) {
  const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
  const auto port = std::to_string(ntohs(address.sin_port));

  ServerProcess server(FFolder);
  ASSERT_TRUE(server.Spawn(CommandLine({"--port", port})));
  EXPECT_EQ(server.WaitExit(), 1);
  EXPECT_THAT(server.Stderr(), HasSubstr("127.0.0.1:" + port));
  EXPECT_EQ(server.Stdout(), "");
  ::close(blocker);
}

TEST_P(DaemonTest, BadCommandLinesAreRefusedAndHelpListsTheOptions) {
  struct Case {
    const char* label;
    std::vector<std::string> args;
    const char* says = "";  // part of the error, where its wording matters
  };
  for (const auto& c :
       {Case{"port_too_big", {"--port", "70000"}}, Case{"unknown_option", {"--colour"}},
        Case{"max_line_zero", {"--max-line", "0"}}, Case{"line_burst_zero", {"--line-burst", "0"}},
        Case{"negative_max_clients", {"--max-clients", "-1"}},
        Case{"too_many_registrations",
             {"--max-registrations-per-hour", "3000000000"},
             "give 0 to 2147483647 registrations"},
        Case{"log_without_folder", {"--log", "/nonexistent/folder/x.log"}}}) {
    ServerProcess server(FFolder);
    ASSERT_TRUE(server.Spawn(CommandLine(c.args)));
    const auto exitCode = server.WaitExit();
    EXPECT_TRUE(exitCode.has_value() && *exitCode != 0) << c.label;
    EXPECT_NE(server.Stderr(), "") << c.label;
    EXPECT_THAT(server.Stderr(), HasSubstr(c.says)) << c.label;
  }
  ServerProcess help(FFolder);
  ASSERT_TRUE(help.Spawn({ZORVA_SERVER_BINARY, "--help"}));
  EXPECT_EQ(help.WaitExit(), 0);
  for (const auto* option :
       {"--port", "--bind", "--ini", "--lobby-name", "--timeout", "--ping-interval-ms", "--log",
        "--trace", "--max-line", "--max-output", "--users", "--max-clients",
        "--max-lines-per-second", "--line-burst", "--max-bytes-per-second"}) {
    EXPECT_THAT(help.Stdout(), HasSubstr(option));
  }
}

TEST_P(DaemonTest, TraceGoesToStdoutAndLogFileInItsOwnFormat) {
  const auto logPath = (FFolder / "trace.log").string();
  StartServer({"--trace", "--log", logPath});
  LineClient ann;
  Login(ann, "ann");
  FServer->Signal(SIGTERM);
  ASSERT_EQ(FServer->WaitExit(), 0);
  const auto out = FServer->Stdout();
  EXPECT_THAT(out, HasSubstr("\nRcvd From 127.0.0.1: LOGIN|ann|GAME|***\n"));
  EXPECT_THAT(out, HasSubstr("\nSent To ann: LOGIN|SUCCESS|ann^"));
  const auto log = ReadFile(logPath);
  EXPECT_THAT(log, HasSubstr("\nRcvd From 127.0.0.1: LOGIN|ann|GAME|***\n"));
  EXPECT_THAT(log, HasSubstr("\nSent To ann: SUBJECTS|Lobby Chat|\n"));
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
