// The epoll transport: the shared transport contract, then what only this transport does
// (writes coalesced per turn, batched and plain sends, the flood budget, the close timer,
// exceptions from the handler, failed WebSocket upgrades).
#include "EpollTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <future>

#include "EpollHarness.h"
#include "TransportContract.h"
#include "WsLineClient.h"

namespace zorva::test {
INSTANTIATE_TYPED_TEST_SUITE_P(Epoll, TransportContract, testing::Types<EpollHarness>);
}  // namespace zorva::test

namespace zorva {
namespace {

using namespace std::chrono_literals;
using test::EpollHarness;
using test::LineClient;
using testing::HasSubstr;

class EpollTransportTest : public test::TransportContract<EpollHarness> {
 protected:
  EpollTransportTest() {
    FHarness.ReportException = [this](const std::exception& e) {
      FEvents.Record(std::string("exception ") + e.what());
    };
  }
  std::uint64_t WriteCount() {
    return OnLoop([this] { return FHarness.Transport().WriteCount(); });
  }
};

TEST_F(EpollTransportTest, SendsOfOneTurnLeaveInOneWriteInOrder) {
  FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < 100; ++i) Transport().Send(id, "SEND|x|CHAT|" + std::to_string(i));
  };
  Start();
  LineClient client;
  Connect(client);
  const auto writesBefore = WriteCount();
  client.WriteLine("go");
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(client.ReadLine(), "SEND|x|CHAT|" + std::to_string(i));
  }
  EXPECT_EQ(WriteCount() - writesBefore, 1u);
}

// Past the total output cap the largest queue goes, though no connection passed its own cap.
TEST_F(EpollTransportTest, PastTheTotalOutputCapTheLargestQueueIsDropped) {
  TTransportLimits limits;
  limits.MaxOutput = 64 * 1024 * 1024;
  limits.MaxOutputTotal = 256 * 1024;
  limits.PingIntervalMs = 2;
  Start(limits);
  LineClient flooded;
  LineClient idle;
  LineClient reader;
  const auto floodedId = Connect(flooded, 4096);
  const auto idleId = Connect(idle, 4096);
  const auto readerId = Connect(reader);
  OnLoop([&] {
    FEvents.Tick = [this, floodedId, idleId, readerId, block = std::string(4000, 'z')] {
      for (int i = 0; i < 16; ++i) Transport().Send(floodedId, block);
      Transport().Send(idleId, "tick");
      Transport().Send(readerId, "tick");
    };
    Transport().StartPingTimer();
  });
  const std::string dropped = "error " + std::to_string(floodedId) + " " +
                              std::to_string(kSlowReaderCode) + " " +
                              std::string(kSlowReaderReason);
  for (int i = 0; i < 500 && FEvents.Count(dropped) == 0; ++i)
    reader.ReadLine(std::chrono::milliseconds(10));
  OnLoop([this] { Transport().StopPingTimer(); });
  EXPECT_EQ(FEvents.Count(dropped), 1);
  EXPECT_EQ(ConnectionCount(), 2u);
  EXPECT_EQ(idle.ReadLine(), "tick");
  EXPECT_TRUE(flooded.WaitClosed(std::chrono::seconds(10)));
}

// A peer slow to read leaves most of a burst in the server's queue, written in parts as the
// socket drains: with batched sends and with plain ones, every line arrives once and in order.
class SlowPeerTest : public EpollTransportTest,
                     public testing::WithParamInterface<SendBatch::TMode> {};

TEST_P(SlowPeerTest, GetsAWholeBurstInOrder) {
  // More than the server's socket takes at once: its send buffer grows to a few megabytes.
  constexpr int kLines = 12000;
  FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < kLines; ++i)
      Transport().Send(id, std::to_string(i) + std::string(1000, '.'));
  };
  TTransportLimits limits;
  limits.MaxOutput = 64 * 1024 * 1024;
  FHarness.Sends = GetParam();
  Start(limits);
  LineClient client;
  Connect(client, 8192);
  client.WriteLine("go");
  std::this_thread::sleep_for(100ms);
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ(client.ReadLine(), std::to_string(i) + std::string(1000, '.')) << "line " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, SlowPeerTest,
                         testing::Values(SendBatch::TMode::Ring, SendBatch::TMode::PlainSends),
                         [](const auto& info) {
                           return info.param == SendBatch::TMode::Ring ? "Ring" : "PlainSends";
                         });

