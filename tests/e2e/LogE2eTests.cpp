// The daemon's log as an operator and a log shipper see it: one line per login, leave and stop,
// as text or JSON lines; a --log file that survives rotation by SIGHUP; no password in any
// output; no control byte from a client on the terminal.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>

#include "E2eSupport.h"

namespace zorva::test {
namespace {

using testing::HasSubstr;
using testing::Not;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class DaemonLogTest : public DaemonE2eTest {
 protected:
  // ann logs in and leaves, a guest connects and leaves without logging in, then SIGTERM.
  void LoginDropAndStop(const std::vector<std::string>& options) {
    StartServer(options);
    {
      LineClient ann;
      Login(ann, "ann");
      LineClient guest;
      ASSERT_TRUE(guest.Connect(FPort));
      guest.Close();
      ann.Close();
    }
    ASSERT_TRUE(WaitFor([&] { return FServer->Stderr().find("logout") != std::string::npos; }));
    StopDaemon();
  }
};

TEST_P(DaemonLogTest, TextLinesOfALoginADropAndTheStop) {
  LoginDropAndStop({});
  const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
  const auto log = FServer->Stderr();
  for (const auto* expected :
       {R"( info start address=127\.0\.0\.1:\d+ store=none max_clients=\d+ )",
        R"( info login id=ann code=GAME address=127\.0\.0\.1 connection=\d+)",
        R"( info drop id="" code="" address=127\.0\.0\.1 connection=\d+ reason=quit)",
        R"( info logout id=ann code=GAME address=127\.0\.0\.1 connection=\d+ reason=quit)",
        R"( info stop signal=15)"}) {
    EXPECT_TRUE(std::regex_search(log, std::regex("(^|\n)" + time + expected))) << expected << "\n"
                                                                                << log;
  }
}

TEST_P(DaemonLogTest, JsonLinesParseAndNameEveryField) {
  LoginDropAndStop({"--log-format", "json"});
  std::vector<nlohmann::json> events;
  for (const auto& line : SplitLines(FServer->Stderr())) {
    ASSERT_NO_THROW(events.push_back(nlohmann::json::parse(line))) << line;
  }
  const auto find = [&](const std::string& name) {
    for (const auto& event : events) {
      if (event.value("event", "") == name) return event;
    }
    return nlohmann::json();
  };
  for (const auto& event : events) {
    EXPECT_TRUE(std::regex_match(event.value("time", ""),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << event;
    EXPECT_TRUE(event.contains("level")) << event;
  }
  const auto login = find("login");
  EXPECT_EQ(login.value("id", ""), "ann");
  EXPECT_EQ(login.value("code", ""), "GAME");
  EXPECT_EQ(login.value("address", ""), "127.0.0.1");
  EXPECT_EQ(login.value("level", ""), "info");
  EXPECT_EQ(find("drop").value("reason", ""), "quit");
  EXPECT_EQ(find("logout").value("id", ""), "ann");
  EXPECT_EQ(find("stop").value("signal", ""), "15");
  EXPECT_THAT(find("start").value("address", ""), HasSubstr("127.0.0.1:"));
}

TEST_P(DaemonLogTest, LevelAndFormatOptionsRefuseUnknownNames) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--log-format", "xml"}, {"--log-level", "verbose"}}) {
    ServerProcess server(FFolder);
    ASSERT_TRUE(server.Spawn(CommandLine(args)));
    const auto exitCode = server.WaitExit();
    EXPECT_TRUE(exitCode.has_value() && *exitCode != 0) << args[0];
    EXPECT_THAT(server.Stderr(), HasSubstr(args[1])) << args[0];
  }
}

TEST_P(DaemonLogTest, WarnLevelLeavesRoutineLinesOut) {
  StartServer({"--log-level", "warn"});
  {
    LineClient ann;
    Login(ann, "ann");
  }
  StopDaemon();
  EXPECT_EQ(FServer->Stderr(), "");
}

// A reset is one event: one line names gil, the address, the reason and the error.
TEST_P(DaemonLogTest, AResetIsOneLine) {
  StartServer({});
  LineClient gil;
  Login(gil, "gil");
  gil.Abort();
  ASSERT_TRUE(WaitFor([&] { return FServer->Stderr().find(" logout ") != std::string::npos; }));
  LineClient ann;
  Login(ann, "ann");  // any line about gil's reset comes before ann's login
  ASSERT_TRUE(WaitFor([&] { return FServer->Stderr().find("id=ann") != std::string::npos; }));
  StopDaemon();
  const std::vector<std::string> others = {" start ", " login ", " subject-created ", " stop ",
                                           "id=ann"};
  std::vector<std::string> aboutTheReset;
  for (const auto& line : SplitLines(FServer->Stderr())) {
    const bool other = std::ranges::any_of(
        others, [&](const std::string& word) { return line.find(word) != std::string::npos; });
    if (!other) aboutTheReset.push_back(line);
  }
  ASSERT_EQ(aboutTheReset.size(), 1u) << FServer->Stderr();
  EXPECT_THAT(aboutTheReset[0], HasSubstr(" logout id=gil code=GAME address=127.0.0.1 "));
  EXPECT_THAT(aboutTheReset[0], HasSubstr(" reason=socket-error error=104 "));
}

// Sent from the moment the daemon says it listens until its admin API is up: its loop takes
// SIGHUP over only after that.
TEST_P(DaemonLogTest, AHangupWhileStartingDoesNotEndTheDaemon) {
  FServer.emplace(FFolder);
  ASSERT_TRUE(FServer->Spawn(
      CommandLine({"--admin", "127.0.0.1:0", "--admin-token-file", (FFolder / "token").string()})));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto seen = [&](const char* text) { return FServer->Stdout().find(text) != std::string::npos; };
  while (!seen("Listening on ") && std::chrono::steady_clock::now() < deadline) {
  }
  while (!seen("Admin API on ") && std::chrono::steady_clock::now() < deadline) {
    FServer->Signal(SIGHUP);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  ASSERT_FALSE(FServer->WaitAnnounced("Admin API on ").empty()) << FServer->Stderr();
  StopDaemon();
}

TEST_P(DaemonLogTest, HangupReopensAMovedFileAndTheDaemonGoesOn) {
  const auto path = FFolder / "zorva.log";
  const auto rotated = FFolder / "zorva.log.1";
  { std::ofstream(path) << "earlier line\n"; }
  StartServer({"--log", path.string()});
  LineClient ann;
  Login(ann, "ann");
  ASSERT_TRUE(WaitFor([&] { return ReadFile(path).find("login id=ann") != std::string::npos; }));

  std::filesystem::rename(path, rotated);
  FServer->Signal(SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(path); }));
  LineClient bob;
  Login(bob, "bob");  // the daemon still serves
  ASSERT_TRUE(WaitFor([&] { return ReadFile(path).find("login id=bob") != std::string::npos; }));

