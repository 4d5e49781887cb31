// The Qt transport: the shared transport contract, then what only this transport does (a bind
// address checked when it is set, destruction with live connections).
#include "QtTransport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "QtHarness.h"
#include "QtTestSupport.h"
#include "TransportContract.h"

namespace zorva::test {
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, TransportContract, testing::Types<QtHarness>);
}  // namespace zorva::test

namespace zorva {
namespace {

using test::SpinUntil;
using test::TTestClient;

// On the test thread's own event loop, as in the window program.
class QtTransportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }

  void SetUp() override { Listen({}); }

  void Listen(const TTransportLimits& limits) {
    FTransport = std::make_unique<QtTransport>(limits);
    FTransport->SetEvents(&FEvents);
    ASSERT_TRUE(FTransport->SetBindAddress("127.0.0.1"));
    std::string error;
    ASSERT_TRUE(FTransport->Listen(0, error)) << error;
    FPort = test::PortOf(FTransport->ListenAddress());
  }

  test::EventRecorder FEvents;
  std::unique_ptr<QtTransport> FTransport;
  quint16 FPort = 0;
};

TEST_F(QtTransportTest, RejectsABindAddressThatIsNoAddress) {
  for (const char* address : {"localhost:80", "", "127.0.0.256"}) {
    EXPECT_FALSE(FTransport->SetBindAddress(address)) << address;
  }
}

TEST_F(QtTransportTest, DestroyingWithLiveClientsReportsNothing) {
  TTestClient client(FPort);
  ASSERT_TRUE(client.WaitConnected());
  ASSERT_TRUE(SpinUntil([&] { return FTransport->ConnectionCount() == 1; }));
  FTransport.reset();
  EXPECT_TRUE(SpinUntil([&] { return client.Closed; }));
  EXPECT_EQ(FEvents.Log().size(), 1u);
}

// What one connection sends is relayed line by line to another, as the core relays chat; a
// line cut by a read waits for its end.
struct TLineRelay {
  std::string Partial;

  void Relay(QtTransport& transport, ConnectionId to, std::string_view bytes) {
    Partial.append(bytes);
    std::size_t start = 0;
    for (std::size_t end; (end = Partial.find('\n', start)) != std::string::npos; start = end + 1)
      transport.Send(to, std::string_view(Partial).substr(start, end - start));
    Partial.erase(0, start);
  }
};

// A burst far past the output cap, relayed to a member that keeps reading: the member stays.
TEST_F(QtTransportTest, BurstRelayedToAReadingMemberDoesNotDropIt) {
  TTransportLimits limits;
  limits.MaxOutput = 256 * 1024;
  limits.Flood = {0, 0, 0};
  Listen(limits);
  TTestClient reader(FPort);
  ASSERT_TRUE(reader.WaitConnected());
  ASSERT_TRUE(SpinUntil([&] { return FTransport->ConnectionCount() == 1; }));
  TTestClient sender(FPort);
  ASSERT_TRUE(sender.WaitConnected());
  ASSERT_TRUE(SpinUntil([&] { return FTransport->ConnectionCount() == 2; }));
  // "connect ID REMOTE LOCAL": the reader came first.
  const ConnectionId first = std::stoull(FEvents.Entries("connect ").at(0).substr(8));
  TLineRelay relay;
  FEvents.React = [&](ConnectionId id, std::string_view bytes) {
    if (id != first) relay.Relay(*FTransport, first, bytes);
  };

  const QByteArray line = QByteArray(999, 'x') + '\n';
  constexpr int kLines = 16 * 1024;  // 16 MB
  QByteArray burst;
  for (int i = 0; i < kLines; ++i) burst += line;
  sender.Write(burst);
  EXPECT_TRUE(
      SpinUntil([&] { return reader.Received.size() == burst.size() || reader.Closed; }, 20000));
  EXPECT_FALSE(reader.Closed);
  EXPECT_EQ(reader.Received.size(), burst.size());
  EXPECT_TRUE(FEvents.Entries("error ").empty());
}

// The flood budget lets a burst through, then the rest at the budget's pace; nothing is lost.
TEST_F(QtTransportTest, FloodBudgetPacesInputAndLosesNothing) {
  TTransportLimits limits;
  limits.Flood = {.LinesPerSecond = 200, .LineBurst = 5, .BytesPerSecond = 0};
  Listen(limits);
  std::vector<std::size_t> batches;
  FEvents.React = [&](ConnectionId, std::string_view bytes) {
    batches.push_back(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')));
  };
  TTestClient client(FPort);
  ASSERT_TRUE(client.WaitConnected());
  QByteArray lines;
  for (int i = 0; i < 60; ++i) lines += "PING|\n";
  client.Write(lines);
  ASSERT_TRUE(SpinUntil([&] { return !batches.empty(); }));
  EXPECT_LE(batches.front(), 7u);  // the burst, and what refilled since the accept
  std::size_t total = 0;
  EXPECT_TRUE(SpinUntil([&] {
    total = 0;
    for (std::size_t batch : batches) total += batch;
    return total == 60;
  }));
  EXPECT_GT(batches.size(), 2u);
}

}  // namespace
}  // namespace zorva
