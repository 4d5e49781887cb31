// Client programs built on ZorvaComp (TZorvaConnection on its Qt socket) against the real
// server programs on 127.0.0.1. Each program writes the events it gets to a transcript; a step is
// one request and then the lines each program must have seen, in order and nothing more.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "ServerTlsE2eTest.h"
#include "ZorvaConnection.h"

namespace zorva::test {
namespace {

using Transcript = std::vector<std::string>;

constexpr int kWaitMs = 5000;

// Runs the Qt event loop until `done` holds or `timeoutMs` has passed; returns `done()`.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
  QElapsedTimer clock;
  clock.start();
  QEventLoop loop;
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done() || clock.elapsed() >= timeoutMs) loop.quit();
  });
  poll.start();
  if (!done()) loop.exec();
  return done();
}

void RunEventsFor(int ms) {
  WaitUntil([] { return false; }, ms);
}

std::string UserLine(std::string_view event, TZorvaConnection& sender, const TZorvaUser& user) {
  std::string line = std::string(event) + " " + user.Id();
  if (!user.City().empty()) line += " city=" + user.City();
  line += " password='" + user.Password() + "'";
  if (&user == sender.CurrentUser()) line += " (own record)";
  return line;
}

// A client program: one connection to the daemon whose events all go to its transcript.
class ClientProgram {
 public:
  ClientProgram(std::string name, std::uint16_t port) : FName(std::move(name)) {
    Conn.SetHost("127.0.0.1");
    Conn.SetPort(port);
    Conn.SetSubjectCode("GAME");
    RecordEvents();
  }

  // Connects and logs in under the program's name; the login's events are left to the caller.
  void ConnectAndLogin(std::source_location where = std::source_location::current()) {
    Conn.SetActive(true);
    Sees({"Connected"}, where);
    Conn.Login(FName, "pw");
  }

  // Logs in where only the lobby exists and `others` are in it, and checks what that brings.
  void LogIntoLobby(const std::vector<std::string>& others = {},
                    std::source_location where = std::source_location::current()) {
    ConnectAndLogin(where);
    Transcript expected = {"LoginSuccess " + FName + " password='' (own record)",
                           "AddSubject Lobby Chat", "JoinSubject Lobby Chat"};
    for (const auto& other : others) expected.push_back("AddUser " + other + " password=''");
    expected.push_back("AddUser " + FName + " password='' (own record)");
    Sees(expected, where);
  }

  // Waits for as many events as expected, then compares and forgets them.
  void Sees(const Transcript& expected,
            std::source_location where = std::source_location::current()) {
    testing::ScopedTrace trace(where.file_name(), static_cast<int>(where.line()), FName);
    WaitUntil([&] { return Log.size() >= expected.size(); });
    EXPECT_EQ(Log, expected);
    Log.clear();
  }

  TZorvaConnection Conn;
  Transcript Log;
  int PingsRead = 0;

 private:
  void Record(std::string line) { Log.push_back(std::move(line)); }

  void RecordEvents() {
    Conn.SetOnConnected([this](auto&) { Record("Connected"); });
    Conn.SetOnDisconnected([this](auto&) { Record("Disconnected"); });
    Conn.SetOnLoginSuccess([this](auto& c, auto& u) { Record(UserLine("LoginSuccess", c, u)); });
    Conn.SetOnLoginFailed([this](auto&, auto text) { Record("LoginFailed " + std::string(text)); });
    Conn.SetOnAddSubject([this](auto&, auto name) { Record("AddSubject " + std::string(name)); });
    Conn.SetOnRemoveSubject(
        [this](auto&, auto name) { Record("RemoveSubject " + std::string(name)); });
    Conn.SetOnJoinSubject([this](auto&, auto name) { Record("JoinSubject " + std::string(name)); });
    Conn.SetOnAddUser([this](auto& c, auto& u) { Record(UserLine("AddUser", c, u)); });
    Conn.SetOnRemoveUser([this](auto& c, auto& u) { Record(UserLine("RemoveUser", c, u)); });
    Conn.SetOnUserInfo([this](auto& c, auto& u) { Record(UserLine("UserInfo", c, u)); });
    Conn.SetOnBeginSubject([this](auto&) { Record("BeginSubject"); });
    Conn.SetOnChatReceived([this](auto&, auto text, auto id) {
      Record("Chat from " + std::string(id) + ": " + std::string(text));
    });
    Conn.SetOnDataReceived([this](auto&, auto text, auto id) {
      Record("Data from " + std::string(id) + ": " + std::string(text));
    });
    Conn.SetOnServerStatus([this](auto&, const TZorvaServerStats& s) {
      Record("ServerStatus connections=" + std::to_string(s.CurrentConnections()) +
             " peak=" + std::to_string(s.PeakClientsConnected()) +
             " total=" + std::to_string(s.TotalConnections()) +
             " subjects=" + std::to_string(s.CurrentSubjects()) +
             " created=" + std::to_string(s.TotalSubjectsCreated()));
    });
    Conn.SetOnServerError([this](auto&, auto text) { Record("ServerError " + std::string(text)); });
    Conn.SetOnShout([this](auto&, auto text) { Record("Shout " + std::string(text)); });
    Conn.SetOnCustomMessage([this](auto&, auto type, auto text) {
      Record("Custom " + std::string(type) + ": " + std::string(text));
    });
    Conn.SetOnSocketError(
        [this](auto&, int code, auto) { Record("SocketError " + std::to_string(code)); });
    Conn.SetOnLineError([this](auto&, auto line, auto reason) {
      Record("LineError " + std::string(line) + ": " + std::string(reason));
    });
    Conn.OnStringRead = [this](auto&, auto line) {
      if (line.starts_with("PING|")) ++PingsRead;
    };
  }

