// TransportContract: what every transport of the server promises the core, written once as a
// typed test suite and run against each transport over 127.0.0.1. A transport joins it with a
// harness that runs it on a loop thread of its own, while the test thread plays the peers with
// blocking LineClients:
//
//   struct Harness {
//     // Makes the transport with `limits`, reporting to `events`, listening on bindAddress:0.
//     bool Start(const std::string& bindAddress, const TTransportLimits& limits,
//                IConnectionEvents& events, std::string& error);
//     void RunOnLoop(const std::function<void()>& task);  // runs it there and waits
//     ITransport& Transport();                            // for use on the loop thread
//     std::size_t ConnectionCount();                      // likewise
//     void Stop();                                        // ends the transport and the loop
//   };
//   using Harnesses = testing::Types<Harness>;
//   INSTANTIATE_TYPED_TEST_SUITE_P(Name, TransportContract, Harnesses);
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "EventRecorder.h"
#include "LineClient.h"
#include "TransportLimits.h"

namespace zorva::test {

// Whether this machine can listen on the IPv6 loopback address.
inline bool HasIPv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return bound;
}

// A plain listening socket on 127.0.0.1 that holds a port for as long as it lives.
class PortSquatter {
 public:
  PortSquatter() {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(FFd, 1) != 0 ||
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    Port = ntohs(address.sin_port);
  }
  ~PortSquatter() { ::close(FFd); }
  PortSquatter(const PortSquatter&) = delete;
  PortSquatter& operator=(const PortSquatter&) = delete;

  std::uint16_t Port = 0;

 private:
  int FFd;
};

inline std::uint16_t PortOf(const std::string& endpoint) {
  const auto colon = endpoint.rfind(':');
  if (colon == std::string::npos) return 0;
  return static_cast<std::uint16_t>(std::stoul(endpoint.substr(colon + 1)));
}

template <class Harness>
class TransportContract : public testing::Test {
 protected:
  void Start(const TTransportLimits& limits = {}, const std::string& bindAddress = "127.0.0.1") {
    std::string error;
    ASSERT_TRUE(FHarness.Start(bindAddress, limits, FEvents, error)) << error;
    FStarted = true;
    FAddress = OnLoop([this] { return Transport().ListenAddress(); });
    FPort = PortOf(FAddress);
  }

  void TearDown() override {
    if (FStarted) FHarness.Stop();
  }

  ITransport& Transport() { return FHarness.Transport(); }

  // Runs `task` on the transport's thread, waits for it and gives back what it returned.
  template <class Task>
  auto OnLoop(Task task) -> decltype(task()) {
    using Result = decltype(task());
    if constexpr (std::is_void_v<Result>) {
      FHarness.RunOnLoop(task);
    } else {
      std::optional<Result> result;
      FHarness.RunOnLoop([&] { result.emplace(task()); });
      return std::move(*result);
    }
  }

  // Connects and waits until the transport has reported the connection; returns its id.
  ConnectionId Connect(LineClient& client, int receiveBuffer = 0) {
    const auto before = FEvents.Entries("connect ").size();
    EXPECT_TRUE(client.Connect(FPort, receiveBuffer));
    EXPECT_TRUE(FEvents.WaitFor([&] { return FEvents.Entries("connect ").size() > before; }));
    const auto entry = FEvents.Entries("connect ").back();  // "connect ID REMOTE LOCAL"
    return std::stoull(entry.substr(entry.find(' ') + 1));
  }

  std::size_t ConnectionCount() {
    return OnLoop([this] { return FHarness.ConnectionCount(); });
  }

