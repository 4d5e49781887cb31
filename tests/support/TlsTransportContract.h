// TlsTransportContract: what every transport's TLS listener promises, written once as a typed
// test suite over 127.0.0.1 on top of the transport contract's harness: the same text on both
// ports, the output cap counted on all that is unsent (sealed or waiting to be), a close that
// ends the session cleanly, and handshakes that fail or stall counted and reported without a
// byte of protocol. A harness adds to what TransportContract asks:
//
//   // Before Start: a TLS listener on any free port with this certificate and key.
//   bool EnableTls(const std::string& certFile, const std::string& keyFile,
//                  std::uint32_t handshakeTimeoutMs, std::string& error);
//   // Transport() has TlsListenPort() and TlsHandshakeFailures(), called on the loop thread.
//
//   INSTANTIATE_TYPED_TEST_SUITE_P(Name, TlsTransportContract, testing::Types<Harness>);
// The program defines ZORVA_DEV_CERT, the path of scripts/dev-cert.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TlsLineClient.h"
#include "TransportContract.h"

namespace zorva::test {

template <class Harness>
class TlsTransportContract : public TransportContract<Harness> {
 protected:
  void StartTls(const TTransportLimits& limits = {}, std::uint32_t handshakeTimeoutMs = 5000) {
    const std::string command =
        std::string(ZORVA_DEV_CERT) + " '" + FFolder.string() + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string error;
    ASSERT_TRUE(
        this->FHarness.EnableTls(Cert(), (FFolder / "key.pem").string(), handshakeTimeoutMs, error))
        << error;
    this->Start(limits);
    FTlsPort = this->OnLoop([this] { return this->FHarness.Transport().TlsListenPort(); });
  }

  void TearDown() override {
    TransportContract<Harness>::TearDown();
    std::error_code ignored;
    std::filesystem::remove_all(FFolder, ignored);
  }

  std::string Cert() const { return (FFolder / "cert.pem").string(); }

  ConnectionId ConnectTls(TlsLineClient& client) {
    auto& events = this->FEvents;
    const auto before = events.Entries("connect ").size();
    EXPECT_TRUE(client.Connect(FTlsPort, {.CaFile = Cert()})) << client.Error();
    EXPECT_TRUE(events.WaitFor([&] { return events.Entries("connect ").size() > before; }));
    const auto entry = events.Entries("connect ").back();
    return std::stoull(entry.substr(entry.find(' ') + 1));
  }

  std::uint64_t HandshakeFailures() {
    return this->OnLoop([this] { return this->FHarness.Transport().TlsHandshakeFailures(); });
  }

  std::filesystem::path FFolder =
      std::filesystem::temp_directory_path() / ("zorva-tls-" + std::to_string(::getpid()));
  std::uint16_t FTlsPort = 0;
};

TYPED_TEST_SUITE_P(TlsTransportContract);

TYPED_TEST_P(TlsTransportContract, OnlyTlsConnectionsAreEncryptedAndBothCarryTheSameText) {
  this->FEvents.React = [this](ConnectionId id, std::string_view bytes) {
    this->Transport().Send(id, "got " + std::string(bytes.substr(0, bytes.find('\n'))));
  };
  this->StartTls();
  TlsLineClient secure;
  LineClient plain;
  const auto secureId = this->ConnectTls(secure);
  const auto plainId = this->Connect(plain);
  EXPECT_TRUE(this->OnLoop([&] { return this->Transport().IsEncrypted(secureId); }));
  EXPECT_FALSE(this->OnLoop([&] { return this->Transport().IsEncrypted(plainId); }));
  ASSERT_TRUE(secure.WriteLine("hello"));
  ASSERT_TRUE(plain.WriteLine("hello"));
  EXPECT_EQ(secure.ReadLine(), "got hello");
  EXPECT_EQ(plain.ReadLine(), "got hello");
}

// Far more than the kernel takes, sent in one turn to a peer that reads nothing: the cap must
// count the text still waiting to be sealed and the records the socket has not taken, or a TLS
// peer could hold any amount of the server's memory.
TYPED_TEST_P(TlsTransportContract, OutputCapCountsSealedAndUnsealedOutput) {
  this->FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < 16 * 1024; ++i) this->Transport().Send(id, std::string(1023, 'x'));
  };
  TTransportLimits limits;
  limits.MaxOutput = 256 * 1024;
  this->StartTls(limits);
  TlsLineClient client;
  const auto id = this->ConnectTls(client);
  ASSERT_TRUE(client.WriteLine("go"));
  EXPECT_TRUE(this->FEvents.WaitForEntry("error " + std::to_string(id) + " " +
                                         std::to_string(kSlowReaderCode) + " " +
                                         std::string(kSlowReaderReason)));
}

