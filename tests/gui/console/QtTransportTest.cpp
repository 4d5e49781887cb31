// The Qt transport: the shared transport contract, then what only this transport does (a bind
// address checked when it is set, destruction with live connections).
#include "QtTransport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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

  void SetUp() override {
    FTransport = std::make_unique<QtTransport>();
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

}  // namespace
}  // namespace zorva