  bool WaitForConnectionCount(std::size_t count,
                              std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ConnectionCount() != count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Gives the transport time to do what it must not do.
  static void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

  EventRecorder FEvents;
  Harness FHarness;
  bool FStarted = false;
  std::string FAddress;
  std::uint16_t FPort = 0;
};

TYPED_TEST_SUITE_P(TransportContract);

TYPED_TEST_P(TransportContract, ReportsConnectionsWithAddressesAndNeverReusesIds) {
  this->Start();
  ASSERT_NE(this->FPort, 0);
  EXPECT_EQ(this->FAddress, "127.0.0.1:" + std::to_string(this->FPort));
  LineClient first;
  LineClient second;
  const auto firstId = this->Connect(first);
  EXPECT_EQ(this->FEvents.Log().front(),
            "connect " + std::to_string(firstId) + " 127.0.0.1 127.0.0.1");
  first.Close();
  ASSERT_TRUE(this->FEvents.WaitForEntry("disconnect " + std::to_string(firstId)));
  EXPECT_NE(this->Connect(second), firstId);
}

TYPED_TEST_P(TransportContract, ListensOnIPv6LoopbackWrittenInBrackets) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  this->Start({}, "::1");
  ASSERT_NE(this->FPort, 0);
  EXPECT_EQ(this->FAddress, "[::1]:" + std::to_string(this->FPort));
}

// Lines of one peer must not mix with another's, and bytes pass unchanged: carriage returns,
// partial lines and all.
TYPED_TEST_P(TransportContract, PassesInputThroughUntouchedAndApart) {
  this->Start();
  LineClient a;
  LineClient b;
  const auto idA = this->Connect(a);
  const auto idB = this->Connect(b);
  std::string sentA;
  std::string sentB;
  for (int i = 0; i < 200; ++i) {
    const std::string chunkA = "SEND|CHAT|a" + std::to_string(i) + std::string(3000, 'a') + "\r\n";
    const std::string chunkB = "SEND|DATA|b" + std::to_string(i) + std::string(2000, 'b');
    ASSERT_TRUE(a.Write(chunkA));
    ASSERT_TRUE(b.Write(chunkB));
    sentA += chunkA;
    sentB += chunkB;
  }
  ASSERT_TRUE(this->FEvents.WaitFor([&] {
    return this->FEvents.Received(idA).size() == sentA.size() &&
           this->FEvents.Received(idB).size() == sentB.size();
  }));
  EXPECT_EQ(this->FEvents.Received(idA), sentA);
  EXPECT_EQ(this->FEvents.Received(idB), sentB);
}

TYPED_TEST_P(TransportContract, SendsLinesInOrderEachWithOneLineFeed) {
  this->Start();
  LineClient client;
  const auto id = this->Connect(client);
  this->OnLoop([&] {
    this->Transport().Send(id, "PING|");
    this->Transport().Send(id, "");
    for (int i = 0; i < 100; ++i) this->Transport().Send(id, "SEND|x|CHAT|" + std::to_string(i));
  });
  EXPECT_EQ(client.ReadLine(), "PING|");
  EXPECT_EQ(client.ReadLine(), "");
  for (int i = 0; i < 100; ++i) ASSERT_EQ(client.ReadLine(), "SEND|x|CHAT|" + std::to_string(i));
}

// Output buffers may be reused between connections: nothing of an earlier burst may leak into
// the next, whichever connection it goes to.
TYPED_TEST_P(TransportContract, BurstsInTurnCarryOnlyTheirOwnLines) {
  this->FEvents.React = [this](ConnectionId id, std::string_view bytes) {
    const std::string word(bytes.substr(0, bytes.find('\n')));
    for (int i = 0; i < 100; ++i) this->Transport().Send(id, word + std::to_string(i));
  };
  this->Start();
  LineClient first;
  LineClient second;
  this->Connect(first);
  this->Connect(second);
  for (const auto& [client, word] : {std::pair{&first, "a"}, {&second, "b"}, {&first, "c"}}) {
    client->WriteLine(word);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(client->ReadLine(), word + std::to_string(i));
  }
}

