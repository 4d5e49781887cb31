#include "AsioTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "LineClient.h"

namespace zorva {
namespace {

using namespace std::chrono_literals;
using test::LineClient;
using testing::HasSubstr;

// Records what the transport reports, from the loop thread, for the test thread to wait on.
// `React` and `Tick` let a test answer on the loop thread, as the core would; set them before
// Start or through OnLoop.
class RecordingEvents : public IConnectionEvents {
 public:
  std::function<void(ConnectionId, std::string_view)> React;
  std::function<void()> Tick;

  void OnClientConnect(ConnectionId id, std::string remote, std::string local) override {
    Record("connect " + std::to_string(id) + " " + remote + " " + local);
  }
  void OnClientRead(ConnectionId id, std::string_view bytes) override {
    {
      std::lock_guard lock(FMutex);
      FReceived[id].append(bytes);
    }
    FChanged.notify_all();
    if (React) React(id, bytes);
  }
  void OnClientDisconnect(ConnectionId id) override { Record("disconnect " + std::to_string(id)); }
  void OnClientError(ConnectionId id, int code, std::string_view reason) override {
    Record("error " + std::to_string(id) + " " + std::to_string(code) + " " + std::string(reason));
  }
  void OnPingTimer() override {
    Record("tick");
    if (Tick) Tick();
  }

  std::vector<std::string> Log() {
    std::lock_guard lock(FMutex);
    return FLog;
  }
  std::string Received(ConnectionId id) {
    std::lock_guard lock(FMutex);
    return FReceived[id];
  }
  int Count(std::string_view entry) {
    std::lock_guard lock(FMutex);
    return static_cast<int>(std::count(FLog.begin(), FLog.end(), entry));
  }
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [&] {
      lock.unlock();
      const bool result = done();
      lock.lock();
      return result;
    });
  }
  bool WaitForEntry(const std::string& entry, std::chrono::milliseconds timeout = 5s) {
    return WaitFor([&] { return Count(entry) > 0; }, timeout);
  }

  void Record(std::string entry) {
    {
      std::lock_guard lock(FMutex);
      FLog.push_back(std::move(entry));
    }
    FChanged.notify_all();
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<std::string> FLog;
  std::map<ConnectionId, std::string> FReceived;
};

// The transport runs on its own thread, as in the daemon; the test thread is the peer.
class AsioTransportTest : public testing::Test {
 protected:
  void Start(AsioTransport::TOptions options = {}) {
    options.BindAddress = "127.0.0.1";
    FTransport = std::make_unique<AsioTransport>(FIo, options);
    FTransport->SetEvents(&FEvents);
    FTransport->SetExceptionReporter(
        [this](const std::exception& e) { FEvents.Record(std::string("exception ") + e.what()); });
    std::string error;
    ASSERT_TRUE(FTransport->Listen(0, error)) << error;
    FPort = FTransport->ListenPort();
    FLoop = std::thread([this] { FIo.run(); });
  }

  // Runs `task` on the loop thread and waits for it.
  template <class Task>
  auto OnLoop(Task task) {
    auto packaged = std::make_shared<std::packaged_task<decltype(task())()>>(std::move(task));
    auto result = packaged->get_future();
    asio::post(FIo, [packaged] { (*packaged)(); });
    EXPECT_EQ(result.wait_for(5s), std::future_status::ready);
    return result.get();
  }

  void TearDown() override {
    if (!FTransport) return;
    OnLoop([this] {
      FTransport->StopPingTimer();
      FTransport->StopListening();
      FTransport->CloseAll();
    });
    FWork.reset();
    FIo.stop();
    FLoop.join();
    FTransport.reset();
  }

  // Connects and waits until the transport has reported the connection; returns its id.
  ConnectionId Connect(LineClient& client, int receiveBuffer = 0) {
    const auto before = Connects().size();
    EXPECT_TRUE(client.Connect(FPort, receiveBuffer));
    EXPECT_TRUE(FEvents.WaitFor([&] { return Connects().size() > before; }));
    const auto entry = Connects().back();  // "connect ID REMOTE LOCAL"
    return std::stoull(entry.substr(entry.find(' ') + 1));
  }

