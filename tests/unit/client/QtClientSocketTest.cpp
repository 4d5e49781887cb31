// The shipped Qt socket under a TZorvaConnection, against a QTcpServer on 127.0.0.1.
#include "QtClientSocket.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "ZorvaConnection.h"

namespace zorva {
namespace {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class QtSocketTest : public testing::Test {
 protected:
  QtSocketTest() {
    Conn.SetHost("127.0.0.1");
    Conn.SetSubjectCode("chess");
    Conn.SetOnConnected([this](TZorvaConnection&) { Log.push_back("Connected"); });
    Conn.SetOnDisconnected([this](TZorvaConnection&) { Log.push_back("Disconnected"); });
    Conn.SetOnShout([this](TZorvaConnection&, std::string_view t) {
      Log.push_back("Shout:" + std::string(t));
    });
    Conn.SetOnSocketError([this](TZorvaConnection&, int code, std::string_view text) {
      Log.push_back("SocketError:" + std::to_string(code));
      ErrorTexts.emplace_back(text);
    });
  }

  // Connects through a listening server and returns the server's end of the connection.
  QTcpSocket* ConnectToServer() {
    EXPECT_TRUE(Server.listen(QHostAddress::LocalHost, 0));
    Conn.SetPort(Server.serverPort());
    Conn.SetActive(true);
    EXPECT_TRUE(WaitUntil([&] { return Server.hasPendingConnections() && Conn.Active(); }));
    return Server.nextPendingConnection();
  }

  std::string ReadUntilClosed(QTcpSocket* peer, std::size_t expected) {
    std::string received;
    WaitUntil([&] {
      received += peer->readAll().toStdString();
      return received.size() >= expected || peer->state() != QAbstractSocket::ConnectedState;
    });
    received += peer->readAll().toStdString();
    return received;
  }

  int Argc = 0;
  QCoreApplication App{Argc, nullptr};
  QTcpServer Server;
  TZorvaConnection Conn;  // the default socket: the Qt adapter
  std::vector<std::string> Log;
  std::vector<std::string> ErrorTexts;
};

TEST_F(QtSocketTest, LinesBothWaysAcrossChunks) {
  QTcpSocket* peer = ConnectToServer();
  ASSERT_NE(peer, nullptr);
  Conn.Login("ann", "pw");
  ASSERT_TRUE(WaitUntil([&] { return peer->canReadLine(); }));
  EXPECT_EQ(peer->readLine().toStdString(), "LOGIN|ann|chess|pw\n");

  peer->write("SHOUT|one|\nSHO");
  peer->flush();
  ASSERT_TRUE(WaitUntil([&] { return Log.size() == 2; }));
  peer->write("UT|two|\n");
  ASSERT_TRUE(WaitUntil([&] { return Log.size() == 3; }));
  EXPECT_EQ(Log, (std::vector<std::string>{"Connected", "Shout:one", "Shout:two"}));
}

TEST_F(QtSocketTest, ClosingRightAfterSendingStillDeliversEverything) {
  QTcpSocket* peer = ConnectToServer();
  ASSERT_NE(peer, nullptr);
  const std::string text(60000, 'x');
  for (int i = 0; i < 50; ++i) Conn.SendChatMessage(text);
  Conn.SetActive(false);
  EXPECT_FALSE(Conn.Active());
  const std::size_t expected = 50 * (text.size() + 11);  // "SEND|CHAT|" + text + "\n"
  EXPECT_EQ(ReadUntilClosed(peer, expected).size(), expected);
  EXPECT_EQ(Log, std::vector<std::string>{"Connected"});
}

TEST_F(QtSocketTest, ServerClosingIsADisconnectNotAnError) {
  QTcpSocket* peer = ConnectToServer();
  ASSERT_NE(peer, nullptr);
  peer->write("SHOUT|last|\n");
  peer->disconnectFromHost();
  ASSERT_TRUE(WaitUntil([&] { return !Conn.Active(); }));
  EXPECT_EQ(Log, (std::vector<std::string>{"Connected", "Shout:last", "Disconnected"}));
}

TEST_F(QtSocketTest, RefusedConnectionIsReportedAndCanBeRetried) {
  ASSERT_TRUE(Server.listen(QHostAddress::LocalHost, 0));
  Conn.SetPort(Server.serverPort());
  Server.close();
  Conn.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return Log.size() == 1; }));
  Conn.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return Log.size() == 2; }));
  const auto refused = "SocketError:" + std::to_string(ECONNREFUSED);
  EXPECT_EQ(Log, (std::vector<std::string>{refused, refused}));
  EXPECT_FALSE(ErrorTexts.at(0).empty());
  EXPECT_FALSE(Conn.Active());
}

