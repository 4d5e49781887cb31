#include "ZorvaConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeClientSocket.h"

namespace zorva {
namespace {

std::string U(const std::string& id, const std::string& firstName = "") {
  TZorvaUser user;
  user.SetId(id);
  user.SetFirstName(firstName);
  return user.toWireString();
}

using TLog = std::vector<std::string>;

// A connection on a fake socket whose every event is written to Log as "Event:args".
class ConnectionTest : public testing::Test {
 protected:
  ConnectionTest() {
    auto socket = std::make_unique<FakeClientSocket>();
    Socket = socket.get();
    Record = socket->Record();
    Conn = std::make_unique<TZorvaConnection>(std::move(socket));
    Conn->SetSubjectCode("chess");
    LogEvents();
  }

  void Connect() {
    Conn->SetActive(true);
    Socket->Connected();
    Record->Written.clear();
    Log.clear();
  }
  void ConnectAndLogin(const std::string& id = "ann") {
    Connect();
    Receive("LOGIN|SUCCESS|" + U(id) + "\n");
    Log.clear();
  }
  void Receive(std::string_view bytes) { Socket->Receive(bytes); }
  std::vector<std::string> ListedIds() const {
    std::vector<std::string> ids;
    for (int i = 0; i < Conn->GetUserCount(); ++i) ids.push_back(Conn->GetUser(i).Id());
    return ids;
  }

  void LogEvents() {
    auto text = [this](const char* name) {
      return [this, name](TZorvaConnection&, std::string_view text) {
        Log.push_back(std::string(name) + ":" + std::string(text));
      };
    };
    auto user = [this](const char* name) {
      return [this, name](TZorvaConnection&, TZorvaUser& u) {
        Log.push_back(std::string(name) + ":" + u.Id());
      };
    };
    auto notify = [this](const char* name) {
      return [this, name](TZorvaConnection&) { Log.push_back(name); };
    };
    auto from = [this](const char* name) {
      return [this, name](TZorvaConnection&, std::string_view text, std::string_view id) {
        Log.push_back(std::string(name) + ":" + std::string(id) + ":" + std::string(text));
      };
    };
    Conn->SetOnAddSubject(text("AddSubject"));
    Conn->SetOnAddUser(user("AddUser"));
    Conn->SetOnBeginSubject(notify("BeginSubject"));
    Conn->SetOnChatReceived(from("Chat"));
    Conn->SetOnConnected(notify("Connected"));
    Conn->SetOnCustomMessage([this](TZorvaConnection&, std::string_view type, std::string_view m) {
      Log.push_back("Custom:" + std::string(type) + ":" + std::string(m));
    });
    Conn->SetOnDataReceived(from("Data"));
    Conn->SetOnDisconnected(notify("Disconnected"));
    Conn->SetOnJoinSubject(text("JoinSubject"));
    Conn->SetOnLoginFailed(text("LoginFailed"));
    Conn->SetOnLoginSuccess(user("LoginSuccess"));
    Conn->SetOnRemoveSubject(text("RemoveSubject"));
    Conn->SetOnRemoveUser(user("RemoveUser"));
    Conn->SetOnServerError(text("ServerError"));
    Conn->SetOnServerStatus([this](TZorvaConnection&, const TZorvaServerStats& stats) {
      Log.push_back("ServerStatus:" + std::to_string(stats.SecondsActive()));
    });
    Conn->SetOnShout(text("Shout"));
    Conn->SetOnUserInfo([this](TZorvaConnection&, TZorvaUser& u) {
      Log.push_back("UserInfo:" + u.Id() + ":" + u.FirstName());
    });
    Conn->SetOnLineError([this](TZorvaConnection&, std::string_view line, std::string_view) {
      Log.push_back("LineError:" + std::string(line));
    });
  }