// However a peer leaves, the core hears of it once, after all it sent, and never again: a FIN
// as a hang-up, a reset as a socket error.
TYPED_TEST_P(TransportContract, PeerLeavingIsReportedOnceAndForgotten) {
  struct Case {
    const char* label;
    std::string lastWords;
    bool reset;
  };
  this->Start();
  for (const auto& c :
       {Case{"fin", "", false}, Case{"fin_after_partial_line", "SEND|CH", false},
        Case{"reset", "", true}, Case{"reset_after_partial_line", "SEND|CH", true}}) {
    LineClient client;
    const auto id = this->Connect(client);
    const auto ended = [&] {
      return this->FEvents.Count("disconnect " + std::to_string(id)) +
             static_cast<int>(this->FEvents.Entries("error " + std::to_string(id) + " ").size());
    };
    client.Write(c.lastWords);
    if (c.reset) {
      client.Abort();
    } else {
      client.Close();
    }
    ASSERT_TRUE(this->FEvents.WaitFor([&] { return ended() > 0; })) << c.label;
    const std::string end =
        c.reset ? "error " + std::to_string(id) + " " + std::to_string(ECONNRESET) + " "
                : "disconnect " + std::to_string(id);
    EXPECT_EQ(this->FEvents.Log().back().substr(0, end.size()), end) << c.label;
    EXPECT_EQ(this->FEvents.Received(id), c.lastWords) << c.label;
    this->OnLoop([&] {
      this->Transport().Send(id, "late");
      this->Transport().Close(id, ITransport::CloseMode::Now);
    });
    this->Settle();
    EXPECT_EQ(ended(), 1) << c.label;
    EXPECT_EQ(this->ConnectionCount(), 0u) << c.label;
  }
}

// Close(Now) from inside the read event: the queued line goes with the connection.
TYPED_TEST_P(TransportContract, CloseNowEndsTheStreamAndReportsNothingMore) {
  this->FEvents.React = [this](ConnectionId id, std::string_view) {
    this->Transport().Send(id, "dropped with the connection");
    this->Transport().Close(id, ITransport::CloseMode::Now);
  };
  this->Start();
  LineClient client;
  this->Connect(client);
  client.WriteLine("bye");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.Buffered(), "");
  client.Close();
  this->Settle();
  EXPECT_EQ(this->FEvents.Log().size(), 1u) << testing::PrintToString(this->FEvents.Log());
}

// Close(AfterFlush) delivers everything queued and then ends the stream with a FIN, also when
// the peer reads slowly and when it keeps sending after the close (unread input would make the
// close a reset, which can destroy the lines before the peer reads them).
TYPED_TEST_P(TransportContract, CloseAfterFlushDeliversTheQueueThenEnds) {
  struct Case {
    const char* label;
    int lines;
    std::size_t sentAfterClose;
  };
  int lines = 0;
  this->FEvents.React = [this, &lines](ConnectionId id, std::string_view bytes) {
    if (bytes.find('\n') == std::string_view::npos) return;
    for (int i = 0; i < lines; ++i)
      this->Transport().Send(id, std::to_string(i) + std::string(1000, '.'));
    this->Transport().Close(id, ITransport::CloseMode::AfterFlush);
  };
  this->Start();
  std::size_t connects = 0;
  for (const auto& c :
       {Case{"nothing_queued", 0, 0}, Case{"three_lines", 3, 0}, Case{"two_megabytes", 2000, 0},
        Case{"peer_sends_after_close", 2000, 200000}}) {
    lines = c.lines;
    LineClient client;
    this->Connect(client, 8192);
    ++connects;
    client.WriteLine("close please");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the peer is slow to read
    for (int i = 0; i < c.lines; ++i) {
      ASSERT_EQ(client.ReadLine(), std::to_string(i) + std::string(1000, '.'))
          << c.label << " line " << i;
      // Sent while most of the lines still wait in the server's socket.
      if (i == 0) client.Write(std::string(c.sentAfterClose, 'x'));
    }
    EXPECT_TRUE(client.WaitClosed()) << c.label;
    EXPECT_FALSE(client.Reset()) << c.label;
    EXPECT_EQ(client.Buffered(), "") << c.label;
    client.Close();  // the transport waits for the peer's end before it lets go
    EXPECT_TRUE(this->WaitForConnectionCount(0)) << c.label;
    EXPECT_EQ(this->FEvents.Log().size(), connects)
        << c.label << testing::PrintToString(this->FEvents.Log());
  }
}

