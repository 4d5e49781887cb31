#include "ZorvaServerStatsDialog.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

#include "FakeClientSocket.h"
#include "ModalResult.h"
#include "ScriptedPrompts.h"
#include "ServerStatsForm.h"
#include "ZorvaProtocol.h"

namespace zorva {
namespace {

using TStatusHandler = void (*)(TZorvaConnection&, const TZorvaServerStats&);

// Runs the event loop for `ms` milliseconds, as a modal form does while it is open.
void RunEventsFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

int gProgramHandlerCalls = 0;
void ProgramHandler(TZorvaConnection&, const TZorvaServerStats&) {
  ++gProgramHandlerCalls;
}

TZorvaServerStats StatsWithConnections(int connections) {
  TZorvaServerStats stats;
  stats.SetCurrentConnections(connections);
  return stats;
}

QString ShownConnections() {
  return frmZorvaServerStats ? frmZorvaServerStats->lblCurrentConnections->text() : QString();
}

class ServerStatsDialogTest : public ::testing::Test {
 protected:
  ServerStatsDialogTest() {
    auto socket = std::make_unique<FakeClientSocket>();
    FSocket = socket.get();
    FRecord = socket->Record();
    FConnection = std::make_unique<TZorvaConnection>(std::move(socket));
    FConnection->SetActive(true);
    FSocket->Connected();
    FConnection->SetOnServerStatus(&ProgramHandler);
    gProgramHandlerCalls = 0;
    FDialog.SetZorvaConnection(FConnection.get());
  }

  int Requests() const {
    int count = 0;
    const std::string request = Msg::ServerStatsRequest() + "\n";
    for (auto at = FRecord->Written.find(request); at != std::string::npos;
         at = FRecord->Written.find(request, at + 1)) {
      ++count;
    }
    return count;
  }
  void ServerAnswers(int connections) {
    FSocket->Receive(Msg::ServerStats(StatsWithConnections(connections).toString()) + "\n");
  }
  // The handler in place is the program's own function, not a copy of some other callable.
  bool ProgramHandlerInPlace() const {
    const auto* target = FConnection->OnServerStatus().target<TStatusHandler>();
    return target && *target == &ProgramHandler;
  }