  FakeClientSocket* Socket;
  std::shared_ptr<FakeClientSocket::TRecord> Record;
  std::unique_ptr<TZorvaConnection> Conn;
  TLog Log;
};

// ---- Received lines: chunks in (logged in as "ann"), events and written lines out. ----

struct ReceiveCase {
  const char* label;
  std::vector<std::string> chunks;
  TLog events;
  std::string written;
};
void PrintTo(const ReceiveCase& c, std::ostream* os) {
  *os << c.label;
}

class ReceiveTest : public ConnectionTest, public testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceiveTest, Transcript) {
  ConnectAndLogin();
  for (const auto& chunk : GetParam().chunks) Receive(chunk);
  EXPECT_EQ(Log, GetParam().events);
  EXPECT_EQ(Record->Written, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveTest,
    testing::Values(
        ReceiveCase{"two_lines_one_read", {"SHOUT|a|\nSHOUT|b|\n"}, {"Shout:a", "Shout:b"}, ""},
        ReceiveCase{"split_inside_word", {"SH", "OUT|x|", "\n"}, {"Shout:x"}, ""},
        ReceiveCase{"trailing_partial_waits", {"SHOUT|x|\nSHOUT|y"}, {"Shout:x"}, ""},
        ReceiveCase{"bare_word", {"BEGINSUBJECT\n"}, {"BeginSubject"}, ""},
        ReceiveCase{"words_are_case_sensitive", {"shout|x|\nBEGINSUBJECT \n"}, {}, ""},
        ReceiveCase{"empty_line_ignored", {"\n"}, {}, ""},
        ReceiveCase{"login_failed_reason_is_rest",
                    {"LOGIN|ERROR|Invalid Password\n"},
                    {"LoginFailed:Invalid Password"},
                    ""},
        ReceiveCase{"subjects_closing_bar",
                    {"SUBJECTS|Lobby Chat|Games|\n"},
                    {"AddSubject:Lobby Chat", "AddSubject:Games"},
                    ""},
        ReceiveCase{"subjects_empty", {"SUBJECTS|\n"}, {}, ""},
        ReceiveCase{"ping_without_pairs_only_answers", {"PING|\n"}, {}, "PING|\n"},
        ReceiveCase{"ping_answered_per_line", {"PING|ann|5|\nPING|\n"}, {}, "PING|\nPING|\n"},
        ReceiveCase{"shout_cut_at_bar", {"SHOUT|a|b|\n"}, {"Shout:a"}, ""},
        ReceiveCase{"chat_keeps_bars", {"SEND|bob|CHAT|a|b\n"}, {"Chat:bob:a|b"}, ""},
        ReceiveCase{"data", {"SEND|bob|DATA|1,2\n"}, {"Data:bob:1,2"}, ""},
        ReceiveCase{"unknown_send_kind", {"SEND|bob|VOICE|x\nSEND|bob|chat|x\n"}, {}, ""},
        ReceiveCase{"error_is_whole_rest",
                    {"ERROR|Unrecognized Server Command: X|y\n"},
                    {"ServerError:Unrecognized Server Command: X|y"},
                    ""},
        ReceiveCase{"custom", {"CUSTOM|move|e2|e4\n"}, {"Custom:move:e2|e4"}, ""},
        ReceiveCase{
            "carriage_return_stays_in_last_field", {"ERROR|x\r\n"}, {"ServerError:x\r"}, ""},
        ReceiveCase{"join_lists_members_after_the_name",
                    {"JOINSUBJECT|Lobby|" + U("bob") + "|" + U("ann") + "\n"},
                    {"JoinSubject:Lobby", "AddUser:bob", "AddUser:ann"},
                    ""},
        ReceiveCase{"remove_guest_with_more_after_id_matches_nobody",
                    {"ADDGUEST|bob|" + U("bob") + "\n", "REMOVEGUEST|bob|\nREMOVEGUEST|eve\n"},
                    {"AddUser:bob"},
                    ""},
        ReceiveCase{"remove_guest",
                    {"ADDGUEST|bob|" + U("bob") + "\nREMOVEGUEST|bob\n"},
                    {"AddUser:bob", "RemoveUser:bob"},
                    ""},
        ReceiveCase{"remove_subject_fires_for_unknown_name_too",
                    {"REMOVESUBJECT|Nowhere\n"},
                    {"RemoveSubject:Nowhere"},
                    ""},
        ReceiveCase{"user_info_only_for_listed_users",
                    {"USERINFO|" + U("eve", "Eve") + "|\n",
                     "ADDGUEST|bob|" + U("bob") + "\nUSERINFO|" + U("bob", "Bob") + "|\n"},
                    {"AddUser:bob", "UserInfo:bob:Bob"},
                    ""},
        ReceiveCase{"server_stats", {"SERVERSTATS|61`0`0`0`0`0`0`0`|\n"}, {"ServerStatus:61"}, ""},
        ReceiveCase{"bad_record_ends_that_line_only",
                    {"ADDGUEST|bob|bob^^^^^^^^^notadate^\nSHOUT|x|\n"},
                    {"LineError:ADDGUEST|bob|bob^^^^^^^^^notadate^", "Shout:x"},
                    ""},
        ReceiveCase{"bad_round_trip_after_reply_then_next_line",
                    {"PING|ann|fast|\nSHOUT|x|\n"},
                    {"LineError:PING|ann|fast|", "Shout:x"},
                    "PING|\n"}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- Sending: each operation, connected and logged in as "ann" with subject code "chess". ----

struct SendCase {
  const char* label;
  void (*send)(TZorvaConnection&);
  std::string written;
};
void PrintTo(const SendCase& c, std::ostream* os) {
  *os << c.label;
}

class SendTest : public ConnectionTest, public testing::WithParamInterface<SendCase> {};

TEST_P(SendTest, WritesOneLine) {
  ConnectAndLogin();
  Receive("JOINSUBJECT|Lobby|" + U("ann") + "\n");
  Record->Written.clear();
  GetParam().send(*Conn);
  EXPECT_EQ(Record->Written, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendTest,
    testing::Values(
        SendCase{"login", [](auto& c) { c.Login("ann", "pw|x"); }, "LOGIN|ann|chess|pw|x\n"},
        SendCase{"login_new", [](auto& c) { c.LoginNew("bob", "TEXT"); },
                 "LOGINNEW|bob|chess|TEXT\n"},
        SendCase{"join", [](auto& c) { c.JoinSubject("Games"); }, "JOINSUBJECT|Games\n"},
        SendCase{"join_current_sends_nothing", [](auto& c) { c.JoinSubject("Lobby"); }, ""},
        SendCase{"create_default_limit", [](auto& c) { c.CreateSubject("Games"); },
                 "CREATESUBJECT|Games|0|\n"},
        SendCase{"create_limit", [](auto& c) { c.CreateSubject("Games", 4); },
                 "CREATESUBJECT|Games|4|\n"},
        SendCase{"chat", [](auto& c) { c.SendChatMessage("hi|there"); }, "SEND|CHAT|hi|there\n"},
        SendCase{"data", [](auto& c) { c.SendDataMessage("1"); }, "SEND|DATA|1\n"},
        SendCase{"custom", [](auto& c) { c.SendMessage("move", "e4"); }, "CUSTOM|move|e4\n"},
        SendCase{"feedback", [](auto& c) { c.SendFeedback("nice"); }, "FEEDBACK|nice\n"},
        SendCase{"user_info", [](auto& c) { c.RequestUserInfo("bob"); }, "USERINFO|bob|\n"},
        SendCase{"statistics", [](auto& c) { c.RequestStatistics(); }, "SERVERSTATS|\n"},
        SendCase{"update_own_record",
                 [](auto& c) {
                   c.CurrentUser()->SetCity("Oslo");
                   c.UpdateUserInfo();
                 },
                 [] {
                   TZorvaUser u;
                   u.SetId("ann");
                   u.SetCity("Oslo");
                   return "USERUPDATE|ann|" + u.toString() + "|\n";
                 }()},
        // Sent, the text after the line feed would reach the server as a command of its own.
        SendCase{"line_feed_in_a_text_drops_the_line",
                 [](auto& c) { c.SendChatMessage("a\nUSERUPDATE|bob|x|"); }, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConnectionTest, NothingIsSentBeforeTheConnectionIsUp) {
  Conn->SetActive(true);
  EXPECT_FALSE(Conn->Active());
  Conn->Login("ann", "pw");
  Conn->RequestStatistics();
  Socket->Connected();
  EXPECT_TRUE(Conn->Active());
  EXPECT_EQ(Record->Written, "");
}

TEST_F(ConnectionTest, UpdateWithoutLoginSendsNothing) {
  Connect();
  Conn->UpdateUserInfo();
  EXPECT_EQ(Record->Written, "");
}

TEST_F(ConnectionTest, EncryptionBeforeLineFeedAndFramingBeforeDecryption) {
  std::vector<std::string> seen;
  Conn->SetOnEncryptString([](TZorvaConnection&, std::string& line) { line = "<" + line + ">"; });
  // Decryption turns "X" into a whole SHOUT line: it must see lines, never raw chunks.
  Conn->SetOnDecryptString([](TZorvaConnection&, std::string& line) {
    if (line == "X") line = "SHOUT|decrypted|";
  });
  Conn->OnStringRead = [&](TZorvaConnection&, std::string_view line) { seen.emplace_back(line); };
  Connect();
  Conn->SendChatMessage("hi");
  Receive("X\nPING|\n");
  EXPECT_EQ(Record->Written, "<SEND|CHAT|hi>\n<PING|>\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"SHOUT|decrypted|", "PING|"}));
  EXPECT_EQ(Log, TLog{"Shout:decrypted"});
}

TEST_F(ConnectionTest, EncryptedLineWithALineFeedIsDropped) {
  Conn->SetOnEncryptString([](TZorvaConnection&, std::string& line) {
    if (line.starts_with("SEND")) line += "\nJOINSUBJECT|Secret";
  });
  Connect();
  Conn->SendChatMessage("hi");
  Conn->RequestStatistics();
  EXPECT_EQ(Record->Written, "SERVERSTATS|\n");
}

// ---- The user list and the own user's record. ----

TEST_F(ConnectionTest, OwnUserIsListedAsTheLoginRecordAndNeverFreedByTheList) {
  ConnectAndLogin("ann");
  TZorvaUser* own = Conn->CurrentUser();
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("ann") + "\n");
  ASSERT_EQ(ListedIds(), (std::vector<std::string>{"bob", "ann"}));
  EXPECT_EQ(&Conn->GetUser(1), own);
  EXPECT_EQ(Conn->FindUser("ann"), own);

  TZorvaUser* removed = nullptr;
  Conn->SetOnRemoveUser([&](TZorvaConnection&, TZorvaUser& u) { removed = &u; });
  Receive("REMOVEGUEST|ann\n");
  EXPECT_EQ(removed, own);
  EXPECT_EQ(ListedIds(), std::vector<std::string>{"bob"});
  // Still alive (the sanitizer build catches a free here) and still the current user.
  EXPECT_EQ(Conn->CurrentUser()->Id(), "ann");

  Receive("JOINSUBJECT|Games|" + U("ann") + "\n");
  Conn->ClearUsers();
  EXPECT_EQ(Conn->CurrentUser(), own);
}

TEST_F(ConnectionTest, SecondLoginUnlistsTheOldRecordBeforeFreeingIt) {
  ConnectAndLogin("ann");
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("ann") + "\n");
  Receive("LOGIN|SUCCESS|" + U("ann", "Again") + "\n");
  EXPECT_EQ(ListedIds(), std::vector<std::string>{"bob"});
  EXPECT_EQ(Conn->FindUser("ann"), nullptr);
  EXPECT_EQ(Conn->CurrentUser()->FirstName(), "Again");
}

TEST_F(ConnectionTest, BadLoginRecordKeepsTheOldLogin) {
  ConnectAndLogin("ann");
  TZorvaUser* own = Conn->CurrentUser();
  Receive("LOGIN|SUCCESS|bob^^^^^^^^^bad^\n");
  EXPECT_EQ(Conn->CurrentUser(), own);
  EXPECT_EQ(Log, TLog{"LineError:LOGIN|SUCCESS|bob^^^^^^^^^bad^"});
}

TEST_F(ConnectionTest, UserInfoAboutOwnUserRefillsTheSameRecord) {
  ConnectAndLogin("ann");
  TZorvaUser* own = Conn->CurrentUser();
  Receive("JOINSUBJECT|Lobby|" + U("ann") + "\n");
  Receive("USERINFO|" + U("ann", "Ann") + "|\n");
  EXPECT_EQ(Conn->CurrentUser(), own);
  EXPECT_EQ(own->FirstName(), "Ann");
}

TEST_F(ConnectionTest, PingRoundTripsGoToListedUsers) {
  ConnectAndLogin("ann");
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("ann") + "\n");
  Receive("PING|bob|40|eve|7|ann|12|\n");
  EXPECT_EQ(Conn->FindUser("bob")->PingHistory().back(), 40);
  EXPECT_EQ(Conn->CurrentUser()->PingHistory().back(), 12);
}

TEST_F(ConnectionTest, RenamedOwnRecordIsStillFoundUnderItsNewId) {
  ConnectAndLogin("ann");
  Receive("JOINSUBJECT|Lobby|" + U("ann") + "|" + U("bob") + "\n");
  Conn->CurrentUser()->SetId("anna");
  EXPECT_EQ(Conn->FindUser("ann"), nullptr);
  EXPECT_EQ(Conn->FindUser("bob")->Id(), "bob");
}

TEST_F(ConnectionTest, SubjectNamesFollowTheServer) {
  ConnectAndLogin();
  Receive("SUBJECTS|Lobby|A|B|\nADDSUBJECT|C\nREMOVESUBJECT|A\nREMOVESUBJECT|Z\n");
  EXPECT_EQ(Conn->SubjectNames(), (std::vector<std::string>{"Lobby", "B", "C"}));
  Receive("SUBJECTS|Lobby|\n");
  EXPECT_EQ(Conn->SubjectNames(), std::vector<std::string>{"Lobby"});
}

TEST_F(ConnectionTest, GetUserOutsideTheListThrows) {
  ConnectAndLogin();
  EXPECT_THROW(Conn->GetUser(0), std::out_of_range);
  EXPECT_THROW(Conn->GetUser(-1), std::out_of_range);
}

// ---- Connection life. ----

TEST_F(ConnectionTest, PropertiesWhileActive) {
  Connect();
  Conn->SetPort(99);
  Conn->SetSubjectCode("go");
  Conn->SetHost("elsewhere");
  EXPECT_EQ(Conn->Port(), 0);
  EXPECT_EQ(Conn->SubjectCode(), "chess");
  EXPECT_EQ(Conn->Host(), "elsewhere");
}

TEST_F(ConnectionTest, DeactivatingWhileConnectingDoesNothing) {
  Conn->SetActive(true);
  Conn->SetActive(false);
  EXPECT_EQ(Record->Closes, 0);
}

TEST_F(ConnectionTest, ClosingByTheProgramIsSilentAndResetsTheSession) {
  ConnectAndLogin();
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("ann") + "\n");
  Conn->SetActive(false);
  EXPECT_EQ(Log, (TLog{"JoinSubject:Lobby", "AddUser:bob", "AddUser:ann"}));
  EXPECT_FALSE(Conn->Active());
  EXPECT_FALSE(Conn->LoggedIn());
  EXPECT_EQ(Conn->CurrentSubject(), "");
  EXPECT_EQ(Conn->GetUserCount(), 0);
  ASSERT_NE(Conn->CurrentUser(), nullptr);
  // The current subject is forgotten, so joining it again after a reconnect is sent.
  Connect();
  Conn->JoinSubject("Lobby");
  EXPECT_EQ(Record->Written, "JOINSUBJECT|Lobby\n");
}

TEST_F(ConnectionTest, ServerClosingFiresDisconnected) {
  ConnectAndLogin();
  Socket->Disconnected();
  EXPECT_EQ(Log, TLog{"Disconnected"});
  EXPECT_FALSE(Conn->LoggedIn());
}

TEST_F(ConnectionTest, ActivatingAgainAfterAFailedAttemptRetries) {
  Conn->SetHost("10.0.0.1");
  Conn->SetPort(4000);
  Conn->SetOnSocketError([&](TZorvaConnection&, int code, std::string_view text) {
    Log.push_back("SocketError:" + std::to_string(code) + ":" + std::string(text));
  });
  Conn->SetActive(true);
  Socket->Error(0, "Connection refused");
  Conn->SetActive(true);
  ASSERT_EQ(Record->Connects.size(), 2u);
  EXPECT_EQ(Record->Connects[1].Host, "10.0.0.1");
  EXPECT_TRUE(Record->Connects[1].Numeric);
  EXPECT_EQ(Record->Connects[1].Port, 4000);
  EXPECT_EQ(Log, TLog{"SocketError:0:Connection refused"});
  EXPECT_TRUE(Record->ShownErrors.empty());
}

// The socket gets the TLS settings before it connects; one that cannot do TLS is never asked to
// connect, so a program that asked for TLS never talks in the clear.
TEST_F(ConnectionTest, TlsSettingsReachTheSocketOrStopTheConnect) {
  struct Case {
    const char* Label;
    bool UseTls;
    bool VerifyPeer;
    bool SocketCanTls;
    std::size_t Connects;
    TLog Events;
  };
  const Case cases[] = {
      {"plain on a socket without TLS", false, true, false, 1, {}},
      {"TLS, checked", true, true, true, 1, {}},
      {"TLS, unchecked", true, false, true, 1, {}},
      {"TLS on a socket without it",
       true,
       true,
       false,
       0,
       {"SocketError:" + std::to_string(EPROTONOSUPPORT) +
        ":This connection's socket cannot use TLS"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    auto socket = std::make_unique<FakeClientSocket>();
    const auto record = socket->Record();
    record->CanTls = c.SocketCanTls;
    TZorvaConnection conn(std::move(socket));
    TLog events;
    conn.SetOnSocketError([&](TZorvaConnection&, int code, std::string_view text) {
      events.push_back("SocketError:" + std::to_string(code) + ":" + std::string(text));
    });
    conn.SetUseTls(c.UseTls);
    conn.SetTlsCaFile("ca.pem");
    conn.SetTlsVerifyPeer(c.VerifyPeer);
    conn.SetActive(true);
    EXPECT_EQ(record->Connects.size(), c.Connects);
    EXPECT_EQ(events, c.Events);
    if (c.Connects == 0) continue;
    EXPECT_EQ(record->Tls.Enabled, c.UseTls);
    EXPECT_EQ(record->Tls.VerifyPeer, c.VerifyPeer);
    EXPECT_EQ(record->Tls.CaFile, "ca.pem");
  }
}

TEST_F(ConnectionTest, TlsIsOffAndVerificationOnByDefault) {
  EXPECT_FALSE(Conn->UseTls());
  EXPECT_TRUE(Conn->TlsVerifyPeer());
}

TEST_F(ConnectionTest, UnhandledSocketErrorIsShownByTheSocket) {
  Conn->SetActive(true);
  Socket->Error(1, "Remote closed");
  EXPECT_EQ(Record->ShownErrors, std::vector<std::string>{"1 Remote closed"});
}

TEST_F(ConnectionTest, LineOverTheLimitClosesAndFiresDisconnected) {
  ConnectAndLogin();
  Receive("ERROR|" + std::string(65536 - 6, 'x') + "\n");
  ASSERT_EQ(Log.size(), 1u);
  Receive(std::string(65537, 'y'));
  EXPECT_EQ(Record->Closes, 1);
  EXPECT_EQ(Log.back(), "Disconnected");
  EXPECT_FALSE(Conn->Active());
}

TEST_F(ConnectionTest, DestructionFiresNothing) {
  ConnectAndLogin();
  Receive("JOINSUBJECT|Lobby|" + U("ann") + "\n");
  Log.clear();
  const auto record = Record;
  Conn.reset();
  EXPECT_TRUE(Log.empty());
  EXPECT_EQ(record->Closes, 1);
}

// ---- Handlers that change the connection while a read is being dispatched. ----

TEST_F(ConnectionTest, HandlerThatDeactivatesStopsTheRestOfTheRead) {
  ConnectAndLogin();
  Conn->SetOnChatReceived([&](TZorvaConnection& c, std::string_view text, std::string_view) {
    Log.push_back("Chat:" + std::string(text));
    c.SetActive(false);
  });
  Receive("SEND|bob|CHAT|one\nSEND|bob|CHAT|two\nSEND|bob|CH");
  Connect();
  Receive("AT|three\nSHOUT|fresh|\n");
  EXPECT_EQ(Log, TLog{"Shout:fresh"});
}

TEST_F(ConnectionTest, HandlerThatDeactivatesDuringAJoinListing) {
  ConnectAndLogin();
  Conn->SetOnAddUser([&](TZorvaConnection& c, TZorvaUser& u) {
    Log.push_back("AddUser:" + u.Id());
    c.SetActive(false);
  });
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("cid") + "|" + U("ann") + "\n");
  EXPECT_EQ(Log, (TLog{"JoinSubject:Lobby", "AddUser:bob"}));
  EXPECT_EQ(Conn->GetUserCount(), 0);
}

TEST_F(ConnectionTest, RemoveHandlerThatClearsTheListFreesTheRecordOnce) {
  ConnectAndLogin();
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("ann") + "\n");
  Conn->SetOnRemoveUser([](TZorvaConnection& c, TZorvaUser&) { c.ClearUsers(); });
  Receive("REMOVEGUEST|bob\nADDGUEST|bob|" + U("bob") + "\n");
  EXPECT_EQ(ListedIds(), std::vector<std::string>{"bob"});
}

TEST_F(ConnectionTest, ReadArrivingInsideAHandlerIsDispatchedAfterTheLinesBeforeIt) {
  ConnectAndLogin();
  Conn->SetOnShout([&](TZorvaConnection&, std::string_view text) {
    Log.push_back("Shout:" + std::string(text));
    // As if the handler ran the event loop and the socket had more to say.
    if (text == "a") Receive("SHOUT|c|\nSHO");
  });
  Receive("SHOUT|a|\nSHOUT|b|\n");
  Receive("UT|d|\n");
  EXPECT_EQ(Log, (TLog{"Shout:a", "Shout:b", "Shout:c", "Shout:d"}));
}

// ---- Handlers that run a nested event loop (a message box): lines go on being handled. ----

TEST_F(ConnectionTest, PingArrivingWhileAHandlerWaitsIsAnsweredAtOnce) {
  ConnectAndLogin();
  std::string writtenInside;
  Conn->SetOnServerError([&](TZorvaConnection&, std::string_view) {
    Receive("PING|\nSHOUT|meanwhile|\n");
    writtenInside = Record->Written;
  });
  Receive("ERROR|Oops\n");
  EXPECT_EQ(writtenInside, "PING|\n");
  EXPECT_EQ(Log, TLog{"Shout:meanwhile"});
}

TEST_F(ConnectionTest, RecordRemovedInsideAHandlerLivesUntilTheHandlerReturns) {
  ConnectAndLogin();
  Receive("JOINSUBJECT|Lobby|" + U("bob", "Bob") + "|" + U("ann") + "\n");
  std::string seenAfter;
  Conn->SetOnRemoveUser([&](TZorvaConnection&, TZorvaUser& u) {
    Receive("JOINSUBJECT|Hall|" + U("ann") + "\nREMOVEGUEST|bob\n");
    seenAfter = u.Id() + ":" + u.FirstName();
  });
  Receive("REMOVEGUEST|bob\n");
  EXPECT_EQ(seenAfter, "bob:Bob");
  EXPECT_EQ(ListedIds(), std::vector<std::string>{"ann"});
}

TEST_F(ConnectionTest, NestedListingEndsTheOuterOne) {
  ConnectAndLogin();
  Conn->SetOnAddUser([&](TZorvaConnection&, TZorvaUser& u) {
    Log.push_back("AddUser:" + u.Id());
    if (u.Id() == "bob") Receive("JOINSUBJECT|Hall|" + U("eve") + "\n");
  });
  Conn->SetOnAddSubject([&](TZorvaConnection&, std::string_view name) {
    Log.push_back("AddSubject:" + std::string(name));
    if (name == "a") Receive("SUBJECTS|x|\n");
  });
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("cid") + "\nSUBJECTS|a|b|\n");
  EXPECT_EQ(ListedIds(), std::vector<std::string>{"eve"});
  EXPECT_EQ(Conn->SubjectNames(), std::vector<std::string>{"x"});
  // Lines are handled in the order they arrived, the nested ones after those already framed.
  EXPECT_EQ(Log, (TLog{"JoinSubject:Lobby", "AddUser:bob", "AddSubject:a", "JoinSubject:Hall",
                       "AddUser:eve", "AddSubject:x"}));
}

TEST_F(ConnectionTest, NestingIsBoundedAndEveryLineIsStillHandledInOrder) {
  ConnectAndLogin();
  int depth = 0;
  int deepest = 0;
  int next = 0;
  Conn->SetOnShout([&](TZorvaConnection&, std::string_view text) {
    Log.push_back(std::string(text));
    ++depth;
    deepest = std::max(deepest, depth);
    // Each handler opens a message box, during which the next line arrives.
    if (next < 20) Receive("SHOUT|" + std::to_string(++next) + "|\n");
    --depth;
  });
  Receive("SHOUT|0|\n");
  EXPECT_EQ(deepest, TZorvaConnection::kMaxNesting);
  ASSERT_EQ(Log.size(), 21u);
  for (int i = 0; i <= 20; ++i) EXPECT_EQ(Log[i], std::to_string(i));
}

TEST_F(ConnectionTest, TooMuchWaitingPastTheNestingBoundEndsTheConnection) {
  ConnectAndLogin();
  Conn->SetMaxLineLength(10);
  int depth = 0;
  Conn->SetOnShout([&](TZorvaConnection&, std::string_view) {
    if (++depth < TZorvaConnection::kMaxNesting) {
      Receive("SHOUT|x|\n");
      return;
    }
    // The deepest handler waits; 16 line limits may wait with it, not more.
    for (int i = 0; i < 40 && Conn->Active(); ++i) Receive("PING|\n");
  });
  Receive("SHOUT|x|\n");
  EXPECT_FALSE(Conn->Active());
  EXPECT_EQ(Log, TLog{"Disconnected"});
}

TEST_F(ConnectionTest, UserInfoKeepsThePingHistory) {
  ConnectAndLogin();
  Receive("JOINSUBJECT|Lobby|" + U("bob") + "|" + U("ann") + "\n");
  Receive("PING|bob|200|\n");
  TZorvaUser* bob = Conn->FindUser("bob");
  Receive("USERINFO|" + U("bob", "Bob") + "|\n");
  EXPECT_EQ(Conn->FindUser("bob"), bob);
  EXPECT_EQ(bob->FirstName(), "Bob");
  EXPECT_EQ(bob->GetConnectionQuality(), 200);
}

TEST_F(ConnectionTest, LineLimitIsASetting) {
  EXPECT_EQ(Conn->MaxLineLength(), 65536u);
  Conn->SetMaxLineLength(12);
  Connect();
  Receive("SHOUT|12345|\n");  // exactly 12 bytes before the line feed
  EXPECT_EQ(Log, TLog{"Shout:12345"});
  Receive("SHOUT|123456|\n");
  EXPECT_FALSE(Conn->Active());
  EXPECT_EQ(Log.back(), "Disconnected");
}

TEST_F(ConnectionTest, SendPastTheOutputCapFailsAndSaysWhy) {
  ConnectAndLogin();
  std::vector<std::string> reasons;
  Conn->SetOnSendError([&](TZorvaConnection&, std::string_view line, std::string_view reason) {
    reasons.push_back(std::string(line) + " / " + std::string(reason));
  });
  Conn->SetMaxOutput(100);
  Record->Unwritten = 100 - 11;  // room for "SEND|CHAT|" and its line feed, no more
  EXPECT_EQ(Conn->BytesToSend(), 89u);
  EXPECT_TRUE(Conn->SendChatMessage(""));
  EXPECT_FALSE(Conn->SendChatMessage("x"));
  EXPECT_EQ(Record->Written, "SEND|CHAT|\n");
  EXPECT_EQ(reasons, std::vector<std::string>{
                         "SEND|CHAT|x / Output queue full: 89 bytes wait to be sent, the limit "
                         "is 100"});
}

TEST_F(ConnectionTest, HandlerMayReplaceItself) {
  ConnectAndLogin();
  int calls = 0;
  Conn->SetOnShout([&](TZorvaConnection& c, std::string_view) {
    ++calls;
    c.SetOnShout(nullptr);
  });
  Receive("SHOUT|a|\nSHOUT|b|\n");
  EXPECT_EQ(calls, 1);
}

TEST_F(ConnectionTest, ThrowingHandlerEndsItsLineOnly) {
  ConnectAndLogin();
  Conn->SetOnServerError(
      [](TZorvaConnection&, std::string_view) { throw std::runtime_error("handler failed"); });
  std::string reason;
  Conn->SetOnLineError(
      [&](TZorvaConnection&, std::string_view, std::string_view r) { reason = r; });
  Receive("ERROR|x\nSHOUT|after|\n");
  EXPECT_EQ(reason, "handler failed");
  EXPECT_EQ(Log, TLog{"Shout:after"});
}

// ---- Addresses. ----

struct AddressCase {
  const char* text;
  bool valid;
};

class AddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(AddressTest, DottedQuad) {
  EXPECT_EQ(TZorvaConnection::IsValidIPAddress(GetParam().text), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Table, AddressTest,
                         testing::Values(AddressCase{"127.0.0.1", true},
                                         AddressCase{"999.1.2.300", true},  // no range check
                                         AddressCase{"-1.2.3.4", true}, AddressCase{"1.2.3", false},
                                         AddressCase{"1.2.3.", false}, AddressCase{"", false},
                                         AddressCase{"1.2.3.4.5", false},
                                         AddressCase{"1.2.3.x", false},
                                         AddressCase{"1..3.4", false},
                                         AddressCase{"99999999999.1.1.1", false},
                                         AddressCase{"localhost", false}));

TEST_F(ConnectionTest, HostNameIsHandedOverForResolving) {
  Conn->SetActive(true);
  ASSERT_EQ(Record->Connects.size(), 1u);
  EXPECT_EQ(Record->Connects[0].Host, "localhost");
  EXPECT_FALSE(Record->Connects[0].Numeric);
}

}  // namespace
}  // namespace zorva