TYPED_TEST_P(TlsTransportContract, CloseAfterFlushDeliversTheQueueThenEndsTheSession) {
  this->FEvents.React = [this](ConnectionId id, std::string_view) {
    this->Transport().Send(id, "bye");
    this->Transport().Close(id, ITransport::CloseMode::AfterFlush);
  };
  this->StartTls();
  TlsLineClient client;
  this->ConnectTls(client);
  ASSERT_TRUE(client.WriteLine("QUIT|"));
  EXPECT_EQ(client.ReadLine(), "bye");
  EXPECT_TRUE(client.EndedCleanly());
  client.Close();  // the transport keeps reading until the peer's end, as on the plain port
  EXPECT_TRUE(this->WaitForConnectionCount(0));
}

TYPED_TEST_P(TlsTransportContract, FailedOrStalledHandshakesAreCountedReportedAndNeverAnswered) {
  using namespace std::chrono_literals;
  this->StartTls({}, 300);
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
  auto& events = this->FEvents;
  std::uint64_t failures = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    LineClient client;
    ASSERT_TRUE(client.Connect(this->FTlsPort));
    if (!c.Bytes.empty()) {
      ASSERT_TRUE(client.Write(c.Bytes));
    }
    EXPECT_TRUE(client.WaitClosed(3s));
    EXPECT_TRUE(client.Buffered().find('|') == std::string::npos);
    EXPECT_TRUE(events.WaitFor([&] {
      const auto errors = events.Entries("error ");
      return !errors.empty() && errors.back().find(c.Reason) != std::string::npos;
    })) << testing::PrintToString(events.Log());
    EXPECT_EQ(this->HandshakeFailures(), ++failures);
  }
  EXPECT_EQ(events.Entries("disconnect ").size(), 0u);
}

// Sealing makes records and handshake messages larger than the text sent: the unsent total
// must follow the queues, not add up text and take off bytes written, or it never comes back.
TYPED_TEST_P(TlsTransportContract, UnsentTotalComesBackToZeroOnceEveryPeerHasReadAll) {
  this->FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < 50; ++i) this->Transport().Send(id, std::string(999, 'x'));
  };
  this->StartTls();
  TlsLineClient secure;
  LineClient plain;
  this->ConnectTls(secure);
  this->Connect(plain);
  ASSERT_TRUE(secure.WriteLine("go"));
  ASSERT_TRUE(plain.WriteLine("go"));
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(secure.ReadLine(), std::string(999, 'x'));
    ASSERT_EQ(plain.ReadLine(), std::string(999, 'x'));
  }
  EXPECT_EQ(this->OnLoop([this] { return this->Transport().QueuedOutputBytes(); }), 0u);
}

REGISTER_TYPED_TEST_SUITE_P(TlsTransportContract,
                            OnlyTlsConnectionsAreEncryptedAndBothCarryTheSameText,
                            OutputCapCountsSealedAndUnsealedOutput,
                            CloseAfterFlushDeliversTheQueueThenEndsTheSession,
                            FailedOrStalledHandshakesAreCountedReportedAndNeverAnswered,
                            UnsentTotalComesBackToZeroOnceEveryPeerHasReadAll);

}  // namespace zorva::test