// The cap counts the line and its line feed against what is not yet written; the drop is
// reported from a later turn, never from inside the core's Send.
TYPED_TEST_P(TransportContract, OutputCapIsExactAndItsDropReportedLater) {
  struct Case {
    const char* label;
    std::size_t lineLength;
    bool dropped;
  };
  TTransportLimits limits;
  limits.MaxOutput = 100;
  this->Start(limits);
  for (const auto& c : {Case{"exactly_at_cap", 99, false}, Case{"one_byte_over", 100, true}}) {
    LineClient client;
    const auto id = this->Connect(client);
    // Only this connection's errors count: the previous case's peer may still be reported gone.
    const auto errorsOfThis = "error " + std::to_string(id) + " ";
    EXPECT_TRUE(this->OnLoop([&] {
      this->Transport().Send(id, std::string(c.lineLength, 'a'));
      return this->FEvents.Entries(errorsOfThis).empty();
    })) << c.label;
    const auto drop = "error " + std::to_string(id) + " " + std::to_string(kSlowReaderCode) + " " +
                      std::string(kSlowReaderReason);
    if (!c.dropped) {
      EXPECT_EQ(client.ReadLine(), std::string(c.lineLength, 'a')) << c.label;
      this->Settle();
      EXPECT_TRUE(this->FEvents.Entries(errorsOfThis).empty()) << c.label;
      continue;
    }
    EXPECT_TRUE(this->FEvents.WaitForEntry(drop)) << c.label;
    EXPECT_TRUE(client.WaitClosed()) << c.label;
    EXPECT_EQ(client.Buffered(), "") << c.label;
  }
}

TYPED_TEST_P(TransportContract, PeerPastTheOutputCapIsDroppedAsSlowReaderOthersStay) {
  TTransportLimits limits;
  limits.MaxOutput = 256 * 1024;
  limits.PingIntervalMs = 2;
  this->Start(limits);
  LineClient slow;
  LineClient reader;
  const auto slowId = this->Connect(slow, 4096);
  const auto readerId = this->Connect(reader);
  // Each tick floods the peer that never reads and gives the other one a short line.
  this->OnLoop([&] {
    this->FEvents.Tick = [this, slowId, readerId, block = std::string(4000, 'z')] {
      for (int i = 0; i < 16; ++i) this->Transport().Send(slowId, block);
      this->Transport().Send(readerId, "tick");
    };
    this->Transport().StartPingTimer();
  });
  const std::string expected = "error " + std::to_string(slowId) + " " +
                               std::to_string(kSlowReaderCode) + " " +
                               std::string(kSlowReaderReason);
  for (int i = 0; i < 500 && this->FEvents.Count(expected) == 0; ++i)
    reader.ReadLine(std::chrono::milliseconds(10));
  EXPECT_EQ(this->FEvents.Count(expected), 1);
  EXPECT_EQ(this->ConnectionCount(), 1u);
  EXPECT_EQ(reader.ReadLine(), "tick");
  this->OnLoop([this] { this->Transport().StopPingTimer(); });
  EXPECT_TRUE(slow.WaitClosed(std::chrono::seconds(10)));
}

TYPED_TEST_P(TransportContract, OverflowOfAConnectionClosedMeanwhileIsNotReported) {
  TTransportLimits limits;
  limits.MaxOutput = 10;
  this->Start(limits);
  LineClient client;
  const auto id = this->Connect(client);
  this->OnLoop([&] {
    this->Transport().Send(id, "far too long for the cap");
    this->Transport().Close(id, ITransport::CloseMode::Now);
  });
  this->Settle();
  EXPECT_EQ(this->FEvents.Log().size(), 1u) << testing::PrintToString(this->FEvents.Log());
}