TEST_F(QtSocketTest, UnusableAddressOrPortIsReportedNotAttempted) {
  Conn.SetHost("1.2.3.999");
  Conn.SetPort(4000);
  Conn.SetActive(true);
  Conn.SetHost("127.0.0.1");
  Conn.SetPort(70000);
  Conn.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] { return Log.size() == 2; }));
  EXPECT_EQ(Log, (std::vector<std::string>{"SocketError:" + std::to_string(EINVAL),
                                           "SocketError:" + std::to_string(EINVAL)}));
  EXPECT_EQ(ErrorTexts, (std::vector<std::string>{"1.2.3.999 is not a usable address",
                                                  "Port 70000 is out of range"}));
}

// A handler that runs a nested event loop (a message box, a modal dialog) keeps the connection
// alive: lines arriving meanwhile are handled inside that loop, pings answered at once, and
// nothing is lost or handled twice.
TEST_F(QtSocketTest, LinesArrivingDuringANestedLoopAreHandledInsideIt) {
  QTcpSocket* peer = ConnectToServer();
  ASSERT_NE(peer, nullptr);
  std::string readByPeerInside;
  bool loopEnded = false;
  Conn.SetOnServerError([&](TZorvaConnection&, std::string_view text) {
    Log.push_back("Error:" + std::string(text));
    if (text != "x") return;
    QEventLoop loop;
    QTimer::singleShot(100, peer, [peer] { peer->write("PING|\nSHOUT|two|\n"); });
    QTimer poll;
    poll.callOnTimeout([&] {
      readByPeerInside += peer->readAll().toStdString();
      if (readByPeerInside == "PING|\n") loop.quit();
    });
    poll.start(10);
    QTimer::singleShot(1500, &loop, &QEventLoop::quit);
    loop.exec();
    Log.push_back("LoopEnded");
    loopEnded = true;
  });
  peer->write("ERROR|x\nSHOUT|one|\n");
  ASSERT_TRUE(WaitUntil([&] { return loopEnded; }));
  peer->write("SHOUT|three|\nERROR|y\n");
  ASSERT_TRUE(WaitUntil([&] { return Log.back() == "Error:y"; }));

  EXPECT_EQ(readByPeerInside, "PING|\n");
  EXPECT_EQ(Log, (std::vector<std::string>{"Connected", "Error:x", "Shout:one", "Shout:two",
                                           "LoopEnded", "Shout:three", "Error:y"}));
  EXPECT_TRUE(Conn.Active());
}

TEST(SocketErrorNumberTest, QtErrorsBecomeErrnoValues) {
  const std::pair<QAbstractSocket::SocketError, int> cases[] = {
      {QAbstractSocket::ConnectionRefusedError, ECONNREFUSED},
      {QAbstractSocket::RemoteHostClosedError, ECONNRESET},
      {QAbstractSocket::SocketTimeoutError, ETIMEDOUT},
      {QAbstractSocket::NetworkError, ENETDOWN},
      {QAbstractSocket::SocketResourceError, EMFILE},
      // A name that does not resolve has no errno; the text says what happened.
      {QAbstractSocket::HostNotFoundError, 0},
      {QAbstractSocket::UnknownSocketError, 0},
  };
  for (const auto& [error, expected] : cases) {
    EXPECT_EQ(ErrnoOfSocketError(error), expected) << error;
  }
}

TEST_F(QtSocketTest, QueuedOutputIsCountedUntilWritten) {
  EXPECT_EQ(Conn.BytesToSend(), 0u);
  QTcpSocket* peer = ConnectToServer();
  ASSERT_NE(peer, nullptr);
  Conn.SendChatMessage("hello");
  EXPECT_EQ(Conn.BytesToSend(), 16u);  // "SEND|CHAT|hello\n", not yet written
  ASSERT_TRUE(WaitUntil([&] { return Conn.BytesToSend() == 0; }));
}

}  // namespace
}  // namespace zorva
