// EventRecorder: an IConnectionEvents that writes down what a transport reports, from the
// transport's thread, for the test thread to wait on. Entries read "connect ID REMOTE LOCAL",
// "disconnect ID", "error ID CODE REASON" and "tick"; input is kept per connection.
//
//   test::EventRecorder events;
//   events.React = [&](ConnectionId id, std::string_view) { transport.Send(id, "hi"); };
//   ASSERT_TRUE(events.WaitForEntry("disconnect 1"));
//
// `React` and `Tick` answer on the transport's thread, as the core would; set them before the
// transport starts or from its thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ServerInterfaces.h"

namespace zorva::test {

class EventRecorder : public IConnectionEvents {
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
  // Entries that start with `prefix`, in order.
  std::vector<std::string> Entries(std::string_view prefix) {
    std::lock_guard lock(FMutex);
    std::vector<std::string> found;
    for (const auto& entry : FLog) {
      if (entry.starts_with(prefix)) found.push_back(entry);
    }
    return found;
  }
  // Waits until `done` holds, re-checking after every event; false at the timeout.
  bool WaitFor(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [&] {
      lock.unlock();
      const bool result = done();
      lock.lock();
      return result;
    });
  }
  bool WaitForEntry(const std::string& entry,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
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

}  // namespace zorva::test