  std::string FName;
};

class ClientE2eTest : public ServerE2eTest {
 protected:
  // Starts the server; ann and then bob log into its lobby.
  void StartAndMeetInLobby() {
    ASSERT_NO_FATAL_FAILURE(StartServer());
    Ann.emplace("ann", FPort);
    Bob.emplace("bob", FPort);
    Ann->LogIntoLobby();
    Bob->LogIntoLobby({"ann"});
    Ann->Sees({"AddUser bob password=''"});
  }

  std::optional<ClientProgram> Ann;
  std::optional<ClientProgram> Bob;
};

// The daemon and the window program behind the Qt transport look the same to a client.
const auto kServers = testing::Values(TServerCommand{"daemon", {ZORVA_SERVER_BINARY}},
                                      TServerCommand{"window", {ZORVA_WINDOW_BINARY, "--start"}});

INSTANTIATE_TEST_SUITE_P(Servers, ClientE2eTest, kServers,
                         [](const auto& info) { return info.param.Label; });

TEST_P(ClientE2eTest, TwoProgramsMeetTalkAndPart) {
  ASSERT_NO_FATAL_FAILURE(StartAndMeetInLobby());
  auto& ann = *Ann;
  auto& bob = *Bob;

  // Each program's own user is listed as the very record its login brought.
  EXPECT_TRUE(ann.Conn.LoggedIn());
  EXPECT_EQ(ann.Conn.CurrentSubject(), "Lobby Chat");
  EXPECT_EQ(ann.Conn.GetUserCount(), 2);

  // A room for two: announced to the whole code, the creator moves in and leaves the lobby.
  ann.Conn.CreateSubject("Room", 2);
  ann.Sees({"AddSubject Room", "JoinSubject Room", "AddUser ann password='' (own record)"});
  bob.Sees({"AddSubject Room", "RemoveUser ann password=''"});
  EXPECT_EQ(bob.Conn.SubjectNames(), (std::vector<std::string>{"Lobby Chat", "Room"}));

  // bob is online but not in ann's room: the answer about him fires nothing there, and the
  // ERROR line that follows shows that nothing else arrived in between.
  ann.Conn.RequestUserInfo("bob");
  ann.Conn.RequestUserInfo("nobody");
  ann.Sees({"ServerError The specified User could not be found"});

  // The second member fills the room; both hear that it begins.
  bob.Conn.JoinSubject("Room");
  bob.Sees({"JoinSubject Room", "AddUser ann password=''", "AddUser bob password='' (own record)",
            "BeginSubject"});
  ann.Sees({"AddUser bob password=''", "BeginSubject"});

  // Chat and data reach the other member whole; the sender hears nothing back.
  ann.Conn.SendChatMessage("hello|bob");
  bob.Sees({"Chat from ann: hello|bob"});
  bob.Conn.SendChatMessage("hi ann");
  bob.Conn.SendDataMessage("move e2e4");
  ann.Sees({"Chat from bob: hi ann", "Data from bob: move e2e4"});

  ann.Conn.RequestUserInfo("bob");
  ann.Sees({"UserInfo bob password=''"});

  // An edit of the own record reaches every member of the room, the password never.
  ann.Conn.CurrentUser()->SetCity("Oslo");
  ann.Conn.CurrentUser()->SetPassword("secret");
  ann.Conn.UpdateUserInfo();
  ann.Sees({"UserInfo ann city=Oslo password='' (own record)"});
  bob.Sees({"UserInfo ann city=Oslo password=''"});
  bob.Conn.RequestUserInfo("ann");
  bob.Sees({"UserInfo ann city=Oslo password=''"});

  ann.Conn.RequestStatistics();
  ann.Sees({"ServerStatus connections=2 peak=2 total=2 subjects=1 created=1"});
  EXPECT_GT(ann.Conn.ServerStats().BytesRead(), 0);
  EXPECT_GT(ann.Conn.ServerStats().BytesWritten(), 0);
  EXPECT_LT(ann.Conn.ServerStats().SecondsActive(), 60);

  // Feedback is not answered: the statistics asked for next are the first thing back.
  bob.Conn.SendFeedback("nice|game");
  bob.Conn.RequestStatistics();
  bob.Sees({"ServerStatus connections=2 peak=2 total=2 subjects=1 created=1"});

  ann.Conn.Login("carl", "pw");
  ann.Sees({"LoginFailed You are already logged in"});
  EXPECT_TRUE(ann.Conn.LoggedIn());
  EXPECT_EQ(ann.Conn.CurrentUser()->Id(), "ann");

  // Leaving by program: no OnDisconnected for bob, the room's other member sees him go.
  bob.Conn.SetActive(false);
  EXPECT_FALSE(bob.Conn.Active());
  EXPECT_FALSE(bob.Conn.LoggedIn());
  EXPECT_EQ(bob.Conn.GetUserCount(), 0);
  ann.Sees({"RemoveUser bob password=''"});

  // The same connection comes back and logs in afresh; a room that began stays closed.
  bob.ConnectAndLogin();
  bob.Sees({"LoginSuccess bob password='' (own record)", "AddSubject Lobby Chat", "AddSubject Room",
            "JoinSubject Lobby Chat", "AddUser bob password='' (own record)"});
  bob.Conn.JoinSubject("Room");
  bob.Sees({"ServerError The specified Subject is already filled"});

  // The last member leaving removes the room for everyone of the code, its leaver included.
  ann.Conn.JoinSubject("Lobby Chat");
  ann.Sees({"RemoveSubject Room", "JoinSubject Lobby Chat", "AddUser bob password=''",
            "AddUser ann city=Oslo password='' (own record)"});
  bob.Sees({"RemoveSubject Room", "AddUser ann city=Oslo password=''"});
  EXPECT_EQ(bob.Conn.SubjectNames(), std::vector<std::string>{"Lobby Chat"});
  bob.Conn.RequestStatistics();
  bob.Sees({"ServerStatus connections=2 peak=2 total=3 subjects=0 created=1"});

  // The server stopping ends both connections from the other side.
  FServer->Signal(SIGTERM);
  ann.Sees({"Disconnected"});
  bob.Sees({"Disconnected"});
  EXPECT_FALSE(ann.Conn.Active());
  EXPECT_FALSE(ann.Conn.LoggedIn());
  EXPECT_EQ(ann.Conn.GetUserCount(), 0);
  EXPECT_EQ(ann.Conn.CurrentSubject(), "");
  EXPECT_EQ(FServer->WaitExit(), 0) << FServer->Stderr();

  RunEventsFor(100);
  bob.Sees({});
  ann.Sees({});
}

