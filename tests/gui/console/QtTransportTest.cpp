// The Qt transport over loopback: what the core is told, in order, and what the peer receives.
#include "QtTransport.h"

#include <gtest/gtest.h>

#include <QThread>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "QtTestSupport.h"

namespace zorva {
namespace {

using test::SpinUntil;
using test::TTestClient;

// Records every event as one line: "connect 127.0.0.1", "read abc", "disconnect", "error 105 …".
class TRecordingEvents : public IConnectionEvents {
 public:
  std::vector<std::string> Log;
  std::vector<ConnectionId> Ids;
  std::string Read;
  int Ticks = 0;
  std::function<void(ConnectionId)> AfterRead;

  void OnClientConnect(ConnectionId id, std::string remote, std::string local) override {
    Ids.push_back(id);
    Log.push_back("connect " + remote + " " + local);
  }
  void OnClientRead(ConnectionId id, std::string_view bytes) override {
    Read.append(bytes);
    if (AfterRead) AfterRead(id);
  }
  void OnClientDisconnect(ConnectionId) override { Log.push_back("disconnect"); }
  void OnClientError(ConnectionId, int code, std::string_view reason) override {
    Log.push_back("error " + std::to_string(code) + " " + std::string(reason));
  }
  void OnPingTimer() override { ++Ticks; }
};

class QtTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }

  void SetUp() override {
    FTransport = std::make_unique<QtTransport>();
    FTransport->SetEvents(&FEvents);
    ASSERT_TRUE(FTransport->SetBindAddress("127.0.0.1"));
    std::string error;
    ASSERT_TRUE(FTransport->Listen(0, error)) << error;
    const std::string address = FTransport->ListenAddress();
    FPort = static_cast<quint16>(std::stoi(address.substr(address.find(':') + 1)));
  }

  // Connects a client and waits until the core has been told; returns its connection id.
  ConnectionId Connect(TTestClient& client) {
    const std::size_t before = FEvents.Ids.size();
    EXPECT_TRUE(client.WaitConnected());
    EXPECT_TRUE(SpinUntil([&] { return FEvents.Ids.size() > before; }));
    return FEvents.Ids.empty() ? 0 : FEvents.Ids.back();
  }

  TRecordingEvents FEvents;
  std::unique_ptr<QtTransport> FTransport;
  quint16 FPort = 0;
};

TEST_F(QtTransportTest, ReportsConnectionWithDottedAddressesAndListensWhereAsked) {
  EXPECT_EQ(FTransport->ListenAddress(), "127.0.0.1:" + std::to_string(FPort));
  TTestClient client(FPort);
  Connect(client);
  EXPECT_EQ(FEvents.Log, std::vector<std::string>{"connect 127.0.0.1 127.0.0.1"});
}

TEST_F(QtTransportTest, GivesEveryConnectionItsOwnId) {
  TTestClient first(FPort);
  const ConnectionId a = Connect(first);
  TTestClient second(FPort);
  const ConnectionId b = Connect(second);
  EXPECT_NE(a, b);
  EXPECT_EQ(FTransport->ConnectionCount(), 2u);
}

TEST_F(QtTransportTest, SendsLinesInOrderEachWithOneLineFeed) {
  TTestClient client(FPort);
  const ConnectionId id = Connect(client);
  FTransport->Send(id, "PING|");
  FTransport->Send(id, "");
  FTransport->Send(id, "SHOUT|hi|");
  ASSERT_TRUE(SpinUntil([&] { return client.Received.size() >= 17; }));
  EXPECT_EQ(client.Received, "PING|\n\nSHOUT|hi|\n");
}

TEST_F(QtTransportTest, PassesReceivedBytesThroughUntouched) {
  TTestClient client(FPort);
  Connect(client);
  client.Write("LOGIN|a|b|c\r\npartial");
  ASSERT_TRUE(SpinUntil([&] { return FEvents.Read.size() >= 20; }));
  EXPECT_EQ(FEvents.Read, "LOGIN|a|b|c\r\npartial");
}

TEST_F(QtTransportTest, PeerHangUpDeliversLastBytesThenOneDisconnect) {
  auto client = std::make_unique<TTestClient>(FPort);
  Connect(*client);
  client->Write("BYE|\n");
  client->Socket.disconnectFromHost();
  ASSERT_TRUE(SpinUntil([&] { return FEvents.Log.size() == 2; }));
  test::Spin(50);
  EXPECT_EQ(FEvents.Read, "BYE|\n");
  EXPECT_EQ(FEvents.Log.back(), "disconnect");
  EXPECT_EQ(FEvents.Log.size(), 2u);
  EXPECT_EQ(FTransport->ConnectionCount(), 0u);
}

struct TCloseCase {
  const char* Label;
  ITransport::CloseMode Mode;
  bool PeerGetsQueuedLine;
};

class QtTransportCloseTest : public QtTransportTest,
                             public ::testing::WithParamInterface<TCloseCase> {};

TEST_P(QtTransportCloseTest, ClosesAndReportsNothingMoreForThatId) {
  TTestClient client(FPort);
  const ConnectionId id = Connect(client);
  FTransport->Send(id, "ERROR|Line too long");
  FTransport->Close(id, GetParam().Mode);
  // Whatever the peer still sends, and its hang-up, are no longer the core's business.
  client.Write(QByteArray(64 * 1024, 'x'));
  ASSERT_TRUE(SpinUntil([&] { return client.Closed; }));
  test::Spin(50);
  EXPECT_EQ(FEvents.Log.size(), 1u) << FEvents.Log.back();
  EXPECT_TRUE(FEvents.Read.empty());
  EXPECT_EQ(client.Received == "ERROR|Line too long\n", GetParam().PeerGetsQueuedLine);
  FTransport->Send(id, "too late");
  FTransport->Close(id, ITransport::CloseMode::Now);
}

