// FakeTransport: a transport without sockets that records every line and close, for tests that
// drive the server core (and, later, listeners) by hand. Post queues like a real event loop;
// RunPosted runs the queue on the test's thread once the event that posted has returned.
//
//   test::FakeTransport transport;
//   core.OnClientRead(1, "LOGIN|ann|Game|pw\n");
//   transport.RunPosted();  // the login answer arrives
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ServerInterfaces.h"

namespace zorva::test {

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
  std::size_t QueuedOutputBytes() const override { return QueuedBytes; }
  // Any thread may post, as with the real transports.
  void Post(std::function<void()> task) override {
    std::lock_guard lock(FPostedMutex);
    FPosted.push_back(std::move(task));
  }

  std::size_t PostedCount() {
    std::lock_guard lock(FPostedMutex);
    return FPosted.size();
  }
  // Runs what was posted, and what those tasks post in turn, until nothing is left.
  void RunPosted() {
    while (auto task = NextPosted()) task();
  }

  bool FailListen = false;
  bool Listening = false;
  bool TimerOn = false;
  std::uint16_t ListenedPort = 0;
  std::size_t QueuedBytes = 0;
  std::vector<TSent> Sent;
  std::map<ConnectionId, CloseMode> Closed;

 private:
  std::function<void()> NextPosted() {
    std::lock_guard lock(FPostedMutex);
    if (FPosted.empty()) return {};
    auto task = std::move(FPosted.front());
    FPosted.pop_front();
    return task;
  }

  std::mutex FPostedMutex;
  std::deque<std::function<void()>> FPosted;
};

}  // namespace zorva::test
