// Fakes and a fixture for driving ServerCore through its event interface: a transport that
// records every line and close, a clock the test moves, and helpers that read as transcripts.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ServerCore.h"
#include "ZorvaProtocol.h"

namespace zorva::testing {

class FakeClock : public IClock {
 public:
  std::uint64_t NowMs() const override { return Ms; }
  TDateTime Today() const override { return Date; }

  std::uint64_t Ms = 1'000'000;
  TDateTime Date = EncodeDate(2024, 5, 17);
};

class FakeTransport : public ITransport {
 public:
  struct TSent {
    ConnectionId Id;
    std::string Line;
  };

  bool Listen(std::uint16_t port, std::string& error) override {
    if (FailListen) {
      error = "Address already in use";
      return false;
    }
    ListenedPort = port;
    Listening = true;
    return true;
  }
  void StopListening() override { Listening = false; }
  std::string ListenAddress() const override { return "127.0.0.1:4000"; }
  void StartPingTimer() override { TimerOn = true; }
  void StopPingTimer() override { TimerOn = false; }
  void Send(ConnectionId id, std::string_view line) override {
    EXPECT_FALSE(Closed.contains(id)) << "sent after close: " << line;
    Sent.push_back({id, std::string(line)});
  }
  void Close(ConnectionId id, CloseMode mode) override {
    EXPECT_FALSE(Closed.contains(id)) << "closed twice: " << id;
    Closed[id] = mode;
  }
  void Post(std::function<void()> task) override { task(); }

  bool FailListen = false;
  bool Listening = false;
  bool TimerOn = false;
  std::uint16_t ListenedPort = 0;
  std::vector<TSent> Sent;
  std::map<ConnectionId, CloseMode> Closed;
};

// Records what the core tells the window.
class RecordingObserver : public IServerObserver {
 public:
  void TraceIncoming(std::string_view text) override { Incoming.emplace_back(text); }
  void TraceOutgoing(std::string_view text) override { Outgoing.emplace_back(text); }
  void ExceptionLine(std::string_view text, bool alarm) override {
    Exceptions.emplace_back(text);
    EXPECT_TRUE(alarm);
  }

  std::vector<std::string> Incoming;
  std::vector<std::string> Outgoing;
  std::vector<std::string> Exceptions;
};

using Lines = std::vector<std::string>;

class CoreTest : public ::testing::Test {
 protected:
  explicit CoreTest(TServerHooks& hooks) : Core(Transport, Clock, hooks) {}
  CoreTest() : CoreTest(BaseHooks) {}

  void SetUp() override {
    Core.SetObserver(&Observer);
    std::string error;
    ASSERT_TRUE(Core.Start(error)) << error;
  }

  ConnectionId Connect(std::string remote = "") {
    const auto id = NextId++;
    if (remote.empty()) remote = "10.0.0." + std::to_string(id);
    Core.OnClientConnect(id, remote, "192.168.1.1");
    return id;
  }
  // Feeds one chunk as received, line feeds included.
  void Read(ConnectionId id, std::string_view bytes) { Core.OnClientRead(id, bytes); }
  // Feeds one line and its line feed.
  void Say(ConnectionId id, std::string_view line) { Read(id, std::string(line) + "\n"); }

  // Lines sent to one connection since the last Take of it.
  Lines Take(ConnectionId id) {
    Lines lines;
    auto& from = Taken[id];
    for (; from < Transport.Sent.size(); ++from) {
      if (Transport.Sent[from].Id == id) lines.push_back(Transport.Sent[from].Line);
    }
    return lines;
  }
  // Every line sent since the last TakeAll or Forget, as "id> line", in sending order; Take
  // does not see them again.
  Lines TakeAll() {
    Lines lines;
    for (std::size_t i = AllTaken; i < Transport.Sent.size(); ++i) {
      const auto& sent = Transport.Sent[i];
      lines.push_back(Line(sent.Id, sent.Line));
    }
    Forget();
    return lines;
  }
  // One line of a TakeAll transcript.
  static std::string Line(ConnectionId id, const std::string& text) {
    return std::to_string(id) + "> " + text;
  }
  void Forget() {
    AllTaken = Transport.Sent.size();
    for (ConnectionId id = 1; id < NextId; ++id) Taken[id] = AllTaken;
  }

  // What a base-hooks login makes of an id: no password, dated today, count 1.
  std::string Wire(const std::string& id) const {
    TZorvaUser user;
    user.SetId(id);
    user.SetLastLoginDate(Clock.Date);
    user.SetLoginCount(1);
    return user.toWireString();
  }

  // Connects and logs in; forgets the lines so far.
  ConnectionId LoggedIn(const std::string& id, const std::string& code = "Game") {
    const auto conn = Connect();
    Say(conn, "LOGIN|" + id + "|" + code + "|pw");
    EXPECT_TRUE(Core.FindGuest(conn)->LoggedIn()) << id;
    Forget();
    return conn;
  }

  TServerHooks BaseHooks;
  FakeClock Clock;
  FakeTransport Transport;
  RecordingObserver Observer;
  ServerCore Core;
  ConnectionId NextId = 1;
  std::map<ConnectionId, std::size_t> Taken;
  std::size_t AllTaken = 0;
};

}  // namespace zorva::testing