  bool WaitForConnectionCount(std::size_t count, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (OnLoop([this] { return FTransport->ConnectionCount(); }) != count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  std::vector<std::string> Connects() {
    std::vector<std::string> connects;
    for (const auto& entry : FEvents.Log()) {
      if (entry.starts_with("connect ")) connects.push_back(entry);
    }
    return connects;
  }

  asio::io_context FIo;
  asio::executor_work_guard<asio::io_context::executor_type> FWork{FIo.get_executor()};
  RecordingEvents FEvents;
  std::unique_ptr<AsioTransport> FTransport;
  std::thread FLoop;
  std::uint16_t FPort = 0;
};

TEST_F(AsioTransportTest, ReportsConnectionsWithAddressesAndNeverReusesIds) {
  Start();
  EXPECT_NE(FPort, 0);
  EXPECT_EQ(FTransport->ListenAddress(), "127.0.0.1:" + std::to_string(FPort));
  LineClient first;
  LineClient second;
  EXPECT_EQ(Connect(first), 1u);
  first.Close();
  ASSERT_TRUE(FEvents.WaitForEntry("disconnect 1"));
  EXPECT_EQ(Connect(second), 2u);
  EXPECT_EQ(FEvents.Log().front(), "connect 1 127.0.0.1 127.0.0.1");
}

TEST_F(AsioTransportTest, InputOfConnectionsStaysApartThroughTheSharedReadBuffer) {
  Start();
  LineClient a;
  LineClient b;
  const auto idA = Connect(a);
  const auto idB = Connect(b);
  std::string sentA;
  std::string sentB;
  for (int i = 0; i < 200; ++i) {
    const std::string chunkA = "SEND|CHAT|a" + std::to_string(i) + std::string(3000, 'a') + "\n";
    const std::string chunkB = "SEND|DATA|b" + std::to_string(i) + std::string(2000, 'b');
    ASSERT_TRUE(a.Write(chunkA));
    ASSERT_TRUE(b.Write(chunkB));
    sentA += chunkA;
    sentB += chunkB;
  }
  ASSERT_TRUE(FEvents.WaitFor([&] {
    return FEvents.Received(idA).size() == sentA.size() &&
           FEvents.Received(idB).size() == sentB.size();
  }));
  EXPECT_EQ(FEvents.Received(idA), sentA);
  EXPECT_EQ(FEvents.Received(idB), sentB);
}

TEST_F(AsioTransportTest, SendsOfOneTurnLeaveInOneWriteInOrder) {
  FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < 100; ++i) FTransport->Send(id, "SEND|x|CHAT|" + std::to_string(i));
  };
  Start();
  LineClient client;
  Connect(client);
  const auto writesBefore = OnLoop([this] { return FTransport->WriteCount(); });
  client.WriteLine("go");
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(client.ReadLine(), "SEND|x|CHAT|" + std::to_string(i));
  }
  EXPECT_EQ(OnLoop([this] { return FTransport->WriteCount(); }) - writesBefore, 1u);
}

// A peer slow to read leaves most of a burst in the server's queue, written in parts as the
// socket drains: with batched sends and with plain ones, every line arrives once and in order.
class SlowPeerTest : public AsioTransportTest,
                     public testing::WithParamInterface<SendBatch::TMode> {};

TEST_P(SlowPeerTest, GetsAWholeBurstInOrder) {
  // More than the server's socket takes at once: its send buffer grows to a few megabytes.
  constexpr int kLines = 12000;
  FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < kLines; ++i)
      FTransport->Send(id, std::to_string(i) + std::string(1000, '.'));
  };
  AsioTransport::TOptions options;
  options.MaxOutput = 64 * 1024 * 1024;
  options.Sends = GetParam();
  Start(options);
  LineClient client;
  Connect(client, 8192);
  client.WriteLine("go");
  std::this_thread::sleep_for(100ms);
  for (int i = 0; i < kLines; ++i) {
    ASSERT_EQ(client.ReadLine(), std::to_string(i) + std::string(1000, '.')) << "line " << i;
  }
  EXPECT_GT(OnLoop([this] { return FTransport->WriteCount(); }), 1u);
}