TEST_F(EpollTransportTest, AResetIsReportedAsTheSocketError) {
  Start();
  LineClient client;
  const auto id = Connect(client);
  client.Abort();
  EXPECT_TRUE(FEvents.WaitForEntry("error " + std::to_string(id) + " " +
                                   std::to_string(ECONNRESET) + " Connection reset by peer"));
}

// The core hears of a browser only once it is upgraded, but of a failed upgrade as of a failed
// TLS handshake: one error per connection, counted, answered by no line. A page's file, or its
// 404, is no failure.
TEST_F(EpollTransportTest, FailedUpgradesAreCountedAndReportedOnceWithoutALine) {
  EpollTransport::TWebSocketListener web;
  web.Port = 0;
  web.Policy.Origins = {"https://game.example"};
  web.HandshakeTimeoutMs = 300;
  FHarness.WebSocket = web;
  Start();
  const auto address = OnLoop([this] { return FHarness.Transport().WebSocketListenAddress(); });
  const auto port = static_cast<std::uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
  const std::string upgrade =
      "GET /zorva HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\n"
      "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  struct Case {
    const char* Label;
    std::string Request;
    int Status;          // 0: none, the request never ends
    const char* Reason;  // empty: no failure
  };
  const Case cases[] = {
      {"a malformed request", "GET /zorva\r\nHost: a\r\n\r\n", 400,
       "WebSocket upgrade refused: HTTP/1.1 400 Bad Request"},
      {"an origin not allowed", upgrade + "Origin: https://evil.example\r\n\r\n", 403,
       "WebSocket upgrade refused: HTTP/1.1 403 Forbidden"},
      {"headers past the limit", "GET /zorva HTTP/1.1\r\nX-Pad: " + std::string(9000, 'p'), 431,
       "WebSocket upgrade refused: HTTP/1.1 431 "},
      {"a page that is not there", "GET /page.html HTTP/1.1\r\nHost: a\r\n\r\n", 404, ""},
      {"a request that never ends", "GET /zorva HTTP/1.1\r\nHost: a\r\n", 0,
       "WebSocket handshake not finished in time"},
  };
  std::uint64_t failures = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    test::WsLineClient client;
    ASSERT_TRUE(client.Open(port));
    ASSERT_TRUE(client.WriteRaw(c.Request));
    if (c.Status != 0) {
      ASSERT_TRUE(client.ReadHead());
      EXPECT_EQ(client.Status(), c.Status);
    }
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_THAT(client.Buffered(), testing::Not(HasSubstr("|")));
    if (*c.Reason != '\0') ++failures;
    EXPECT_TRUE(FEvents.WaitFor([&] { return FEvents.Entries("error ").size() == failures; }));
    if (failures > 0) {
      EXPECT_THAT(FEvents.Entries("error ").back(), HasSubstr(c.Reason));
    }
    EXPECT_EQ(OnLoop([this] { return FHarness.Transport().WebSocketHandshakeFailures(); }),
              failures);
  }
  EXPECT_TRUE(FEvents.Entries("connect ").empty());
}

TEST_F(EpollTransportTest, CloseAfterFlushGivesUpOnAPeerThatNeverReads) {
  TTransportLimits limits;
  limits.CloseTimeoutMs = 200;
  Start(limits);
  LineClient client;
  const auto id = Connect(client, 4096);
  OnLoop([&] {
    for (int i = 0; i < 8000; ++i) Transport().Send(id, std::string(1000, 'q'));
    Transport().Close(id, ITransport::CloseMode::AfterFlush);
  });
  EXPECT_EQ(ConnectionCount(), 1u);  // still flushing
  EXPECT_TRUE(WaitForConnectionCount(0, 2s));
}

// A budget of 100 lines a second with bursts of 10: 60 lines sent at once arrive 10 at once
// and the other 50 over half a second, whole and in order, while another peer is not held up.
TEST_F(EpollTransportTest, InputPastTheFloodBudgetIsHeldBackNotDropped) {
  TTransportLimits limits;
  limits.Flood = {.LinesPerSecond = 100, .LineBurst = 10, .BytesPerSecond = 0};
  Start(limits);
  LineClient flooder;
  LineClient other;
  const auto floodId = Connect(flooder);
  const auto otherId = Connect(other);
  std::string sent;
  for (int i = 0; i < 60; ++i) sent += "SEND|CHAT|" + std::to_string(i) + "\n";
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(flooder.Write(sent));
  ASSERT_TRUE(other.WriteLine("PING|"));
  ASSERT_TRUE(FEvents.WaitFor([&] { return FEvents.Received(otherId) == "PING|\n"; }, 100ms));
  const auto early = FEvents.Received(floodId);
  EXPECT_EQ(std::count(early.begin(), early.end(), '\n'), 10) << early;
  ASSERT_TRUE(FEvents.WaitFor([&] { return FEvents.Received(floodId).size() == sent.size(); }));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 450ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_EQ(FEvents.Received(floodId), sent);
  EXPECT_EQ(FEvents.Log().size(), 2u) << testing::PrintToString(FEvents.Log());  // no drop
}

