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

 private:
  void Record(std::string entry) {
    {
      std::lock_guard lock(FMutex);
      FLog.push_back(std::move(entry));
    }
    FChanged.notify_all();
  }

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
    FTransport->SetExceptionReporter([this](const std::exception& e) {
      std::lock_guard lock(FExceptionsMutex);
      FExceptions.emplace_back(e.what());
    });
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

  std::vector<std::string> Connects() {
    std::vector<std::string> connects;
    for (const auto& entry : FEvents.Log()) {
      if (entry.starts_with("connect ")) connects.push_back(entry);
    }
    return connects;
  }

  std::vector<std::string> Exceptions() {
    std::lock_guard lock(FExceptionsMutex);
    return FExceptions;
  }

  asio::io_context FIo;
  asio::executor_work_guard<asio::io_context::executor_type> FWork{FIo.get_executor()};
  RecordingEvents FEvents;
  std::unique_ptr<AsioTransport> FTransport;
  std::thread FLoop;
  std::uint16_t FPort = 0;
  std::mutex FExceptionsMutex;
  std::vector<std::string> FExceptions;
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
  Start();
  FEvents.React = [this](ConnectionId id, std::string_view) {
    for (int i = 0; i < 100; ++i) FTransport->Send(id, "SEND|x|CHAT|" + std::to_string(i));
  };
  LineClient client;
  Connect(client);
  const auto writesBefore = OnLoop([this] { return FTransport->WriteCount(); });
  client.WriteLine("go");
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(client.ReadLine(), "SEND|x|CHAT|" + std::to_string(i));
  }
  EXPECT_EQ(OnLoop([this] { return FTransport->WriteCount(); }) - writesBefore, 1u);
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

}  // namespace
}  // namespace zorva
