// A fixture for driving ServerCore through its event interface with the shared fakes, and
// helpers that read as transcripts. Like an event loop, it runs what the core posted (login
// answers) after each event it feeds.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "FakeTransport.h"
#include "RecordingObserver.h"
#include "ServerCore.h"
#include "ZorvaProtocol.h"

namespace zorva::testing {

using test::FakeClock;
using test::FakeTransport;
using test::RecordingObserver;

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
  void Read(ConnectionId id, std::string_view bytes) {
    Core.OnClientRead(id, bytes);
    Transport.RunPosted();
  }
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