TYPED_TEST_P(TransportContract, PingTimerTicksOnlyWhileStartedAndNeverDoubles) {
  TTransportLimits limits;
  limits.PingIntervalMs = 40;
  this->Start(limits);
  this->OnLoop([this] {
    this->Transport().StartPingTimer();
    this->Transport().StopPingTimer();
    this->Transport().StartPingTimer();
    this->Transport().StartPingTimer();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(420));
  this->OnLoop([this] { this->Transport().StopPingTimer(); });
  const auto ticks = this->FEvents.Count("tick");
  EXPECT_GE(ticks, 3);   // 10 due; a loaded machine may run late
  EXPECT_LE(ticks, 11);  // a second timer would give about 20
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(this->FEvents.Count("tick"), ticks);
}

TYPED_TEST_P(TransportContract, PostFromAnotherThreadRunsOnTheLoopThread) {
  this->Start();
  const auto loopThread = this->OnLoop([] { return std::this_thread::get_id(); });
  std::thread::id ranOn;
  bool ran = false;
  std::thread poster([&] {
    this->Transport().Post([&] {
      ranOn = std::this_thread::get_id();
      ran = true;
    });
  });
  poster.join();
  for (int i = 0; i < 500 && !this->OnLoop([&] { return ran; }); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(this->OnLoop([&] { return ran; }));
  EXPECT_EQ(ranOn, loopThread);
}

TYPED_TEST_P(TransportContract, StopListeningRefusesNewPeersButKeepsConnectedOnes) {
  this->Start();
  LineClient old;
  const auto id = this->Connect(old);
  this->OnLoop([this] { this->Transport().StopListening(); });
  EXPECT_EQ(this->OnLoop([this] { return this->Transport().ListenAddress(); }), "");
  LineClient late;
  EXPECT_FALSE(late.Connect(this->FPort));
  this->OnLoop([&] { this->Transport().Send(id, "still here"); });
  EXPECT_EQ(old.ReadLine(), "still here");
}

TYPED_TEST_P(TransportContract, ListenOnAPortInUseFailsWithAReasonAndCanListenAgain) {
  this->Start();
  PortSquatter squatter;
  ASSERT_NE(squatter.Port, 0);
  std::string error;
  const bool listened = this->OnLoop([&] {
    this->Transport().StopListening();
    return this->Transport().Listen(squatter.Port, error);
  });
  EXPECT_FALSE(listened);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(this->OnLoop([this] { return this->Transport().ListenAddress(); }), "");
  EXPECT_TRUE(this->OnLoop([&] { return this->Transport().Listen(0, error); })) << error;
}

TYPED_TEST_P(TransportContract, UnknownIdsAreIgnored) {
  this->Start();
  LineClient client;
  const auto id = this->Connect(client);
  this->OnLoop([&] {
    this->Transport().Send(id + 1000, "x");
    this->Transport().Close(id + 1000, ITransport::CloseMode::AfterFlush);
    this->Transport().Close(id + 1001, ITransport::CloseMode::Now);
    this->Transport().Send(id, "mine");
  });
  EXPECT_EQ(client.ReadLine(), "mine");
  EXPECT_EQ(this->FEvents.Log().size(), 1u);
}

REGISTER_TYPED_TEST_SUITE_P(
    TransportContract, ReportsConnectionsWithAddressesAndNeverReusesIds,
    ListensOnIPv6LoopbackWrittenInBrackets, PassesInputThroughUntouchedAndApart,
    SendsLinesInOrderEachWithOneLineFeed, BurstsInTurnCarryOnlyTheirOwnLines,
    PeerLeavingIsReportedOnceAndForgotten, CloseNowEndsTheStreamAndReportsNothingMore,
    CloseAfterFlushDeliversTheQueueThenEnds, OutputCapIsExactAndItsDropReportedLater,
    PeerPastTheOutputCapIsDroppedAsSlowReaderOthersStay,
    OverflowOfAConnectionClosedMeanwhileIsNotReported,
    PingTimerTicksOnlyWhileStartedAndNeverDoubles, PostFromAnotherThreadRunsOnTheLoopThread,
    StopListeningRefusesNewPeersButKeepsConnectedOnes,
    ListenOnAPortInUseFailsWithAReasonAndCanListenAgain, UnknownIdsAreIgnored);

}  // namespace zorva::test