INSTANTIATE_TEST_SUITE_P(Modes, SlowPeerTest,
                         testing::Values(SendBatch::TMode::Ring, SendBatch::TMode::PlainSends),
                         [](const auto& info) {
                           return info.param == SendBatch::TMode::Ring ? "Ring" : "PlainSends";
                         });

// Output buffers of idle connections are handed on to busy ones: nothing of an earlier burst
// may leak into the next, whichever connection it goes to.
TEST_F(AsioTransportTest, BurstsInTurnCarryOnlyTheirOwnLines) {
  FEvents.React = [this](ConnectionId id, std::string_view bytes) {
    const std::string word(bytes.substr(0, bytes.find('\n')));
    for (int i = 0; i < 100; ++i) FTransport->Send(id, word + std::to_string(i));
  };
  Start();
  LineClient first;
  LineClient second;
  Connect(first);
  Connect(second);
  for (const auto& [client, word] : {std::pair{&first, "a"}, {&second, "b"}, {&first, "c"}}) {
    client->WriteLine(word);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(client->ReadLine(), word + std::to_string(i));
  }
}

TEST_F(AsioTransportTest, PeerPastTheOutputCapIsDroppedAsSlowReaderOthersStay) {
  AsioTransport::TOptions options;
  options.MaxOutput = 256 * 1024;
  options.PingIntervalMs = 2;
  Start(options);
  LineClient slow;
  LineClient reader;
  const auto slowId = Connect(slow, 4096);
  const auto readerId = Connect(reader);
  // Each tick floods the peer that never reads and gives the other one a short line.
  OnLoop([&] {
    FEvents.Tick = [this, slowId, readerId, block = std::string(4000, 'z')] {
      for (int i = 0; i < 16; ++i) FTransport->Send(slowId, block);
      FTransport->Send(readerId, "tick");
    };
    FTransport->StartPingTimer();
  });
  const std::string expected = "error " + std::to_string(slowId) + " " + std::to_string(ENOBUFS) +
                               " Output queue full (slow reader)";
  for (int i = 0; i < 500 && FEvents.Count(expected) == 0; ++i) reader.ReadLine(10ms);
  EXPECT_EQ(FEvents.Count(expected), 1);
  EXPECT_EQ(OnLoop([this] { return FTransport->ConnectionCount(); }), 1u);
  EXPECT_EQ(reader.ReadLine(), "tick");
  EXPECT_TRUE(slow.WaitClosed(10s));
}

// How a peer may leave, and what the transport must report for it.
struct PeerLeaveCase {
  const char* label;
  void (*leave)(LineClient&);
  std::string event;
  std::string detail;  // what follows the id
};

void PrintTo(const PeerLeaveCase& c, std::ostream* os) {
  *os << c.label;
}

class PeerLeaveTest : public AsioTransportTest,
                      public testing::WithParamInterface<PeerLeaveCase> {};

