// zorva-server's admin API and zorva-admin against the real daemon on 127.0.0.1: what a client
// of the plain protocol sees of each operation, the token, hostile requests and exit codes.
#include <gmock/gmock.h>
#include <httplib.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "E2eSupport.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

class AdminE2eTest : public DaemonE2eTest {
 protected:
  void StartWithAdmin(const std::vector<std::string>& more = {}) {
    std::vector<std::string> options = {"--admin", "127.0.0.1:0", "--admin-token-file",
                                        TokenPath()};
    options.insert(options.end(), more.begin(), more.end());
    StartServer(options);
    ASSERT_FALSE(HasFailure());
    Url = FServer->WaitAnnounced("Admin API on ");
    ASSERT_FALSE(Url.empty()) << FServer->Stdout() << FServer->Stderr();
    Token = ReadFile(TokenPath());
    Token.erase(Token.find('\n'));
  }

  std::string TokenPath() const { return (FFolder / "admin-token").string(); }

  httplib::Client Client(const std::string& token) const {
    httplib::Client client(Url);
    if (!token.empty()) client.set_bearer_token_auth(token.c_str());
    client.set_read_timeout(10s);
    return client;
  }
  httplib::Result Get(const std::string& path) { return Client(Token).Get(path); }
  httplib::Result Post(const std::string& path, const std::string& body = "{}") {
    return Client(Token).Post(path, body, "application/json");
  }
  httplib::Result Delete(const std::string& path) { return Client(Token).Delete(path); }

  // Runs zorva-admin against the daemon; returns its exit code, its output in Out and Err.
  int Admin(std::vector<std::string> args, const std::string& tokenFile = "") {
    std::vector<std::string> argv = {ZORVA_ADMIN_BINARY, "--url", Url, "--token-file",
                                     tokenFile.empty() ? TokenPath() : tokenFile};
    argv.insert(argv.end(), args.begin(), args.end());
    ScratchFolder folder;
    ServerProcess program(folder);
    EXPECT_TRUE(program.Spawn(argv));
    const auto code = program.WaitExit(20s);
    Out = program.Stdout();
    Err = program.Stderr();
    return code.value_or(-1);
  }

  std::string Url;
  std::string Token;
  std::string Out;
  std::string Err;
};

INSTANTIATE_TEST_SUITE_P(Daemon, AdminE2eTest, testing::Values(kDaemon),
                         [](const auto& info) { return info.param.Label; });