  test::TScriptedPrompts FScript;
  FakeClientSocket* FSocket = nullptr;
  std::shared_ptr<FakeClientSocket::TRecord> FRecord;
  std::unique_ptr<TZorvaConnection> FConnection;
  TZorvaServerStatsDialog FDialog;
};

TEST_F(ServerStatsDialogTest, StartsWithTheDocumentedValues) {
  TZorvaServerStatsDialog dialog;
  EXPECT_FALSE(dialog.AutoUpdate());
  EXPECT_EQ(dialog.ZorvaConnection(), nullptr);
  EXPECT_EQ(dialog.Title(), "Server Statistics");
  EXPECT_EQ(dialog.UpdateInterval(), 0);
}

TEST_F(ServerStatsDialogTest, WithoutConnectionShowsNothing) {
  FDialog.SetZorvaConnection(nullptr);
  FDialog.Execute(StatsWithConnections(1));
  EXPECT_TRUE(FScript.Asked.empty());
}

TEST_F(ServerStatsDialogTest, ConnectionDestroyedBeforeExecuteCountsAsNone) {
  FConnection.reset();
  EXPECT_EQ(FDialog.ZorvaConnection(), nullptr);
  FDialog.SetAutoUpdate(true);
  FDialog.Execute(StatsWithConnections(1));
  EXPECT_TRUE(FScript.Asked.empty());
}

TEST_F(ServerStatsDialogTest, WithoutAutoUpdateShowsOnlyTheGivenRecordAndLeavesTheHandler) {
  FDialog.SetUpdateInterval(5);
  FScript.Dialogs = {[&](QDialog&) {
    EXPECT_EQ(ShownConnections(), "7");
    EXPECT_TRUE(ProgramHandlerInPlace());
    RunEventsFor(40);
    ServerAnswers(9);
    EXPECT_EQ(ShownConnections(), "7");
    return int(mrOk);
  }};
  FDialog.Execute(StatsWithConnections(7));
  EXPECT_EQ(FScript.Asked, std::vector<std::string>{"Dialog: zorva::TfrmZorvaServerStats"});
  EXPECT_EQ(Requests(), 0);
  EXPECT_EQ(gProgramHandlerCalls, 1);
  EXPECT_TRUE(ProgramHandlerInPlace());
}

TEST_F(ServerStatsDialogTest, AutoUpdateRefreshesTheFormThenRestoresTheVeryHandler) {
  FDialog.SetAutoUpdate(true);
  FDialog.SetUpdateInterval(10);
  FScript.Dialogs = {[&](QDialog&) {
    EXPECT_EQ(Requests(), 0);  // the first request waits one interval
    for (int waited = 0; Requests() < 2 && waited < 5000; waited += 10) RunEventsFor(10);
    EXPECT_GE(Requests(), 2);
    ServerAnswers(9);
    EXPECT_EQ(ShownConnections(), "9");
    ServerAnswers(12);
    EXPECT_EQ(ShownConnections(), "12");
    return int(mrOk);
  }};
  FDialog.Execute(StatsWithConnections(7));

  EXPECT_EQ(gProgramHandlerCalls, 0);
  EXPECT_TRUE(ProgramHandlerInPlace());
  EXPECT_EQ(frmZorvaServerStats, nullptr);
  const int requestsWhileOpen = Requests();
  RunEventsFor(50);
  EXPECT_EQ(Requests(), requestsWhileOpen);
  ServerAnswers(3);
  EXPECT_EQ(gProgramHandlerCalls, 1);
}

TEST_F(ServerStatsDialogTest, AnEmptyHandlerIsPutBackEmpty) {
  FConnection->SetOnServerStatus(nullptr);
  FDialog.SetAutoUpdate(true);
  FDialog.SetUpdateInterval(10);
  FScript.Dialogs = {[](QDialog&) { return int(mrOk); }};
  FDialog.Execute(StatsWithConnections(7));
  EXPECT_FALSE(FConnection->OnServerStatus());
}

TEST_F(ServerStatsDialogTest, IntervalZeroNeverAsks) {
  FDialog.SetAutoUpdate(true);
  FScript.Dialogs = {[&](QDialog& form) {
    RunEventsFor(40);
    EXPECT_TRUE(form.isVisible());
    return int(mrOk);
  }};
  FDialog.Execute(StatsWithConnections(7));
  EXPECT_EQ(Requests(), 0);
  EXPECT_TRUE(ProgramHandlerInPlace());
}

TEST_F(ServerStatsDialogTest, ConnectionDestroyedWhileOpenIsNeitherAskedNorRestored) {
  FDialog.SetAutoUpdate(true);
  FDialog.SetUpdateInterval(5);
  FScript.Dialogs = {[&](QDialog&) {
    RunEventsFor(20);
    FConnection.reset();
    RunEventsFor(40);  // ticks now find no connection
    return int(mrOk);
  }};
  FDialog.Execute(StatsWithConnections(7));
  EXPECT_EQ(FDialog.ZorvaConnection(), nullptr);
  const std::string written = FRecord->Written;
  RunEventsFor(20);
  EXPECT_EQ(FRecord->Written, written);
}

TEST_F(ServerStatsDialogTest, HandlerGoesBackToTheConnectionItWasTakenFrom) {
  TZorvaConnection other(std::make_unique<FakeClientSocket>());
  FDialog.SetAutoUpdate(true);
  FDialog.SetUpdateInterval(10);
  FScript.Dialogs = {[&](QDialog&) {
    FDialog.SetZorvaConnection(&other);
    return int(mrOk);
  }};
  FDialog.Execute(StatsWithConnections(7));
  EXPECT_TRUE(ProgramHandlerInPlace());
  EXPECT_FALSE(other.OnServerStatus());
}

TEST_F(ServerStatsDialogTest, TitleIsTheCaptionOfTheNextForm) {
  QStringList captions;
  const auto readCaption = [&](QDialog& form) {
    captions << form.windowTitle();
    return int(mrOk);
  };
  FScript.Dialogs = {readCaption, readCaption};
  FDialog.Execute(StatsWithConnections(0));
  FDialog.SetCaption("Live Figures");
  FDialog.Execute(StatsWithConnections(0));
  EXPECT_EQ(captions, (QStringList{"Server Statistics", "Live Figures"}));
}

// Opened from a handler, the form runs a nested event loop; statistics and pings arriving
// meanwhile are handled inside it.
TEST_F(ServerStatsDialogTest, OpenedInsideALoginHandlerRefreshesAndAnswersPings) {
  FDialog.SetAutoUpdate(true);
  FConnection->SetOnLoginSuccess(
      [&](TZorvaConnection& c, TZorvaUser&) { FDialog.Execute(c.ServerStats()); });
  QString shownInside;
  std::string writtenInside;
  FScript.Dialogs = {[&](QDialog&) {
    FSocket->Receive("PING|\n");
    ServerAnswers(4);
    shownInside = ShownConnections();
    writtenInside = FRecord->Written;
    return int(mrOk);
  }};
  TZorvaUser own;
  own.SetId("ann");
  FSocket->Receive("LOGIN|SUCCESS|" + own.toWireString() + "\n");
  EXPECT_EQ(shownInside, "4");
  EXPECT_EQ(writtenInside, "PING|\n");
  EXPECT_TRUE(ProgramHandlerInPlace());
}

// The same on the shipped socket over loopback TCP: the form's loop, not a test's hand, must
// bring the server's lines in while the login handler is still running.
TEST(ServerStatsDialogSocketTest, OpenedInsideALoginHandlerAnswersPingsOverTcp) {
  test::TScriptedPrompts script;
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  TZorvaConnection connection;
  connection.SetHost("127.0.0.1");
  connection.SetPort(server.serverPort());
  TZorvaServerStatsDialog dialog;
  dialog.SetAutoUpdate(true);
  dialog.SetZorvaConnection(&connection);
  connection.SetOnLoginSuccess(
      [&](TZorvaConnection& c, TZorvaUser&) { dialog.Execute(c.ServerStats()); });
  connection.SetActive(true);
  for (int waited = 0; !(server.hasPendingConnections() && connection.Active()) && waited < 5000;
       waited += 10)
    RunEventsFor(10);
  QTcpSocket* peer = server.nextPendingConnection();
  ASSERT_NE(peer, nullptr);

  QString shownInside;
  std::string readByPeerInside;
  bool closed = false;
  script.Dialogs = {[&](QDialog&) {
    peer->write("PING|\n");
    peer->write(QByteArray::fromStdString(Msg::ServerStats(StatsWithConnections(4).toString())));
    peer->write("\n");
    QElapsedTimer open;
    open.start();
    while (readByPeerInside != "PING|\n" && open.elapsed() < 1500) {
      RunEventsFor(10);
      readByPeerInside += peer->readAll().toStdString();
    }
    shownInside = ShownConnections();
    closed = true;
    return int(mrOk);
  }};
  TZorvaUser own;
  own.SetId("ann");
  peer->write(QByteArray::fromStdString(Msg::LoginSuccess(own.toWireString()) + "\n"));
  for (int waited = 0; !closed && waited < 5000; waited += 10) RunEventsFor(10);

  EXPECT_EQ(readByPeerInside, "PING|\n");
  EXPECT_EQ(shownInside, "4");
  EXPECT_TRUE(connection.Active());
}

}  // namespace
}  // namespace zorva