TEST_P(PeerLeaveTest, IsReportedOnceAndForgotten) {
  Start();
  LineClient client;
  const auto id = Connect(client);
  GetParam().leave(client);
  const auto expected = GetParam().event + " " + std::to_string(id) + GetParam().detail;
  ASSERT_TRUE(FEvents.WaitForEntry(expected)) << testing::PrintToString(FEvents.Log());
  EXPECT_EQ(OnLoop([&] {
              FTransport->Send(id, "late");  // a send after the drop is ignored
              FTransport->Close(id, ITransport::CloseMode::Now);
              return FTransport->ConnectionCount();
            }),
            0u);
  EXPECT_EQ(FEvents.Log().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PeerLeaveTest,
    testing::Values(PeerLeaveCase{"fin", [](LineClient& c) { c.Close(); }, "disconnect", ""},
                    PeerLeaveCase{"fin_after_partial_line",
                                  [](LineClient& c) {
                                    c.Write("SEND|CH");
                                    c.Close();
                                  },
                                  "disconnect", ""},
                    PeerLeaveCase{"reset", [](LineClient& c) { c.Abort(); }, "error",
                                  " " + std::to_string(ECONNRESET) + " Connection reset by peer"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(AsioTransportTest, CloseNowEndsTheStreamAndReportsNothingMore) {
  FEvents.React = [this](ConnectionId id, std::string_view) {
    FTransport->Send(id, "dropped with the connection");
    FTransport->Close(id, ITransport::CloseMode::Now);
  };
  Start();
  LineClient client;
  Connect(client);
  client.WriteLine("bye");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.Buffered(), "");
  client.Close();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(FEvents.Log().size(), 1u) << testing::PrintToString(FEvents.Log());
}

// Close(AfterFlush) must deliver everything queued and then end the stream with a FIN, also
// when the peer reads slowly and when it keeps sending after the close (unread input would
// make the close a reset, which can destroy the lines before the peer reads them).
struct FlushCase {
  const char* label;
  int lines;
  std::size_t sentAfterClose;
};

void PrintTo(const FlushCase& c, std::ostream* os) {
  *os << c.label;
}

class CloseAfterFlushTest : public AsioTransportTest,
                            public testing::WithParamInterface<FlushCase> {};

TEST_P(CloseAfterFlushTest, DeliversTheQueueThenEnds) {
  const auto lines = GetParam().lines;
  FEvents.React = [this, lines](ConnectionId id, std::string_view bytes) {
    if (bytes.find('\n') == std::string_view::npos) return;
    for (int i = 0; i < lines; ++i)
      FTransport->Send(id, std::to_string(i) + std::string(1000, '.'));
    FTransport->Close(id, ITransport::CloseMode::AfterFlush);
  };
  Start();
  LineClient client;
  Connect(client, 8192);
  client.WriteLine("close please");
  std::this_thread::sleep_for(100ms);  // the peer is slow to read
  for (int i = 0; i < lines; ++i) {
    ASSERT_EQ(client.ReadLine(), std::to_string(i) + std::string(1000, '.')) << "line " << i;
    // Sent while most of the lines still wait in the server's socket.
    if (i == 0) client.Write(std::string(GetParam().sentAfterClose, 'x'));
  }
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_FALSE(client.Reset());
  EXPECT_EQ(client.Buffered(), "");
  client.Close();  // the transport waits for the peer's end before it lets go
  EXPECT_TRUE(WaitForConnectionCount(0));
  EXPECT_EQ(FEvents.Log().size(), 1u) << testing::PrintToString(FEvents.Log());
}

INSTANTIATE_TEST_SUITE_P(Table, CloseAfterFlushTest,
                         testing::Values(FlushCase{"nothing_queued", 0, 0},
                                         FlushCase{"three_lines", 3, 0},
                                         FlushCase{"two_megabytes", 2000, 0},
                                         FlushCase{"peer_sends_after_close", 2000, 200000}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(AsioTransportTest, CloseAfterFlushGivesUpOnAPeerThatNeverReads) {
  AsioTransport::TOptions options;
  options.CloseTimeoutMs = 200;
  Start(options);
  LineClient client;
  const auto id = Connect(client, 4096);
  OnLoop([&] {
    for (int i = 0; i < 8000; ++i) FTransport->Send(id, std::string(1000, 'q'));
    FTransport->Close(id, ITransport::CloseMode::AfterFlush);
    return 0;
  });
  EXPECT_TRUE(WaitForConnectionCount(0, 2s));
}

// A budget of 100 lines a second with bursts of 10: 60 lines sent at once arrive 10 at once
// and the other 50 over half a second, whole and in order, while another peer is not held up.
TEST_F(AsioTransportTest, InputPastTheFloodBudgetIsHeldBackNotDropped) {
  AsioTransport::TOptions options;
  options.Flood = {.LinesPerSecond = 100, .LineBurst = 10, .BytesPerSecond = 0};
  Start(options);
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

class HeldLeaveTest : public AsioTransportTest,
                      public testing::WithParamInterface<HeldLeaveCase> {};

TEST_P(HeldLeaveTest, EndsTheHeldInputInOrder) {
  const auto& c = GetParam();
  AsioTransport::TOptions options;
  options.Flood = {.LinesPerSecond = 200, .LineBurst = 5, .BytesPerSecond = 0};
  if (!c.peerCloses) {
    FEvents.React = [this](ConnectionId id, std::string_view) {
      FTransport->Close(id, ITransport::CloseMode::Now);
    };
  }
  Start(options);
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

TEST_F(AsioTransportTest, PostFromAnotherThreadRunsOnTheLoopThread) {
  Start();
  const auto loopThread = OnLoop([] { return std::this_thread::get_id(); });
  std::promise<std::thread::id> ranOn;
  std::thread poster(
      [&] { FTransport->Post([&] { ranOn.set_value(std::this_thread::get_id()); }); });
  poster.join();
  auto result = ranOn.get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result.get(), loopThread);
}

TEST_F(AsioTransportTest, ExceptionsFromTheHandlerAreReportedAndServiceGoesOn) {
  FEvents.React = [this](ConnectionId id, std::string_view bytes) {
    if (bytes.starts_with("throw")) throw std::runtime_error("handler failed");
    FTransport->Send(id, "still here");
  };
  Start();
  LineClient client;
  Connect(client);
  client.WriteLine("throw");
  ASSERT_TRUE(FEvents.WaitForEntry("exception handler failed"));
  client.WriteLine("again");
  EXPECT_EQ(client.ReadLine(), "still here");
  FTransport->Post([] { throw 42; });
  EXPECT_TRUE(FEvents.WaitForEntry("exception unknown exception"));
}

TEST_F(AsioTransportTest, PingTimerTicksStopsAndRestartsWithoutDoubling) {
  AsioTransport::TOptions options;
  options.PingIntervalMs = 40;
  Start(options);
  OnLoop([this] {
    FTransport->StartPingTimer();
    FTransport->StopPingTimer();
    FTransport->StartPingTimer();
    FTransport->StartPingTimer();
  });
  std::this_thread::sleep_for(420ms);
  OnLoop([this] { FTransport->StopPingTimer(); });
  const auto ticks = FEvents.Count("tick");
  EXPECT_GE(ticks, 3);   // 10 due; a loaded machine may run late
  EXPECT_LE(ticks, 11);  // a second timer chain would give about 20
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(FEvents.Count("tick"), ticks);
}

TEST_F(AsioTransportTest, ListenFailuresAreExplained) {
  Start();
  asio::io_context otherIo;
  RecordingEvents otherEvents;
  struct Case {
    const char* label;
    std::string bindAddress;
    std::uint16_t port;
    const char* message;
  };
  for (const auto& c : {Case{"port_in_use", "127.0.0.1", FPort, "Cannot listen on 127.0.0.1:"},
                        Case{"bad_address", "not-an-address", 0, "Invalid bind address"}}) {
    AsioTransport::TOptions options;
    options.BindAddress = c.bindAddress;
    AsioTransport other(otherIo, options);
    other.SetEvents(&otherEvents);
    std::string error;
    EXPECT_FALSE(other.Listen(c.port, error)) << c.label;
    EXPECT_THAT(error, HasSubstr(c.message)) << c.label;
    EXPECT_EQ(other.ListenAddress(), "") << c.label;
  }
  std::string error;
  EXPECT_FALSE(FTransport->Listen(0, error));
  EXPECT_THAT(error, HasSubstr("Already listening"));
}

}  // namespace
}  // namespace zorva
