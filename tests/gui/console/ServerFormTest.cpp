// The operator window driven as the operator does (clicks, actions, answered questions) with
// real loopback clients on the Qt transport.
#include "ServerForm.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSslSocket>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTreeWidget>
#include <QValueAxis>
#include <cstdlib>
#include <fstream>
#include <memory>

#include <sys/socket.h>

#include "FakeClock.h"
#include "ModalResult.h"
#include "NewSubjectForm.h"
#include "QtTestSupport.h"
#include "QtTransport.h"
#include "ScriptedPrompts.h"
#include "ServerCore.h"
#include "ServerSettingsForm.h"
#include "ServerTlsConfiguration.h"
#include "SpinEdit.h"
#include "TransportLimits.h"
#include "UserInfoForm.h"

namespace zorva {
namespace {

using test::SpinUntil;
using test::TTestClient;

// A logged-in (or waiting) client of the window's server.
struct TGuestClient : TTestClient {
  using TTestClient::TTestClient;
  bool Has(const QByteArray& line) const { return Received.contains(line + '\n'); }
};

class ServerFormTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }

  void SetUp() override {
    ASSERT_TRUE(FDir.isValid());
    FTransport.SetBindAddress("127.0.0.1");
    FCore.SetMaxLine(1024);
    FTransport.SetEvents(&FCore);
    TSettingsOverrides overrides;
    overrides.Port = 0;
    FWindow = std::make_unique<TfrmServer>(FCore, FTransport, IniPath(), overrides);
    FWindow->SetLogFilePath(Path("Zorva.log"));
    FWindow->show();
  }

  void TearDown() override { FWindow.reset(); }

  std::string Path(const char* name) const { return FDir.filePath(name).toStdString(); }
  std::string IniPath() const { return Path("Win.ini"); }

  void Start() {
    FWindow->actStartServer->trigger();
    ASSERT_TRUE(FCore.Running());
    const std::string address = FTransport.ListenAddress();
    FPort = static_cast<quint16>(std::stoi(address.substr(address.rfind(':') + 1)));
  }

  // Connects; with an id, logs in with `code` and waits until it is in the lobby.
  TGuestClient& Connect(const char* id = nullptr, const char* code = "Chess") {
    FClients.push_back(std::make_unique<TGuestClient>(FPort));
    TGuestClient& client = *FClients.back();
    const std::size_t before = FCore.GuestCount();
    EXPECT_TRUE(client.WaitConnected());
    EXPECT_TRUE(SpinUntil([&] { return FCore.GuestCount() > before; }));
    if (id) {
      client.Write(QByteArray("LOGIN|") + id + "|" + code + "|pw\n");
      EXPECT_TRUE(SpinUntil([&] { return client.Received.contains("JOINSUBJECT|"); }));
    }
    return client;
  }

  // Lets the window draw what the core told it.
  void Settle() { test::Spin(120); }

  QTreeWidgetItem* Node(const QString& path) const {
    QTreeWidgetItem* node = nullptr;
    for (const QString& text : path.split('/')) {
      QTreeWidgetItem* next = nullptr;
      const int count = node ? node->childCount() : FWindow->treeSubjects->topLevelItemCount();
      for (int i = 0; i < count && !next; ++i) {
        QTreeWidgetItem* child = node ? node->child(i) : FWindow->treeSubjects->topLevelItem(i);
        if (child->text(0) == text) next = child;
      }
      if (!next) return nullptr;
      node = next;
    }
    return node;
  }

  void ClickNode(const QString& path) {
    Settle();
    FWindow->treeSubjects->expandAll();
    QTreeWidgetItem* node = Node(path);
    ASSERT_NE(node, nullptr) << path.toStdString();
    ClickItem(node);
  }

  void ClickItem(QTreeWidgetItem* node) {
    FWindow->treeSubjects->scrollToItem(node);
    const QPoint at = FWindow->treeSubjects->visualItemRect(node).center();
    QTest::mouseClick(FWindow->treeSubjects->viewport(), Qt::LeftButton, {}, at);
  }

  void ClickUserRow(int row) {
    FWindow->pages->setCurrentWidget(FWindow->tabUsers);
    QTreeWidgetItem* item = FWindow->lvUsers->topLevelItem(row);
    ASSERT_NE(item, nullptr);
    const QPoint at = FWindow->lvUsers->visualItemRect(item).center();
    QTest::mouseClick(FWindow->lvUsers->viewport(), Qt::LeftButton, {}, at);
  }

  QStringList UserIds() const {
    QStringList ids;
    for (int i = 0; i < FWindow->lvUsers->topLevelItemCount(); ++i)
      ids << FWindow->lvUsers->topLevelItem(i)->text(0);
    return ids;
  }

  // "SUKDA" style flags: which of User Info, Kill User, Create/Delete Subject are enabled.
  std::string SelectionActions() const {
    std::string flags;
    for (QAction* action : {FWindow->actUserInfo, FWindow->actUserKill,
                            FWindow->actServerAddSubject, FWindow->actServerDeleteSubject})
      flags += action->isEnabled() ? '1' : '0';
    return flags;
  }

  QTemporaryDir FDir;
  QtTransport FTransport;
  test::FakeClock FClock;
  TServerHooks FHooks;
  ServerCore FCore{FTransport, FClock, FHooks};
  test::TScriptedPrompts FPrompts;
  std::unique_ptr<TfrmServer> FWindow;
  std::vector<std::unique_ptr<TGuestClient>> FClients;
  quint16 FPort = 0;
};

// ---- state table ------------------------------------------------------------------------

struct TStateCase {
  const char* Label;
  int Clients;
  std::vector<QAction * TfrmServer::*> Steps;
  // Start, Stop, Shut Down, Re-Open, Settings enabled; then running and blocked.
  const char* Expected;
};

class ServerFormStateTest : public ServerFormTest,
                            public ::testing::WithParamInterface<TStateCase> {};