// A line near the server's limit crosses in many reads and arrives whole; one past it is
// refused with an error the sender still reads before its connection ends.
TEST_P(ClientE2eTest, LongLinesArriveWholeAndOverlongOnesEndTheSender) {
  ASSERT_NO_FATAL_FAILURE(StartAndMeetInLobby());
  auto& ann = *Ann;
  auto& bob = *Bob;

  const std::string board(65000, 'x');
  bob.Conn.SendDataMessage(board);
  ann.Sees({"Data from bob: " + board});

  bob.Conn.SendChatMessage(std::string(70000, 'y'));
  bob.Sees({"ServerError Line too long", "Disconnected"});
  ann.Sees({"RemoveUser bob password=''"});
  EXPECT_TRUE(ann.Conn.Active());
}

// With a ping every 200 ms and a timeout of 1 s, a program that does nothing itself stays
// connected for 2.5 s, while a raw client that never answers is dropped from the same lobby.
TEST_P(ClientE2eTest, PingsAreAnsweredByTheConnectionItself) {
  ASSERT_NO_FATAL_FAILURE(StartServer({"--ping-interval-ms", "200", "--timeout", "1"}));
  ClientProgram ann("ann", FPort);
  ann.LogIntoLobby();

  LineClient mute;
  ASSERT_NO_FATAL_FAILURE(Login(mute, "mute"));
  ann.Sees({"AddUser mute password=''"});

  RunEventsFor(2500);
  ann.Sees({"RemoveUser mute password=''"});
  EXPECT_TRUE(ann.Conn.Active());
  EXPECT_TRUE(ann.Conn.LoggedIn());
  EXPECT_GE(ann.PingsRead, 5);

  ann.Conn.RequestStatistics();
  ann.Sees({"ServerStatus connections=1 peak=2 total=2 subjects=0 created=0"});
}