TEST_P(AdminE2eTest, MakesAnOwnerOnlyTokenAndNamesItsBoundPort) {
  StartWithAdmin();
  EXPECT_THAT(Url, testing::StartsWith("http://127.0.0.1:"));
  EXPECT_THAT(Url, testing::Not(testing::EndsWith(":0")));
  EXPECT_THAT(FServer->Stdout(), HasSubstr("Admin token in " + TokenPath()));
  struct stat info {};
  ASSERT_EQ(::stat(TokenPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

struct TRefusalCase {
  const char* Label;
  std::string Method;
  std::string Path;
  std::string Token;  // "good": the daemon's
  std::string Body;
  int Status;
};

TEST_P(AdminE2eTest, RefusesWhatItShouldAndStaysUp) {
  StartWithAdmin();
  LineClient alice;
  Login(alice, "alice");
  const std::string huge(100 * 1024, 'x');
  for (const auto& c :
       std::vector<TRefusalCase>{{"no token", "POST", "/v1/users/alice/kill", "", "{}", 401},
                                 {"bad token", "POST", "/v1/users/alice/kill", "nope", "{}", 401},
                                 {"metrics without token", "GET", "/metrics", "", "", 401},
                                 {"health without token", "GET", "/healthz", "", "", 200},
                                 {"unknown path", "GET", "/v1/nothing", "good", "", 404},
                                 {"unknown path without token", "GET", "/admin", "", "", 401},
                                 {"bad json", "POST", "/v1/shout", "good", "{\"text\":", 400},
                                 {"oversized body", "POST", "/v1/shout", "good", huge, 413},
                                 {"put", "PUT", "/v1/stats", "good", "{}", 405}}) {
    auto client = Client(c.Token == "good" ? Token : c.Token);
    const auto result = c.Method == "GET"   ? client.Get(c.Path)
                        : c.Method == "PUT" ? client.Put(c.Path, c.Body, "application/json")
                                            : client.Post(c.Path, c.Body, "application/json");
    ASSERT_TRUE(result) << c.Label;
    EXPECT_EQ(result->status, c.Status) << c.Label << ": " << result->body;
    EXPECT_TRUE(json::parse(result->body, nullptr, false).is_object()) << c.Label;
  }
  // Nothing refused changed anything: alice is still connected and served.
  ASSERT_TRUE(alice.WriteLine("SERVERSTATS|"));
  const auto stats = alice.ReadLine();
  ASSERT_TRUE(stats.has_value());
  EXPECT_THAT(*stats, testing::StartsWith("SERVERSTATS|"));
}

// A POST with neither Content-Length nor Transfer-Encoding, as "curl -X POST" sends it: no body,
// not a body still to come.
TEST_P(AdminE2eTest, APostWithoutABodyIsAnsweredAtOnce) {
  StartWithAdmin();
  LineClient alice;
  Login(alice, "alice");
  const auto port = static_cast<std::uint16_t>(std::stoi(Url.substr(Url.rfind(':') + 1)));
  struct Case {
    const char* Label;
    std::string Request;
    std::string Status;
  };
  for (const auto& c : {
           Case{"no token", "POST /v1/users/alice/kill HTTP/1.1\r\nHost: a\r\n\r\n", "401"},
           Case{"kill",
                "POST /v1/users/alice/kill HTTP/1.1\r\nHost: a\r\nAuthorization: Bearer " + Token +
                    "\r\n\r\n",
                "200"},
           Case{"stop",
                "POST /v1/stop HTTP/1.1\r\nHost: a\r\nAuthorization: Bearer " + Token + "\r\n\r\n",
                "202"},
       }) {
    LineClient http;
    ASSERT_TRUE(http.Connect(port)) << c.Label;
    ASSERT_TRUE(http.Write(c.Request)) << c.Label;
    const auto status = http.ReadLine();  // httplib would wait 5 s for the body, then say 400
    ASSERT_TRUE(status.has_value()) << c.Label;
    EXPECT_THAT(*status, testing::StartsWith("HTTP/1.1 " + c.Status + " ")) << c.Label;
    if (std::string(c.Label) == "kill") {
      EXPECT_TRUE(alice.WaitClosed());
    }
  }
  EXPECT_EQ(FServer->WaitExit(), 0);
}

TEST_P(AdminE2eTest, KillClosesTheUserAndTheOthersHearRemoveGuest) {
  StartWithAdmin();
  LineClient alice;
  LineClient bob;
  Login(alice, "alice");
  Login(bob, "bob");
  ASSERT_TRUE(alice.ReadLine().has_value());  // ADDGUEST|bob
  const auto killed = Post("/v1/users/bob/kill");
  ASSERT_TRUE(killed);
  EXPECT_EQ(killed->status, 200);
  EXPECT_TRUE(bob.WaitClosed());
  EXPECT_EQ(alice.ReadLine(), "REMOVEGUEST|bob");
  EXPECT_EQ(Post("/v1/users/bob/kill")->status, 404);
}

TEST_P(AdminE2eTest, ShoutReachesExactlyTheChosenClients) {
  StartWithAdmin();
  LineClient a1;
  LineClient a2;
  LineClient b1;
  Login(a1, "a1", "A");
  Login(a2, "a2", "A");
  Login(b1, "b1", "B");
  ASSERT_TRUE(a1.ReadLine().has_value());  // ADDGUEST|a2
  EXPECT_EQ(Post("/v1/shout", R"({"text":"to A","code":"A"})")->status, 200);
  EXPECT_EQ(Post("/v1/shout", R"({"text":"to all"})")->status, 200);
  EXPECT_EQ(a1.ReadLine(), "SHOUT|to A|");
  EXPECT_EQ(a2.ReadLine(), "SHOUT|to A|");
  EXPECT_EQ(b1.ReadLine(), "SHOUT|to all|");  // the shout to A never came
  EXPECT_EQ(a1.ReadLine(), "SHOUT|to all|");
}

TEST_P(AdminE2eTest, SubjectsAreMadeListedAndDeletedAsInTheWindow) {
  StartWithAdmin();
  LineClient alice;
  Login(alice, "alice", "GAME");
  const auto made = Post("/v1/subjects", R"({"code":"GAME","name":"Big Room","limit":3})");
  ASSERT_TRUE(made);
  EXPECT_EQ(made->status, 201);
  EXPECT_EQ(alice.ReadLine(), "ADDSUBJECT|Big Room");
  EXPECT_EQ(Post("/v1/subjects", R"({"code":"GAME","name":"Big Room"})")->status, 409);

  const auto subjects = json::parse(Get("/v1/subjects")->body);
  ASSERT_EQ(subjects.size(), 2u);
  EXPECT_EQ(subjects[1]["name"], "Big Room");
  EXPECT_EQ(subjects[1]["limit"], 3);
  const auto users = json::parse(Get("/v1/users?code=GAME")->body);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0]["id"], "alice");
  EXPECT_EQ(users[0]["address"], "127.0.0.1");
  EXPECT_EQ(json::parse(Get("/v1/stats")->body)["connections_per_code"]["GAME"], 1);

  EXPECT_EQ(Delete("/v1/subjects/GAME/Big%20Room")->status, 200);
  EXPECT_EQ(alice.ReadLine(), "REMOVESUBJECT|Big Room");
  EXPECT_EQ(Delete("/v1/subjects/GAME/Big%20Room")->status, 404);
}

TEST_P(AdminE2eTest, StopEndsTheDaemonCleanly) {
  StartWithAdmin();
  LineClient alice;
  Login(alice, "alice");
  EXPECT_EQ(Post("/v1/stop")->status, 202);
  EXPECT_TRUE(alice.WaitClosed());
  alice.Close();
  EXPECT_EQ(FServer->WaitExit(), 0);
}

// The next "SHOUT|" line, past the joins and leaves the test caused; nullopt when none comes.
std::optional<std::string> NextShout(LineClient& client) {
  for (int i = 0; i < 20; ++i) {
    auto line = client.ReadLine();
    if (!line || line->starts_with("SHOUT|")) return line;
  }
  return std::nullopt;
}

TEST_P(AdminE2eTest, ShoutToASubjectReachesExactlyItsMembers) {
  StartWithAdmin();
  LineClient inRoom1;
  LineClient inRoom2;
  LineClient inLobby;
  Login(inRoom1, "r1", "A");
  Login(inRoom2, "r2", "A");
  Login(inLobby, "l1", "A");
  ASSERT_EQ(Post("/v1/subjects", R"({"code":"A","name":"Room"})")->status, 201);
  ASSERT_TRUE(inRoom1.WriteLine("JOINSUBJECT|Room"));
  ASSERT_TRUE(inRoom2.WriteLine("JOINSUBJECT|Room"));
  // Both have left the lobby once its last member hears of the second leave.
  for (int removed = 0; removed < 2;) {
    const auto line = inLobby.ReadLine();
    ASSERT_TRUE(line.has_value());
    if (line->starts_with("REMOVEGUEST|")) ++removed;
  }
  EXPECT_EQ(Post("/v1/shout", R"({"text":"to Room","code":"A","subject":"Room"})")->status, 200);
  EXPECT_EQ(Post("/v1/shout", R"({"text":"to all"})")->status, 200);
  EXPECT_EQ(NextShout(inRoom1), "SHOUT|to Room|");
  EXPECT_EQ(NextShout(inRoom2), "SHOUT|to Room|");
  EXPECT_EQ(NextShout(inLobby), "SHOUT|to all|");  // the shout to Room never came
}

// Started without --trace: the operator switches the incoming trace on and off at run time.
TEST_P(AdminE2eTest, TraceSwitchesWorkWithoutTheTraceOption) {
  StartWithAdmin();
  LineClient ann;
  Login(ann, "ann");
  ASSERT_EQ(Post("/v1/trace", R"({"incoming":true})")->status, 200);
  ASSERT_TRUE(ann.WriteLine("SEND|CHAT|x"));
  LineClient bob;
  ASSERT_TRUE(bob.Connect(FPort));
  ASSERT_TRUE(bob.WriteLine("LOGIN|bob|GAME|Secret1"));
  ASSERT_TRUE(WaitFor([&] {
    return FServer->Stdout().find("Rcvd From 127.0.0.1: LOGIN|bob|GAME|***") != std::string::npos;
  })) << FServer->Stdout();
  EXPECT_THAT(FServer->Stdout(), HasSubstr("Rcvd From ann: SEND|CHAT|x\n"));

  ASSERT_EQ(Post("/v1/trace", R"({"incoming":false})")->status, 200);
  ASSERT_TRUE(ann.WriteLine("SEND|CHAT|y"));
  ASSERT_TRUE(ann.WriteLine("SERVERSTATS|"));
  // The answer to the stats comes after the chat line was handled.
  for (auto line = ann.ReadLine(); line && !line->starts_with("SERVERSTATS|");) {
    line = ann.ReadLine();
  }
  EXPECT_THAT(FServer->Stdout(), Not(HasSubstr("SEND|CHAT|y")));
  EXPECT_THAT(FServer->Stdout(), Not(HasSubstr("Secret1")));
}

TEST_P(AdminE2eTest, TheAdminCommandShowsActsAndExitsWithItsCodes) {
  StartWithAdmin();
  LineClient alice;
  Login(alice, "alice", "GAME");
  EXPECT_EQ(Admin({"who"}), 0) << Err;
  EXPECT_THAT(Out, HasSubstr("ID"));
  EXPECT_THAT(Out, HasSubstr("alice"));
  EXPECT_EQ(Admin({"--json", "subjects"}), 0) << Err;
  EXPECT_EQ(json::parse(Out).size(), 1u);
  EXPECT_EQ(Admin({"create", "GAME", "Arena", "4"}), 0) << Err;
  EXPECT_EQ(alice.ReadLine(), "ADDSUBJECT|Arena");
  EXPECT_EQ(Admin({"create", "GAME", "Arena"}), 1);
  EXPECT_THAT(Err, HasSubstr("A Subject with that name already exists"));
  EXPECT_EQ(Admin({"shout", "hello", "--code", "GAME"}), 0) << Err;
  EXPECT_EQ(alice.ReadLine(), "SHOUT|hello|");
  EXPECT_EQ(Admin({"kill", "nobody"}), 1);
  EXPECT_THAT(Err, HasSubstr("No such user"));
  EXPECT_EQ(Admin({"trace", "sideways"}), 2);
  EXPECT_EQ(Admin({"dance"}), 2);
  EXPECT_EQ(Admin({}), 2);
  EXPECT_EQ(Admin({"--version"}), 0);
  EXPECT_THAT(Out, HasSubstr("zorva-admin "));
  EXPECT_EQ(Admin({"stats"}, (FFolder / "missing-token").string()), 1);
  std::ofstream(FFolder / "wrong-token") << "wrong\n";
  EXPECT_EQ(Admin({"stats"}, (FFolder / "wrong-token").string()), 1);
  EXPECT_THAT(Err, HasSubstr("Unauthorized"));
  EXPECT_EQ(Admin({"kill", "alice"}), 0) << Err;
  EXPECT_TRUE(alice.WaitClosed());
  EXPECT_EQ(Admin({"stop"}), 0) << Err;
  EXPECT_EQ(FServer->WaitExit(), 0);
}

// A bad --admin value or an unusable token file stops the start, with the reason.
TEST_P(AdminE2eTest, RefusesToStartWithABadAdminSetup) {
  for (const auto& options : std::vector<std::vector<std::string>>{
           {"--admin", "127.0.0.1"},
           {"--admin", "127.0.0.1:0", "--admin-token-file", (FFolder / "a-folder").string()},
       }) {
    std::filesystem::create_directories(FFolder / "a-folder");
    ServerProcess server(FFolder);
    ASSERT_TRUE(server.Spawn(CommandLine(options)));
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_THAT(server.Stderr(), HasSubstr("zorva-server: "));
  }
}

}  // namespace
}  // namespace zorva::test