  const auto old = ReadFile(rotated);
  EXPECT_TRUE(old.starts_with("earlier line\n")) << old;  // appended, never truncated
  EXPECT_THAT(old, HasSubstr("login id=ann"));
  EXPECT_THAT(old, Not(HasSubstr("login id=bob")));
  EXPECT_THAT(ReadFile(path), HasSubstr("info log-reopened"));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(FServer->Stderr(), "");  // with --log, the lines go to the file

  StopDaemon();
  EXPECT_THAT(ReadFile(path), HasSubstr("info stop signal=15"));
}

TEST_P(DaemonLogTest, NoPasswordInAnyOutput) {
  const auto path = FFolder / "zorva.log";
  StartServer({"--trace", "--log", path.string()});
  const std::string dates = "01/01/2024^01/01/2024^1^^0`0`^";
  LineClient ann;
  ASSERT_TRUE(ann.Connect(FPort));
  ASSERT_TRUE(ann.WriteLine("LOGIN|ann|GAME|Secret1"));
  ASSERT_TRUE(ann.WriteLine("USERUPDATE|ann|ann^Secret2^Ann" + std::string(7, '^') + dates));
  LineClient fresh;
  ASSERT_TRUE(fresh.Connect(FPort));
  ASSERT_TRUE(
      fresh.WriteLine("LOGINNEW|NewUser|GAME|NewUser^Secret3^" + std::string(7, '^') + dates));
  ASSERT_TRUE(WaitFor([&] {
    const auto out = FServer->Stdout();
    return out.find("Rcvd From ann: USERUPDATE") != std::string::npos &&
           out.find("LOGINNEW|NewUser") != std::string::npos;
  }));
  StopDaemon();

  const auto everything = FServer->Stdout() + FServer->Stderr() + ReadFile(path);
  EXPECT_THAT(everything, Not(HasSubstr("Secret")));
  EXPECT_THAT(everything, HasSubstr("LOGIN|ann|GAME|***"));
  EXPECT_THAT(everything, HasSubstr("USERUPDATE|ann|ann^***^Ann^"));
  EXPECT_THAT(everything, HasSubstr("LOGINNEW|NewUser|GAME|NewUser^***^"));
}

TEST_P(DaemonLogTest, ControlBytesInAClientIdAreEscaped) {
  StartServer({"--trace"});
  LineClient client;
  ASSERT_TRUE(client.Connect(FPort));
  ASSERT_TRUE(client.WriteLine("LOGIN|a\x1b[2Jb\x07|GAME|pw"));
  EXPECT_EQ(client.ReadLine(), "LOGIN|ERROR|Invalid User Id");
  StopDaemon();

  const auto log = FServer->Stderr();
  const auto out = FServer->Stdout();
  EXPECT_THAT(out, HasSubstr(R"(Rcvd From 127.0.0.1: LOGIN|a\x1b[2Jb\x07|GAME|***)"));
  for (const char control : {'\x1b', '\x07'}) {
    EXPECT_EQ((log + out).find(control), std::string::npos) << int(control);
  }
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonLogTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