// Leaving while input is held back: a peer's end comes after all it sent; a close by the
// server ends the held input with the connection.
struct HeldLeaveCase {
  const char* label;
  bool peerCloses;
  int linesReported;
};

void PrintTo(const HeldLeaveCase& c, std::ostream* os) {
  *os << c.label;
}

class HeldLeaveTest : public EpollTransportTest,
                      public testing::WithParamInterface<HeldLeaveCase> {};

TEST_P(HeldLeaveTest, EndsTheHeldInputInOrder) {
  const auto& c = GetParam();
  TTransportLimits limits;
  limits.Flood = {.LinesPerSecond = 200, .LineBurst = 5, .BytesPerSecond = 0};
  if (!c.peerCloses) {
    FEvents.React = [this](ConnectionId id, std::string_view) {
      Transport().Close(id, ITransport::CloseMode::Now);
    };
  }
  Start(limits);
  LineClient client;
  const auto id = Connect(client);
  std::string sent;
  for (int i = 0; i < 40; ++i) sent += "SEND|DATA|" + std::to_string(i) + "\n";
  ASSERT_TRUE(client.Write(sent));
  if (c.peerCloses) client.Close();
  ASSERT_TRUE(WaitForConnectionCount(0));
  std::this_thread::sleep_for(100ms);  // a held chunk would be handed on by now
  const auto received = FEvents.Received(id);
  EXPECT_EQ(std::count(received.begin(), received.end(), '\n'), c.linesReported);
  EXPECT_TRUE(sent.starts_with(received));
  const auto events = FEvents.Log();
  EXPECT_EQ(events.size(), c.peerCloses ? 2u : 1u) << testing::PrintToString(events);
  if (c.peerCloses) {
    EXPECT_EQ(events.back(), "disconnect " + std::to_string(id));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HeldLeaveTest,
                         testing::Values(HeldLeaveCase{"peer_closes", true, 40},
                                         HeldLeaveCase{"server_closes", false, 5}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(EpollTransportTest, ExceptionsFromTheHandlerAreReportedAndServiceGoesOn) {
  FEvents.React = [this](ConnectionId id, std::string_view bytes) {
    if (bytes.starts_with("throw")) throw std::runtime_error("handler failed");
    Transport().Send(id, "still here");
  };
  Start();
  LineClient client;
  Connect(client);
  client.WriteLine("throw");
  ASSERT_TRUE(FEvents.WaitForEntry("exception handler failed"));
  client.WriteLine("again");
  EXPECT_EQ(client.ReadLine(), "still here");
  Transport().Post([] { throw 42; });
  EXPECT_TRUE(FEvents.WaitForEntry("exception unknown exception"));
}

TEST_F(EpollTransportTest, ListenFailuresAreExplained) {
  Start();
  asio::io_context otherIo;
  test::EventRecorder otherEvents;
  struct Case {
    const char* label;
    std::string bindAddress;
    std::uint16_t port;
    const char* message;
  };
  for (const auto& c : {Case{"port_in_use", "127.0.0.1", FPort, "Cannot listen on 127.0.0.1:"},
                        Case{"bad_address", "not-an-address", 0, "Invalid bind address"}}) {
    EpollTransport::TOptions options;
    options.BindAddress = c.bindAddress;
    EpollTransport other(otherIo, options);
    other.SetEvents(&otherEvents);
    std::string error;
    EXPECT_FALSE(other.Listen(c.port, error)) << c.label;
    EXPECT_THAT(error, HasSubstr(c.message)) << c.label;
    EXPECT_EQ(other.ListenAddress(), "") << c.label;
  }
  std::string error;
  EXPECT_FALSE(OnLoop([&] { return Transport().Listen(0, error); }));
  EXPECT_THAT(error, HasSubstr("Already listening"));
}

}  // namespace
}  // namespace zorva