INSTANTIATE_TEST_SUITE_P(Modes, QtTransportCloseTest,
                         ::testing::Values(TCloseCase{"Now", ITransport::CloseMode::Now, false},
                                           TCloseCase{"AfterFlush",
                                                      ITransport::CloseMode::AfterFlush, true}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST_F(QtTransportTest, AfterFlushDeliversALargeQueueWhole) {
  TTestClient client(FPort);
  const ConnectionId id = Connect(client);
  const std::string line(2 * 1024 * 1024, 'd');
  FTransport->Send(id, line);
  FTransport->Close(id, ITransport::CloseMode::AfterFlush);
  ASSERT_TRUE(SpinUntil([&] { return client.Closed; }, 10000));
  EXPECT_EQ(client.Received.size(), line.size() + 1);
}

TEST_F(QtTransportTest, CloseFromInsideTheReadEventIsSafeAndFinal) {
  FEvents.AfterRead = [&](ConnectionId id) { FTransport->Close(id, ITransport::CloseMode::Now); };
  TTestClient client(FPort);
  Connect(client);
  client.Write("X\n");
  ASSERT_TRUE(SpinUntil([&] { return client.Closed; }));
  test::Spin(50);
  EXPECT_EQ(FEvents.Log.size(), 1u);
}

// The cap counts the line and its line feed against what the socket has not yet written.
struct TCapCase {
  const char* Label;
  std::size_t LineLength;
  bool Dropped;
};

class QtTransportCapTest : public QtTransportTest,
                           public ::testing::WithParamInterface<TCapCase> {};

TEST_P(QtTransportCapTest, DropsASlowReaderPastItsOutputCap) {
  FTransport->SetMaxOutputBytes(100);
  TTestClient client(FPort);
  const ConnectionId id = Connect(client);
  FTransport->Send(id, std::string(GetParam().LineLength, 'a'));
  // Never reported from inside Send: the core is in the middle of sending.
  EXPECT_EQ(FEvents.Log.size(), 1u);
  test::Spin(100);
  if (!GetParam().Dropped) {
    EXPECT_EQ(FEvents.Log.size(), 1u);
    return;
  }
  ASSERT_EQ(FEvents.Log.size(), 2u);
  EXPECT_EQ(FEvents.Log[1],
            "error " + std::to_string(ENOBUFS) + " Output queue full (slow reader)");
  EXPECT_TRUE(SpinUntil([&] { return client.Closed; }));
}

INSTANTIATE_TEST_SUITE_P(Cap, QtTransportCapTest,
                         ::testing::Values(TCapCase{"ExactlyAtCap", 99, false},
                                           TCapCase{"OneByteOver", 100, true}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST_F(QtTransportTest, OverflowOfAConnectionClosedMeanwhileIsNotReported) {
  FTransport->SetMaxOutputBytes(10);
  TTestClient client(FPort);
  const ConnectionId id = Connect(client);
  FTransport->Send(id, "far too long for the cap");
  FTransport->Close(id, ITransport::CloseMode::Now);
  test::Spin(100);
  EXPECT_EQ(FEvents.Log.size(), 1u);
}

TEST_F(QtTransportTest, PingTimerTicksOnlyWhileStarted) {
  FTransport->SetPingInterval(10);
  FTransport->StartPingTimer();
  ASSERT_TRUE(SpinUntil([&] { return FEvents.Ticks >= 3; }));
  FTransport->StopPingTimer();
  const int ticks = FEvents.Ticks;
  test::Spin(60);
  EXPECT_EQ(FEvents.Ticks, ticks);
}

TEST_F(QtTransportTest, PostRunsTasksFromOtherThreadsOnTheTransportsThread) {
  QThread* caller = nullptr;
  bool ran = false;
  std::unique_ptr<QThread> worker(QThread::create([&] {
    FTransport->Post([&] {
      caller = QThread::currentThread();
      ran = true;
    });
  }));
  worker->start();
  ASSERT_TRUE(SpinUntil([&] { return ran; }));
  worker->wait();
  EXPECT_EQ(caller, QThread::currentThread());
}

TEST_F(QtTransportTest, StopListeningRefusesNewClientsButKeepsConnectedOnes) {
  TTestClient old(FPort);
  const ConnectionId id = Connect(old);
  FTransport->StopListening();
  EXPECT_EQ(FTransport->ListenAddress(), "");
  TTestClient late(FPort);
  EXPECT_TRUE(SpinUntil([&] { return late.Socket.state() == QAbstractSocket::UnconnectedState; }));
  FTransport->Send(id, "still here");
  EXPECT_TRUE(SpinUntil([&] { return old.Received == "still here\n"; }));
}

TEST_F(QtTransportTest, ListenOnAPortInUseFailsWithAReason) {
  QtTransport second;
  second.SetBindAddress("127.0.0.1");
  std::string error;
  EXPECT_FALSE(second.Listen(FPort, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(second.ListenAddress(), "");
}

TEST_F(QtTransportTest, RejectsABindAddressThatIsNoAddress) {
  EXPECT_FALSE(FTransport->SetBindAddress("localhost:80"));
  EXPECT_FALSE(FTransport->SetBindAddress(""));
}

TEST_F(QtTransportTest, UnknownIdsAreIgnoredAndDestroyingWithLiveClientsReportsNothing) {
  TTestClient client(FPort);
  Connect(client);
  FTransport->Send(999999, "x");
  FTransport->Close(999999, ITransport::CloseMode::AfterFlush);
  FTransport.reset();
  EXPECT_TRUE(SpinUntil([&] { return client.Closed; }));
  EXPECT_EQ(FEvents.Log.size(), 1u);
}

}  // namespace
}  // namespace zorva
