// The epoll transport's TLS listener: plain text in and out of the core, the output cap counted
// on what waits to be sealed, a close that ends the session cleanly, and handshakes that fail
// or stall counted and reported without a byte of protocol.
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>

#include "EpollHarness.h"
#include "TlsLineClient.h"
#include "TransportContract.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using test::EpollHarness;
using test::LineClient;
using test::TlsLineClient;
using testing::HasSubstr;

class TlsTransportTest : public test::TransportContract<EpollHarness> {
 protected:
  void StartTls(const TTransportLimits& limits = {}, std::uint32_t handshakeTimeoutMs = 5000) {
    const std::string command =
        std::string(ZORVA_DEV_CERT) + " '" + FFolder.string() + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string error;
    auto context = TlsContext::Load({Cert(), (FFolder / "key.pem").string(), ""}, error);
    ASSERT_TRUE(context) << error;
    FHarness.Tls = EpollTransport::TTlsListener{
        .Port = 0, .Context = context, .HandshakeTimeoutMs = handshakeTimeoutMs};
    Start(limits);
    FTlsPort = OnLoop([this] { return FHarness.Transport().TlsListenPort(); });
  }

  void TearDown() override {
    TransportContract::TearDown();
    std::error_code ignored;
    std::filesystem::remove_all(FFolder, ignored);
  }

  std::string Cert() const { return (FFolder / "cert.pem").string(); }

  ConnectionId ConnectTls(TlsLineClient& client) {
    const auto before = FEvents.Entries("connect ").size();
    EXPECT_TRUE(client.Connect(FTlsPort, {.CaFile = Cert()})) << client.Error();
    EXPECT_TRUE(FEvents.WaitFor([&] { return FEvents.Entries("connect ").size() > before; }));
    const auto entry = FEvents.Entries("connect ").back();
    return std::stoull(entry.substr(entry.find(' ') + 1));
  }

  std::uint64_t HandshakeFailures() {
    return OnLoop([this] { return FHarness.Transport().TlsHandshakeFailures(); });
  }

  std::filesystem::path FFolder =
      std::filesystem::temp_directory_path() / ("zorva-tls-" + std::to_string(::getpid()));
  std::uint16_t FTlsPort = 0;
};

TEST_F(TlsTransportTest, OnlyTlsConnectionsAreEncryptedAndBothCarryTheSameText) {
  FEvents.React = [this](ConnectionId id, std::string_view bytes) {
    Transport().Send(id, "got " + std::string(bytes.substr(0, bytes.find('\n'))));
  };
  StartTls();
  TlsLineClient secure;
  LineClient plain;
  const auto secureId = ConnectTls(secure);
  const auto plainId = Connect(plain);
  EXPECT_TRUE(OnLoop([&] { return Transport().IsEncrypted(secureId); }));
  EXPECT_FALSE(OnLoop([&] { return Transport().IsEncrypted(plainId); }));
  ASSERT_TRUE(secure.WriteLine("hello"));
  ASSERT_TRUE(plain.WriteLine("hello"));
  EXPECT_EQ(secure.ReadLine(), "got hello");
  EXPECT_EQ(plain.ReadLine(), "got hello");
}

// Sealing makes records and handshake messages larger than the text sent: the unsent total
// must follow the queues, not add up text and take off bytes written, or it never comes back.
TEST_F(TlsTransportTest, UnsentTotalComesBackToZeroOnceEveryPeerHasReadAll) {
  FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < 50; ++i) Transport().Send(id, std::string(999, 'x'));
  };
  StartTls();
  TlsLineClient secure;
  LineClient plain;
  ConnectTls(secure);
  Connect(plain);
  ASSERT_TRUE(secure.WriteLine("go"));
  ASSERT_TRUE(plain.WriteLine("go"));
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(secure.ReadLine(), std::string(999, 'x'));
    ASSERT_EQ(plain.ReadLine(), std::string(999, 'x'));
  }
  EXPECT_EQ(OnLoop([this] { return Transport().QueuedOutputBytes(); }), 0u);
}

// Lines sent in one turn wait as plain text until the flush seals them: the cap must count them
// there, or a TLS peer could run up any amount of output in a single turn.
TEST_F(TlsTransportTest, OutputCapCountsTextNotYetSealed) {
  FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < 100; ++i) Transport().Send(id, std::string(99, 'x'));
  };
  TTransportLimits limits;
  limits.MaxOutput = 4096;
  StartTls(limits);
  TlsLineClient client;
  const auto id = ConnectTls(client);
  ASSERT_TRUE(client.WriteLine("go"));
  EXPECT_TRUE(FEvents.WaitForEntry("error " + std::to_string(id) + " " +
                                   std::to_string(kSlowReaderCode) + " " +
                                   std::string(kSlowReaderReason)));
}

TEST_F(TlsTransportTest, CloseAfterFlushDeliversTheQueueThenEndsTheSession) {
  FEvents.React = [this](ConnectionId id, std::string_view) {
    Transport().Send(id, "bye");
    Transport().Close(id, ITransport::CloseMode::AfterFlush);
  };
  StartTls();
  TlsLineClient client;
  ConnectTls(client);
  ASSERT_TRUE(client.WriteLine("QUIT|"));
  EXPECT_EQ(client.ReadLine(), "bye");
  EXPECT_TRUE(client.EndedCleanly());
  client.Close();  // the transport keeps reading until the peer's end, as on the plain port
  EXPECT_TRUE(WaitForConnectionCount(0));
}

TEST_F(TlsTransportTest, FailedOrStalledHandshakesAreCountedReportedAndNeverAnswered) {
  StartTls({}, 300);
  struct Case {
    const char* Label;
    std::string Bytes;
    const char* Reason;
  };
  const Case cases[] = {
      {"a peer that says nothing", "", "TLS handshake not finished in time"},
      {"a plain line", "LOGIN|x|y|pw\n", "TLS handshake failed: "},
      {"half a hello", std::string("\x16\x03\x01\x02\x00\x01", 6), "TLS handshake not finished"},
  };
  std::uint64_t failures = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    LineClient client;
    ASSERT_TRUE(client.Connect(FTlsPort));
    if (!c.Bytes.empty()) {
      ASSERT_TRUE(client.Write(c.Bytes));
    }
    EXPECT_TRUE(client.WaitClosed(3s));
    EXPECT_TRUE(client.Buffered().find('|') == std::string::npos);
    EXPECT_TRUE(FEvents.WaitFor([&] {
      const auto errors = FEvents.Entries("error ");
      return !errors.empty() && errors.back().find(c.Reason) != std::string::npos;
    })) << testing::PrintToString(FEvents.Log());
    EXPECT_EQ(HandshakeFailures(), ++failures);
  }
  EXPECT_EQ(FEvents.Entries("disconnect ").size(), 0u);
}

}  // namespace
}  // namespace zorva