TEST_P(ServerFormStateTest, ActionsFollowTheServerState) {
  const TStateCase& c = GetParam();
  if (!c.Steps.empty()) Start();
  for (int i = 0; i < c.Clients; ++i) Connect();
  FPrompts.Confirms.assign(c.Steps.size(), true);
  for (std::size_t i = 1; i < c.Steps.size(); ++i) (FWindow.get()->*c.Steps[i])->trigger();
  std::string state;
  for (QAction* action : {FWindow->actStartServer, FWindow->actStopServer, FWindow->actServerBlock,
                          FWindow->actServerUnblock, FWindow->actServerSettings})
    state += action->isEnabled() ? '1' : '0';
  state += std::string(" ") + (FCore.Running() ? 'R' : '-') + (FCore.Blocked() ? 'B' : '-');
  EXPECT_EQ(state, c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    States, ServerFormStateTest,
    ::testing::Values(TStateCase{"StartUp", 0, {}, "10001 --"},
                      TStateCase{"Started", 0, {&TfrmServer::actStartServer}, "01100 R-"},
                      TStateCase{"ShutDownWithAClient",
                                 1,
                                 {&TfrmServer::actStartServer, &TfrmServer::actServerBlock},
                                 "01010 RB"},
                      TStateCase{"ShutDownWithoutClientsStops",
                                 0,
                                 {&TfrmServer::actStartServer, &TfrmServer::actServerBlock},
                                 "10001 --"},
                      TStateCase{"ReOpened",
                                 1,
                                 {&TfrmServer::actStartServer, &TfrmServer::actServerBlock,
                                  &TfrmServer::actServerUnblock},
                                 "01100 R-"},
                      TStateCase{"StoppedFromShutDown",
                                 1,
                                 {&TfrmServer::actStartServer, &TfrmServer::actServerBlock,
                                  &TfrmServer::actStopServer},
                                 "10001 --"}),
    [](const auto& info) { return std::string(info.param.Label); });

// ---- Stop, Shut Down, client count ---------------------------------------------------------

TEST_F(ServerFormTest, StopWithoutClientsAsksNothing) {
  Start();
  FWindow->actStopServer->trigger();
  EXPECT_FALSE(FCore.Running());
  EXPECT_TRUE(FPrompts.Asked.empty());
}

TEST_F(ServerFormTest, StopWithClientsAsksAndNoLeavesEverythingRunning) {
  Start();
  TGuestClient& alice = Connect("alice");
  FPrompts.Confirms = {false};
  FWindow->actStopServer->trigger();
  EXPECT_EQ(FPrompts.Asked,
            std::vector<std::string>{
                "Confirm: There are still clients connected ... Stop Server anyway?"});
  EXPECT_TRUE(FCore.Running());
  EXPECT_EQ(FCore.GuestCount(), 1u);
  EXPECT_FALSE(alice.Closed);
}

TEST_F(ServerFormTest, StopWithClientsAndYesEmptiesTreeListAndAddress) {
  Start();
  const QString address = FWindow->StatusText(2);
  EXPECT_TRUE(address.endsWith(":" + QString::number(FPort))) << address.toStdString();
  TGuestClient& alice = Connect("alice");
  Connect();
  ClickNode("All");
  ASSERT_EQ(FWindow->lvUsers->topLevelItemCount(), 2);
  FPrompts.Confirms = {true};
  FWindow->actStopServer->trigger();
  EXPECT_EQ(FWindow->treeSubjects->topLevelItemCount(), 2);
  EXPECT_EQ(FWindow->treeSubjects->topLevelItem(1)->childCount(), 0);
  EXPECT_EQ(FWindow->lvUsers->topLevelItemCount(), 0);
  EXPECT_EQ(FWindow->StatusText(2), "");
  EXPECT_EQ(FWindow->StatusText(1), "");
  EXPECT_EQ(FWindow->StatusText(4), "0 clients");
  EXPECT_TRUE(SpinUntil([&] { return alice.Closed; }));
}

TEST_F(ServerFormTest, ShutDownRefusesNewcomersWhileGuestsStayAndCanLogIn) {
  Start();
  TGuestClient& waiting = Connect();
  FWindow->actServerBlock->trigger();
  TGuestClient late(FPort);
  EXPECT_TRUE(SpinUntil([&] { return late.Closed; }));
  EXPECT_EQ(late.Received, "ERROR|The Server is shutting down\n");
  waiting.Write("LOGIN|bob|Chess|pw\n");
  EXPECT_TRUE(SpinUntil([&] { return waiting.Received.contains("LOGIN|SUCCESS|"); }));
  EXPECT_EQ(FCore.GuestCount(), 1u);
}

TEST_F(ServerFormTest, ClientCountSaysClientOnlyForOne) {
  Start();
  EXPECT_EQ(FWindow->StatusText(4), "0 clients");
  const char* expected[] = {"1 client", "2 clients"};
  for (const char* text : expected) {
    Connect();
    EXPECT_TRUE(SpinUntil([&] { return FWindow->StatusText(4) == text; })) << text;
  }
}

// ---- tree, users list and the selection ------------------------------------------------------

// alice and bob in Chess's lobby, carol in the client-made "Blitz", dave in Go, one guest waiting.
class ServerFormPopulatedTest : public ServerFormTest {
 protected:
  void SetUp() override {
    ServerFormTest::SetUp();
    Start();
    Connect("alice");
    Connect("bob");
    TGuestClient& carol = Connect("carol");
    carol.Write("CREATESUBJECT|Blitz|0|\n");
    EXPECT_TRUE(SpinUntil([&] { return carol.Received.contains("JOINSUBJECT|Blitz|"); }));
    Connect("dave", "Go");
    Connect();
    Settle();
  }
  TGuestClient& Client(int index) { return *FClients[index]; }
};

struct TNodeCase {
  const char* Label;
  const char* Path;
  const char* Rows;     // ids in the users list
  const char* Actions;  // User Info, Kill User, Create Subject, Delete Subject
};

class ServerFormNodeTest : public ServerFormPopulatedTest,
                           public ::testing::WithParamInterface<TNodeCase> {};

TEST_P(ServerFormNodeTest, ListsTheNodesGuestsAndEnablesItsActions) {
  ClickNode(GetParam().Path);
  EXPECT_EQ(UserIds().join(','), GetParam().Rows);
  EXPECT_EQ(SelectionActions(), GetParam().Actions);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, ServerFormNodeTest,
    ::testing::Values(TNodeCase{"All", "All", "alice,bob,carol,dave,N/A", "0000"},
                      TNodeCase{"StagingArea", "Staging Area", "N/A", "0000"},
                      TNodeCase{"SubjectCode", "Chess", "alice,bob,carol", "0010"},
                      TNodeCase{"Lobby", "Chess/Lobby Chat", "alice,bob", "0001"},
                      TNodeCase{"ClientSubject", "Chess/Blitz", "carol", "0001"},
                      TNodeCase{"MemberEmptiesTheList", "Chess/Lobby Chat/bob", "", "1100"},
                      TNodeCase{"OtherCode", "Go", "dave", "0010"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(ServerFormPopulatedTest, StagingGuestNodeShowsTheServersEndOfTheConnection) {
  QTreeWidgetItem* staging = Node("Staging Area");
  ASSERT_EQ(staging->childCount(), 1);
  EXPECT_EQ(staging->child(0)->text(0), "127.0.0.1");
}

TEST_F(ServerFormPopulatedTest, UsersListRowsHoldIdNameAndAddress) {
  ClickNode("Staging Area");
  ASSERT_EQ(FWindow->lvUsers->topLevelItemCount(), 1);
  QTreeWidgetItem* row = FWindow->lvUsers->topLevelItem(0);
  EXPECT_EQ(row->text(0), "N/A");
  EXPECT_EQ(row->text(1), "");
  EXPECT_EQ(row->text(2), "127.0.0.1");
}

TEST_F(ServerFormPopulatedTest, PressInTheListDisablesSubjectActionsUntilTheNextTreeClick) {
  ClickNode("Chess");
  ASSERT_EQ(SelectionActions(), "0010");
  ClickUserRow(0);
  EXPECT_EQ(SelectionActions(), "1100");
  EXPECT_EQ(FWindow->SelectedGuest(), FCore.Guests()[0]->Connection());
  ClickNode("Chess/Blitz");
  EXPECT_EQ(SelectionActions(), "0001");
}

TEST_F(ServerFormPopulatedTest, KeyboardSelectionInTheTreeActsLikeAClick) {
  ClickNode("Chess");
  FWindow->treeSubjects->setFocus();
  QTest::keyClick(FWindow->treeSubjects, Qt::Key_Down);  // the lobby, first child of "Chess"
  EXPECT_EQ(FWindow->treeSubjects->currentItem()->text(0), "Lobby Chat");
  EXPECT_EQ(SelectionActions(), "0001");
  EXPECT_EQ(UserIds().join(','), "alice,bob");
}

TEST_F(ServerFormPopulatedTest, TreeFollowsLoginsAndDropsAndKeepsTheSelection) {
  ClickNode("Chess/Lobby Chat");
  Client(0).Socket.disconnectFromHost();
  EXPECT_TRUE(SpinUntil([&] { return !Node("Chess/Lobby Chat/alice"); }));
  EXPECT_TRUE(SpinUntil([&] { return UserIds().join(',') == "bob"; }));
  ASSERT_NE(FWindow->treeSubjects->currentItem(), nullptr);
  EXPECT_EQ(FWindow->treeSubjects->currentItem()->text(0), "Lobby Chat");
}

// Waiting guests look alike in both views; the ids behind them must come in arrival order.
TEST_F(ServerFormTest, StagingAreaListsTheWaitingGuestsAsTheTreeDoes) {
  Start();
  Connect();
  TGuestClient& leaving = Connect();
  Connect();
  leaving.Write("LOGIN|bob|Chess|pw\n");
  ASSERT_TRUE(SpinUntil([&] { return leaving.Received.contains("JOINSUBJECT|"); }));
  const std::vector<ConnectionId> waiting{FCore.Guests()[0]->Connection(),
                                          FCore.Guests()[2]->Connection()};

  ClickNode("Staging Area");
  std::vector<ConnectionId> listed;
  for (int row = 0; row < FWindow->lvUsers->topLevelItemCount(); ++row) {
    ClickUserRow(row);
    listed.push_back(FWindow->SelectedGuest().value_or(0));
  }
  std::vector<ConnectionId> inTree;
  QTreeWidgetItem* staging = Node("Staging Area");
  for (int child = 0; child < staging->childCount(); ++child) {
    ClickItem(staging->child(child));
    inTree.push_back(FWindow->SelectedGuest().value_or(0));
  }
  EXPECT_EQ(listed, waiting);
  EXPECT_EQ(inTree, waiting);
}

// ---- user actions -------------------------------------------------------------------------

TEST_F(ServerFormPopulatedTest, KillUserAsksThenDisconnectsWithoutAWord) {
  ClickNode("Chess/Lobby Chat/bob");
  FPrompts.Confirms = {true};
  const QByteArray before = Client(1).Received;
  FWindow->actUserKill->trigger();
  EXPECT_EQ(FPrompts.Asked.back(), "Confirm: Are you sure you want to kill this User?");
  EXPECT_TRUE(SpinUntil([&] { return Client(1).Closed; }));
  EXPECT_EQ(Client(1).Received, before);
  EXPECT_TRUE(SpinUntil([&] { return Client(0).Has("REMOVEGUEST|bob"); }));
  EXPECT_EQ(FCore.GuestCount(), 4u);
}

TEST_F(ServerFormPopulatedTest, KillUserAnsweredNoKeepsTheGuest) {
  ClickNode("Chess/Lobby Chat/bob");
  FPrompts.Confirms = {false};
  FWindow->actUserKill->trigger();
  test::Spin(50);
  EXPECT_EQ(FCore.GuestCount(), 5u);
}

TEST_F(ServerFormPopulatedTest, KillOfAGuestThatLeftDuringTheQuestionDoesNothing) {
  ClickNode("Chess/Lobby Chat/bob");
  const ConnectionId bob = *FWindow->SelectedGuest();
  FPrompts.Confirms = {true};
  // bob leaves while the question is open.
  FCore.OnClientDisconnect(bob);
  FWindow->actUserKill->trigger();
  EXPECT_EQ(FCore.GuestCount(), 4u);
}

TEST_F(ServerFormPopulatedTest, UserInfoSavesTheEditAndTellsTheSubject) {
  ClickNode("Chess/Lobby Chat/alice");
  FPrompts.Dialogs = {[](QDialog& dialog) {
    auto& form = dynamic_cast<TfrmUserInfo&>(dialog);
    EXPECT_EQ(form.edtUserId->text(), "alice");
    form.btnEditClick();
    form.edtFirstName->setText("Alice");
    form.edtLastName->setText("Archer");
    form.edtPassword1->setText("pw");
    form.edtPassword2->setText("pw");
    form.btnOkClick();
    return form.result();
  }};
  FWindow->actUserInfo->trigger();
  EXPECT_TRUE(
      SpinUntil([&] { return Client(1).Received.contains("USERINFO|alice^^Alice^Archer^"); }));
  EXPECT_TRUE(Client(0).Received.contains("USERINFO|alice^^Alice^Archer^"));
  EXPECT_EQ(FCore.FindGuest(*FWindow->SelectedGuest())->User()->GetFullName(), "Alice Archer");
}

TEST_F(ServerFormPopulatedTest, UserInfoOnAStagingGuestOpensNothing) {
  ClickNode("Staging Area/127.0.0.1");
  FWindow->actUserInfo->trigger();
  EXPECT_TRUE(FPrompts.Asked.empty());
}

struct TShoutCase {
  const char* Label;
  const char* Path;
  const char* Receivers;  // client indexes: alice bob carol dave waiting
};

class ServerFormShoutTest : public ServerFormPopulatedTest,
                            public ::testing::WithParamInterface<TShoutCase> {};

TEST_P(ServerFormShoutTest, ReachesTheSelectedGuests) {
  ClickNode(GetParam().Path);
  FPrompts.Texts = {QString("hi")};
  FWindow->actShout->trigger();
  EXPECT_EQ(FPrompts.Asked.back(), "AskText: Shout Message / Message:");
  test::Spin(150);
  std::string receivers;
  for (int i = 0; i < 5; ++i) receivers += Client(i).Has("SHOUT|hi|") ? char('0' + i) : '.';
  EXPECT_EQ(receivers, GetParam().Receivers);
}

INSTANTIATE_TEST_SUITE_P(Targets, ServerFormShoutTest,
                         ::testing::Values(TShoutCase{"All", "All", "01234"},
                                           TShoutCase{"StagingArea", "Staging Area", "....4"},
                                           TShoutCase{"SubjectCode", "Chess", "012.."},
                                           TShoutCase{"Subject", "Chess/Blitz", "..2.."},
                                           TShoutCase{"Member", "Chess/Lobby Chat/bob", ".1..."},
                                           TShoutCase{"StagingGuest", "Staging Area/127.0.0.1",
                                                      "....4"}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST_F(ServerFormPopulatedTest, ShoutToAListRowReachesThatGuestOnly) {
  ClickNode("Go");
  ClickUserRow(0);
  FPrompts.Texts = {QString("hi")};
  FWindow->actShout->trigger();
  EXPECT_TRUE(SpinUntil([&] { return Client(3).Has("SHOUT|hi|"); }));
  EXPECT_FALSE(Client(0).Has("SHOUT|hi|"));
}

TEST_F(ServerFormPopulatedTest, EmptyOrCancelledShoutSendsNothing) {
  ClickNode("All");
  FPrompts.Texts = {QString(""), std::nullopt};
  FWindow->actShout->trigger();
  FWindow->actShout->trigger();
  test::Spin(100);
  EXPECT_FALSE(Client(0).Received.contains("SHOUT|"));
}

TEST_F(ServerFormTest, ShoutWhileStoppedShowsNoInputBox) {
  FWindow->actShout->trigger();
  EXPECT_TRUE(FPrompts.Asked.empty());
}

// ---- subjects -----------------------------------------------------------------------------

// Types into a spin edit as the operator would.
void SetText(TSpinEdit& spin, const char* text) {
  spin.findChild<QLineEdit*>()->setText(text);
}

// Fills the new-subject dialog and presses OK.
std::function<int(QDialog&)> NewSubject(const char* name, const char* max, bool persistent) {
  return [=](QDialog& dialog) {
    auto& form = dynamic_cast<TfrmNewSubject&>(dialog);
    form.edtSubjectName->setText(name);
    SetText(*form.spinMaxPlayers, max);
    form.cbPersistent->setChecked(persistent);
    return int(mrOk);
  };
}

TEST_F(ServerFormPopulatedTest, CreateSubjectAddsItUnderTheCodeAndAnnouncesIt) {
  ClickNode("Chess");
  FPrompts.Dialogs = {NewSubject("Rapid", "0", false)};
  FWindow->actServerAddSubject->trigger();
  EXPECT_TRUE(SpinUntil([&] { return Node("Chess/Rapid") != nullptr; }));
  EXPECT_TRUE(SpinUntil([&] { return Client(2).Has("ADDSUBJECT|Rapid"); }));
  EXPECT_FALSE(Client(3).Has("ADDSUBJECT|Rapid"));
  const TZorvaSubject* rapid = FCore.FindSubject("Chess", "Rapid");
  ASSERT_NE(rapid, nullptr);
  EXPECT_EQ(rapid->MaxConnections(), 0);
  EXPECT_EQ(rapid->MemberCount(), 0u);
  EXPECT_EQ(FCore.UpdateServerStats().TotalSubjectsCreated(), 1);  // carol's Blitz only
}

TEST_F(ServerFormPopulatedTest, CreateSubjectWithATakenNameSaysSoAndCreatesNothing) {
  ClickNode("Chess");
  FPrompts.Dialogs = {NewSubject("Blitz", "3", true), NewSubject("", "0", false)};
  FWindow->actServerAddSubject->trigger();
  EXPECT_EQ(FPrompts.Asked.back(), "Inform: A Subject with that name already exists");
  FWindow->actServerAddSubject->trigger();  // an empty name: nothing at all
  EXPECT_EQ(FPrompts.Asked.back(), "Dialog: zorva::TfrmNewSubject");
  EXPECT_EQ(FCore.Subjects("Chess").size(), 2u);
}

TEST_F(ServerFormPopulatedTest, DeleteSubjectRefusesTheLobbyWithoutAsking) {
  ClickNode("Chess/Lobby Chat");
  FWindow->actServerDeleteSubject->trigger();
  EXPECT_EQ(FPrompts.Asked, std::vector<std::string>{"Inform: You cannot delete the main Lobby"});
  EXPECT_NE(FCore.FindSubject("Chess", "Lobby Chat"), nullptr);
}

TEST_F(ServerFormPopulatedTest, DeleteSubjectMovesItsMembersToTheLobby) {
  ClickNode("Chess/Blitz");
  FPrompts.Confirms = {true};
  FWindow->actServerDeleteSubject->trigger();
  EXPECT_EQ(FPrompts.Asked.back(), "Confirm: Are you sure you want to delete this Subject?");
  EXPECT_EQ(FCore.FindSubject("Chess", "Blitz"), nullptr);
  EXPECT_TRUE(SpinUntil([&] { return Node("Chess/Lobby Chat/carol") != nullptr; }));
  EXPECT_TRUE(SpinUntil([&] { return Client(0).Has("REMOVESUBJECT|Blitz"); }));
}

TEST_F(ServerFormPopulatedTest, DeleteSubjectAnsweredNoKeepsIt) {
  ClickNode("Chess/Blitz");
  FPrompts.Confirms = {false};
  FWindow->actServerDeleteSubject->trigger();
  EXPECT_NE(FCore.FindSubject("Chess", "Blitz"), nullptr);
}

// ---- settings -----------------------------------------------------------------------------

std::function<int(QDialog&)> EditSettings(std::string port, std::string lobby, std::string timeout,
                                          int result) {
  return [=](QDialog& dialog) {
    auto& form = dynamic_cast<TfrmServerSettings&>(dialog);
    SetText(*form.spinPortNbr, port.c_str());
    form.edtLobbyName->setText(QString::fromStdString(lobby));
    SetText(*form.spinTimeout, timeout.c_str());
    return result;
  };
}

TEST_F(ServerFormTest, SettingsCancelChangesNothingEvenWithEditedFields) {
  const TServerSettings before = FCore.Settings();
  FPrompts.Dialogs = {EditSettings("5000", "Hall", "10", mrCancel)};
  FWindow->actServerSettings->trigger();
  EXPECT_EQ(FCore.Settings().Port, before.Port);
  EXPECT_EQ(FCore.Settings().LobbyName, before.LobbyName);
  EXPECT_EQ(FCore.Settings().Timeout, before.Timeout);
}

TEST_F(ServerFormTest, SettingsOkTakesTheFieldsAsTheyAreAndOpensWithCurrentValues) {
  FPrompts.Dialogs = {EditSettings("4x00", "", "-5", mrOk), [](QDialog& dialog) {
                        auto& form = dynamic_cast<TfrmServerSettings&>(dialog);
                        EXPECT_EQ(form.spinPortNbr->text(), "0");
                        EXPECT_EQ(form.edtLobbyName->text(), "");
                        EXPECT_EQ(form.spinTimeout->text(), "-5");
                        return int(mrCancel);
                      }};
  FWindow->actServerSettings->trigger();
  EXPECT_EQ(FCore.Settings().Port, 0);
  EXPECT_EQ(FCore.Settings().LobbyName, "");
  EXPECT_EQ(FCore.Settings().Timeout, -5);
  FWindow->actServerSettings->trigger();
}

TEST_F(ServerFormTest, ClosingWritesTheDialogsSettingsButNotTheCommandLines) {
  // The fixture's port 0 came from the command line; the file had nothing.
  FWindow->close();
  EXPECT_EQ(ReadSettings(IniPath()).Port, 4000);
  FWindow->show();
  FPrompts.Dialogs = {EditSettings("4321", "Hall", "30", mrOk)};
  FWindow->actServerSettings->trigger();
  FWindow->close();
  const TServerSettings written = ReadSettings(IniPath());
  EXPECT_EQ(written.Port, 4321);
  EXPECT_EQ(written.LobbyName, "Hall");
  EXPECT_EQ(written.Timeout, 30);
}

TEST_F(ServerFormTest, SettingsCannotBeOpenedWhileRunning) {
  Start();
  FWindow->actServerSettings->trigger();
  EXPECT_TRUE(FPrompts.Asked.empty());
}

// ---- tracing, log file, alarm -------------------------------------------------------------

QString FileText(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return QString::fromLatin1(file.readAll());
}

TEST_F(ServerFormTest, LogFileGetsBothDirectionsWhilePanesStayEmpty) {
  Start();
  FWindow->actLogFiles->trigger();
  TGuestClient& alice = Connect();
  alice.Write("PING|\n");
  alice.Write("LOGIN|alice|Chess|pw\n");
  EXPECT_TRUE(SpinUntil([&] { return alice.Received.contains("JOINSUBJECT|"); }));
  const QString log = FileText(Path("Zorva.log"));
  EXPECT_TRUE(
      log.startsWith("Rcvd From 127.0.0.1: PING|\r\nRcvd From 127.0.0.1: LOGIN|alice|Chess|***\r\n"
                     "Sent To alice: LOGIN|SUCCESS|alice^^"))
      << log.toStdString();
  EXPECT_TRUE(FWindow->memoIncoming->toPlainText().isEmpty());
  EXPECT_TRUE(FWindow->memoOutgoing->toPlainText().isEmpty());
}

TEST_F(ServerFormTest, LogSwitchedOffAndOnStartsANewEmptyFile) {
  Start();
  FWindow->actLogFiles->trigger();
  TGuestClient& client = Connect();
  client.Write("PING|\n");
  EXPECT_TRUE(SpinUntil([&] { return !FileText(Path("Zorva.log")).isEmpty(); }));
  FWindow->actLogFiles->trigger();
  FWindow->actLogFiles->trigger();
  EXPECT_TRUE(FWindow->actLogFiles->isChecked());
  EXPECT_EQ(FileText(Path("Zorva.log")), "");
}

// The file of --log: kept across starts and switches, and private to its owner.
TEST_F(ServerFormTest, AnAppendingLogFileKeepsWhatItHeldAndIsPrivate) {
  const auto kept = Path("kept.log");
  const auto fresh = Path("fresh.log");
  std::ofstream(kept, std::ios::binary) << "earlier\r\n";
  Start();
  for (const auto& path : {kept, fresh}) {
    FWindow->SetLogFilePath(path, TLogFileStart::Append);
    FWindow->actLogFiles->trigger();
    ASSERT_TRUE(FWindow->actLogFiles->isChecked()) << path;
    TGuestClient& client = Connect();
    client.Write("PING|\n");
    EXPECT_TRUE(SpinUntil([&] { return FileText(path).contains("PING|"); })) << path;
    FWindow->actLogFiles->trigger();
  }
  EXPECT_TRUE(FileText(kept).startsWith("earlier\r\nRcvd From 127.0.0.1: PING|\r\n"))
      << FileText(kept).toStdString();
  EXPECT_EQ(QFile::permissions(QString::fromStdString(fresh)) &
                (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther |
                 QFileDevice::WriteOther),
            QFileDevice::Permissions());
}

TEST_F(ServerFormTest, LogFileThatCannotBeCreatedTurnsTheSwitchOffAndLightsTheAlarm) {
  FWindow->SetLogFilePath(Path("no-such-folder/Zorva.log"));
  FWindow->actLogFiles->trigger();
  EXPECT_FALSE(FWindow->actLogFiles->isChecked());
  EXPECT_TRUE(FWindow->memoExceptions->toPlainText().startsWith("[ELogFileError] "));
  EXPECT_TRUE(FWindow->Alarm());
}

TEST_F(ServerFormTest, TracePanesShowLinesWithoutLineFeedsAndClearTraceKeepsExceptions) {
  Start();
  FWindow->actIncoming->trigger();
  FWindow->actOutgoing->trigger();
  TGuestClient& client = Connect();
  client.Write("PING|\n");
  client.Write("JOINSUBJECT|x\n");  // not logged in: an error line goes out
  EXPECT_TRUE(SpinUntil([&] { return client.Received.contains("ERROR|"); }));
  EXPECT_EQ(FWindow->memoIncoming->toPlainText(), "127.0.0.1: PING|\n127.0.0.1: JOINSUBJECT|x");
  EXPECT_EQ(FWindow->memoOutgoing->toPlainText(), "127.0.0.1: ERROR|You are not logged in");
  FWindow->memoExceptions->appendPlainText("kept");
  FWindow->actClearTrace->trigger();
  EXPECT_TRUE(FWindow->memoIncoming->toPlainText().isEmpty());
  EXPECT_TRUE(FWindow->memoOutgoing->toPlainText().isEmpty());
  EXPECT_EQ(FWindow->memoExceptions->toPlainText(), "kept");
}

TEST_F(ServerFormTest, FailedStartIsReportedStaysStoppedAndTheExceptionsPagePutsTheAlarmOut) {
  QtTransport squatter;
  squatter.SetBindAddress("127.0.0.1");
  std::string error;
  ASSERT_TRUE(squatter.Listen(0, error));
  const std::string taken = squatter.ListenAddress();
  FPrompts.Dialogs = {EditSettings(taken.substr(taken.rfind(':') + 1), "Lobby Chat", "60", mrOk)};
  FWindow->actServerSettings->trigger();
  FWindow->pages->setCurrentWidget(FWindow->tabActivity);
  FWindow->actStartServer->trigger();
  EXPECT_FALSE(FCore.Running());
  EXPECT_TRUE(FWindow->actStartServer->isEnabled());
  EXPECT_TRUE(FWindow->memoExceptions->toPlainText().startsWith("[ESocketError] "));
  EXPECT_TRUE(FWindow->memoExceptions->toPlainText().contains(QString::fromStdString(taken)))
      << FWindow->memoExceptions->toPlainText().toStdString();
  EXPECT_TRUE(FWindow->Alarm());
  FWindow->pages->setCurrentWidget(FWindow->tabExceptions);
  EXPECT_FALSE(FWindow->Alarm());
}

TEST_F(ServerFormTest, ActivityChartKeepsTwentyPointsAndAppendsEachInterval) {
  Start();
  TGuestClient& client = Connect();
  client.Write("PING|\n");  // 6 bytes read in this interval
  EXPECT_TRUE(SpinUntil([&] { return FCore.UpdateServerStats().BytesRead() == 6; }));
  FCore.OnPingTimer();
  test::Spin(20);
  ASSERT_EQ(FWindow->Series1->count(), 20);
  ASSERT_EQ(FWindow->Series2->count(), 20);
  EXPECT_EQ(FWindow->Series1->at(19).y(), 6);
  EXPECT_EQ(FWindow->Series2->at(19).y(), 6);  // the "PING|" the tick sent
  EXPECT_EQ(FWindow->Series1->at(19).x(), 19);
  FCore.OnPingTimer();
  EXPECT_EQ(FWindow->Series1->at(18).y(), 6);
  EXPECT_EQ(FWindow->Series1->at(19).y(), 0);
}

// The left axis makes room for its widest number also when the numbers grew while the chart was
// too small to draw (a small window, as on a hidden page before the window is laid out).
TEST_F(ServerFormTest, ActivityAxisLabelsFitAfterGrowingWhileTheChartWasTooSmall) {
  QChart* chart = FWindow->chartActivity->chart();
  auto* left = static_cast<QValueAxis*>(chart->axes(Qt::Vertical).front());
  const auto roomBesideWidestLabel = [&] {
    const QString widest = QString::number(left->max(), 'f', 0);
    return chart->plotArea().left() - QFontMetricsF(left->labelsFont()).horizontalAdvance(widest);
  };
  FWindow->pages->setCurrentWidget(FWindow->tabActivity);
  Settle();
  const qreal oneDigitRoom = roomBesideWidestLabel();
  const QSize normal = FWindow->size();
  FWindow->resize(200, 120);
  Settle();
  Start();
  FCore.OnClientRead(ConnectionId{999999}, std::string(3050, 'x'));
  FCore.OnPingTimer();
  ASSERT_EQ(left->max(), 4000);
  FWindow->resize(normal);
  Settle();
  EXPECT_NEAR(roomBesideWidestLabel(), oneDigitRoom, 3);
}

// ---- what the window shows at once ----------------------------------------------------------

TEST_F(ServerFormTest, OpensWithAllSelectedAndNewNodesExpanded) {
  EXPECT_EQ(FWindow->treeSubjects->currentItem(), FWindow->treeSubjects->topLevelItem(0));
  Start();
  Connect("alice");
  EXPECT_TRUE(SpinUntil([&] { return FWindow->lvUsers->topLevelItemCount() == 1; }));
  EXPECT_EQ(UserIds(), QStringList{"alice"});
  EXPECT_TRUE(SpinUntil([&] { return Node("Chess/Lobby Chat") != nullptr; }));
  test::Spin(120);
  for (const char* path : {"All", "Chess", "Chess/Lobby Chat"}) {
    ASSERT_NE(Node(path), nullptr) << path;
    EXPECT_TRUE(Node(path)->isExpanded()) << path;
  }
}

TEST_F(ServerFormTest, ANodeTheOperatorClosedStaysClosed) {
  Start();
  Connect("alice");
  test::Spin(120);
  Node("Chess")->setExpanded(false);
  Connect("bob");
  test::Spin(120);
  EXPECT_FALSE(Node("Chess")->isExpanded());
}

TEST_F(ServerFormTest, StatusBarShowsTheAddressOnlyWhileListeningAndTheShutDown) {
  Start();
  Connect("alice");
  const QString address = FWindow->StatusText(2);
  EXPECT_TRUE(address.endsWith(":" + QString::number(FPort))) << address.toStdString();
  const struct {
    QAction* TfrmServer::*Action;
    QString Shown;
  } steps[] = {
      {&TfrmServer::actServerBlock, address + " (shut down)"},
      {&TfrmServer::actServerUnblock, address},
      {&TfrmServer::actServerBlock, address + " (shut down)"},
      {&TfrmServer::actStopServer, ""},
  };
  FPrompts.Confirms = {true};
  for (const auto& step : steps) {
    (FWindow.get()->*step.Action)->trigger();
    EXPECT_EQ(FWindow->StatusText(2), step.Shown) << step.Shown.toStdString();
  }
}

TEST_F(ServerFormTest, ALongHintStaysInItsOwnPanel) {
  Start();
  FWindow->resize(541, 375);
  QStatusTipEvent tip(QString(300, 'x'));
  QCoreApplication::sendEvent(FWindow.get(), &tip);
  test::Spin(50);
  const QWidget* hint = FWindow->findChild<QWidget*>("panelHint");
  const QWidget* address = FWindow->findChild<QWidget*>("panelAddress");
  ASSERT_TRUE(hint && address);
  EXPECT_LT(hint->geometry().right(), address->geometry().left());
  EXPECT_GE(address->width(), address->sizeHint().width());
}

// ---- trace panes ----------------------------------------------------------------------------

class ServerFormTraceTest : public ServerFormTest {
 protected:
  // Lines as if a guest had sent them, straight into the core.
  void Trace(int count, const std::string& line = "PING|") {
    std::string burst;
    for (int i = 0; i < count; ++i) burst += line + "|" + std::to_string(i) + "\n";
    FCore.OnClientRead(kGuest, burst);
  }

  void SetUp() override {
    ServerFormTest::SetUp();
    Start();
    FWindow->actIncoming->trigger();
    FWindow->pages->setCurrentWidget(FWindow->tabIncoming);
    FCore.OnClientConnect(kGuest, "10.0.0.9", "127.0.0.1");
  }

  static constexpr ConnectionId kGuest = 1u << 30;
};

TEST_F(ServerFormTraceTest, ABurstIsShownOncePerTurnAndKeepsTheLastLines) {
  Trace(30000);
  EXPECT_LE(FWindow->memoIncoming->blockCount(), 1);  // nothing drawn inside the burst
  test::Spin(50);
  QPlainTextEdit* pane = FWindow->memoIncoming;
  EXPECT_EQ(pane->blockCount(), TfrmServer::kMaxPaneLines);
  EXPECT_EQ(pane->document()->firstBlock().text(), "10.0.0.9: PING||20000");
  EXPECT_EQ(pane->document()->lastBlock().text(), "10.0.0.9: PING||29999");
}

TEST_F(ServerFormTraceTest, PaneFollowsNewLinesUnlessScrolledUpAndNeverMovesSideways) {
  QPlainTextEdit* pane = FWindow->memoIncoming;
  QScrollBar* down = pane->verticalScrollBar();
  QScrollBar* across = pane->horizontalScrollBar();
  Trace(200);
  test::Spin(50);
  ASSERT_GT(down->maximum(), 0);
  EXPECT_EQ(down->value(), down->maximum());

  Trace(1, std::string(5000, 'w'));  // wider than the pane
  test::Spin(50);
  EXPECT_EQ(down->value(), down->maximum());
  EXPECT_EQ(across->value(), 0);

  down->setValue(10);
  Trace(50);
  test::Spin(50);
  EXPECT_EQ(down->value(), 10);
}

// ---- text from the wire ---------------------------------------------------------------------

TEST_F(ServerFormTest, WireTextShowsAsUtf8OrElseLatin1) {
  Start();
  FWindow->actIncoming->trigger();
  TGuestClient& utf8 = Connect("Jos\xc3\xa9");
  TGuestClient& latin1 = Connect("M\xfcller");
  utf8.Write("CREATESUBJECT|Caf\xc3\xa9|0|\n");
  latin1.Write("CREATESUBJECT|K\xf6ln|0|\n");
  EXPECT_TRUE(SpinUntil([&] { return FCore.Subjects("Chess").size() == 3; }));
  test::Spin(120);
  EXPECT_NE(Node(QString::fromUtf8("Chess/Café/José")), nullptr);
  EXPECT_NE(Node(QString::fromUtf8("Chess/Köln/Müller")), nullptr);
  EXPECT_TRUE(FWindow->memoIncoming->toPlainText().contains(QString::fromUtf8("Café")));
  EXPECT_TRUE(FWindow->memoIncoming->toPlainText().contains(QString::fromUtf8("Köln")));
}

TEST_F(ServerFormTest, DialogsAndShoutSendTheBytesTheOperatorMeant) {
  TServerSettings latin1;
  latin1.LobbyName = "Caf\xe9";
  FCore.SetSettings(latin1);
  FPrompts.Dialogs = {[](QDialog& dialog) {
    auto& form = dynamic_cast<TfrmServerSettings&>(dialog);
    EXPECT_EQ(form.edtLobbyName->text(), QString::fromUtf8("Café"));
    return int(mrOk);
  }};
  FWindow->actServerSettings->trigger();
  EXPECT_EQ(FCore.Settings().LobbyName, "Caf\xe9");  // untouched: the same bytes

  Start();
  TGuestClient& alice = Connect("alice");
  ClickNode("Chess");
  FPrompts.Dialogs = {NewSubject("Grüße", "0", false)};
  FWindow->actServerAddSubject->trigger();
  EXPECT_NE(FCore.FindSubject("Chess",
                              "Gr\xc3\xbc\xc3\x9f"
                              "e"),
            nullptr);

  ClickNode("All");
  FPrompts.Texts = {QString::fromUtf8("Grüße")};
  FWindow->actShout->trigger();
  EXPECT_TRUE(SpinUntil([&] {
    return alice.Has(
        "SHOUT|Gr\xc3\xbc\xc3\x9f"
        "e|");
  }));
}

TEST_F(ServerFormTest, ASlowReaderDropIsNamedInWords) {
  Start();
  Connect("alice");
  const ConnectionId alice = FCore.Guests().front()->Connection();
  FCore.OnClientError(alice, kSlowReaderCode, kSlowReaderReason);
  const QString shown = FWindow->memoExceptions->toPlainText();
  EXPECT_TRUE(shown.contains("User alice stopped reading")) << shown.toStdString();
  EXPECT_TRUE(shown.contains("Client Socket Error: ")) << shown.toStdString();
}

// A client's reset is a socket error in the window; its FIN an ordinary leave, with no alarm.
TEST_F(ServerFormTest, AClientsResetIsASocketErrorAndItsHangUpIsNot) {
  struct Case {
    const char* id;
    bool reset;
  };
  Start();
  for (const Case& c : {Case{"alice", true}, Case{"bob", false}}) {
    FWindow->pages->setCurrentWidget(FWindow->tabExceptions);  // puts the alarm out
    FWindow->pages->setCurrentWidget(FWindow->tabUsers);
    TGuestClient& client = Connect(c.id);
    if (c.reset) {
      const linger hard{1, 0};
      ::setsockopt(static_cast<int>(client.Socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard,
                   sizeof hard);
      client.Socket.abort();
    } else {
      client.Socket.disconnectFromHost();
    }
    ASSERT_TRUE(SpinUntil([&] { return FCore.GuestCount() == 0; })) << c.id;
    const QString shown = FWindow->memoExceptions->toPlainText();
    const QString dropped = QString("User %1 has been disconnected").arg(c.id);
    EXPECT_EQ(shown.contains(dropped), c.reset) << c.id << shown.toStdString();
    EXPECT_EQ(shown.count("Client Socket Error: 104"), 1) << c.id;
    EXPECT_EQ(FWindow->Alarm(), c.reset) << c.id;
  }
}

// The window with a TLS port beside the plain one, as ZorvaServer --tls-port runs it.
class TlsServerFormTest : public ServerFormTest {
 protected:
  void SetUp() override {
    ServerFormTest::SetUp();
    const std::string command = std::string(ZORVA_DEV_CERT) + " '" + Path("tls") + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string error;
    const auto configuration =
        LoadServerTlsConfiguration({Path("tls/cert.pem"), Path("tls/key.pem"), ""}, error);
    ASSERT_TRUE(configuration) << error;
    FTransport.SetTls({.Port = 0, .Configuration = *configuration});
    FWindow->SetTlsListener(0, true);
  }

  // A TLS client that trusts any certificate; it collects what the server sends.
  struct TSecureClient {
    QSslSocket Socket;
    QByteArray Received;

    explicit TSecureClient(quint16 port) {
      Socket.setPeerVerifyMode(QSslSocket::VerifyNone);
      QObject::connect(&Socket, &QSslSocket::readyRead, [this] { Received += Socket.readAll(); });
      Socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
  };
};

TEST_F(TlsServerFormTest, SettingsTellTlsIsOnAndOnlyTheTlsPortTakesLoginsWhenRequired) {
  TfrmServerSettings dialog;
  FWindow->FillSettings(dialog);
  EXPECT_EQ(dialog.lblTls->text(), QStringLiteral("TLS: on, any free port"));

  FCore.SetRequireEncryptedLogin(true);
  Start();
  TSecureClient secure(FTransport.TlsListenPort());
  ASSERT_TRUE(SpinUntil([&] { return secure.Socket.isEncrypted(); }));
  secure.Socket.write("LOGIN|alice|Chess|pw\n");
  EXPECT_TRUE(SpinUntil([&] { return secure.Received.contains("JOINSUBJECT|"); }));
  TGuestClient& plain = Connect();
  plain.Write("LOGIN|bob|Chess|pw\n");
  EXPECT_TRUE(SpinUntil([&] { return plain.Has("LOGIN|ERROR|Please log in over TLS"); }));
}

TEST_F(TlsServerFormTest, AFailedHandshakeIsShownAndNeverAnswered) {
  Start();
  TTestClient plain(FTransport.TlsListenPort());
  ASSERT_TRUE(plain.WaitConnected());
  plain.Write("LOGIN|alice|Chess|pw\n");
  EXPECT_TRUE(SpinUntil([&] { return plain.Closed; }));
  EXPECT_FALSE(plain.Received.contains('|'));
  EXPECT_EQ(FTransport.TlsHandshakeFailures(), 1u);
  const QString shown = FWindow->memoExceptions->toPlainText();
  EXPECT_TRUE(shown.contains("A Guest in the Staging Area from 127.0.0.1: TLS handshake failed"))
      << shown.toStdString();
}

}  // namespace
}  // namespace zorva
