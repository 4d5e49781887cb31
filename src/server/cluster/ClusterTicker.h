// Runs a task every period on the daemon's io_context until stopped or destroyed: what keeps a
// node's heartbeat and reaping going (ClusterLink::Tick every HeartbeatMs / 2).
//
//   ClusterTicker ticker(io, std::chrono::milliseconds(2500), [&] { link.Tick(count()); });
//   ticker.Start();
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>

namespace zorva {

class ClusterTicker {
 public:
  ClusterTicker(asio::io_context& io, std::chrono::milliseconds period, std::function<void()> task);
  ~ClusterTicker() { Stop(); }
  ClusterTicker(const ClusterTicker&) = delete;
  ClusterTicker& operator=(const ClusterTicker&) = delete;

  // Runs the task at once, then every period.
  void Start();
  void Stop();

 private:
  void Run();

  asio::steady_timer FTimer;
  const std::chrono::milliseconds FPeriod;
  std::function<void()> FTask;
  bool FRunning = false;
};

}  // namespace zorva