// Server options and a check for a handler that runs a nested event loop for longer than the
// server waits for an answer (a message box left open): the connection stays, since the pings
// arriving meanwhile are answered inside that loop.
const std::vector<std::string> kQuickTimeout = {"--ping-interval-ms", "500", "--timeout", "2"};

void ExpectPingsAnsweredDuringANestedLoop(ClientProgram& ann) {
  ann.LogIntoLobby();
  int pingsInside = -1;
  ann.Conn.SetOnServerError([&](auto&, auto) {
    const int before = ann.PingsRead;
    RunEventsFor(3500);
    pingsInside = ann.PingsRead - before;
  });

  ann.Conn.RequestUserInfo("nobody");
  ASSERT_TRUE(WaitUntil([&] { return pingsInside >= 0; }));
  EXPECT_GE(pingsInside, 4);
  EXPECT_TRUE(ann.Conn.Active());
  EXPECT_TRUE(ann.Conn.LoggedIn());
  ann.Conn.RequestStatistics();
  ann.Sees({"ServerStatus connections=1 peak=1 total=1 subjects=0 created=0"});
}

TEST_P(ClientE2eTest, PingsAreAnsweredWhileAHandlerRunsANestedLoop) {
  ASSERT_NO_FATAL_FAILURE(StartServer(kQuickTimeout));
  ClientProgram ann("ann", FPort);
  ExpectPingsAnsweredDuringANestedLoop(ann);
}

// Over TLS the socket reads through another layer, which must bring the lines into the nested
// loop as well.
class ClientTlsE2eTest : public ServerTlsE2eTest {};

INSTANTIATE_TEST_SUITE_P(Servers, ClientTlsE2eTest, kServers,
                         [](const auto& info) { return info.param.Label; });

TEST_P(ClientTlsE2eTest, PingsAreAnsweredWhileAHandlerRunsANestedLoop) {
  ASSERT_NO_FATAL_FAILURE(StartTls(kQuickTimeout));
  ClientProgram ann("ann", FTlsPort);
  ann.Conn.SetUseTls(true);
  ann.Conn.SetTlsCaFile(Cert());
  ExpectPingsAnsweredDuringANestedLoop(ann);
}

// The handshake's end is told from the same layer: a connect handler that logs in and then runs
// a nested loop still answers the pings that come meanwhile.
TEST_P(ClientTlsE2eTest, PingsAreAnsweredWhileTheConnectHandlerRunsANestedLoop) {
  ASSERT_NO_FATAL_FAILURE(StartTls(kQuickTimeout));
  ClientProgram ann("ann", FTlsPort);
  ann.Conn.SetUseTls(true);
  ann.Conn.SetTlsCaFile(Cert());
  int pingsInside = -1;
  ann.Conn.SetOnConnected([&](TZorvaConnection& c) {
    c.Login("ann", "pw");
    RunEventsFor(3500);
    pingsInside = ann.PingsRead;
  });

  ann.Conn.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return pingsInside >= 0; }));
  EXPECT_GE(pingsInside, 4);
  EXPECT_TRUE(ann.Conn.LoggedIn());
  ann.Log.clear();
  ann.Conn.RequestStatistics();
  ann.Sees({"ServerStatus connections=1 peak=1 total=1 subjects=0 created=0"});
}

}  // namespace
}  // namespace zorva::test

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
