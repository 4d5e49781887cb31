#include "ClusterTicker.h"

#include <utility>

namespace zorva {

ClusterTicker::ClusterTicker(asio::io_context& io, std::chrono::milliseconds period,
                             std::function<void()> task)
    : FTimer(io), FPeriod(period), FTask(std::move(task)) {}

void ClusterTicker::Start() {
  if (FRunning) return;
  FRunning = true;
  Run();
}

void ClusterTicker::Stop() {
  FRunning = false;
  FTimer.cancel();
}

void ClusterTicker::Run() {
  FTask();
  FTimer.expires_after(FPeriod);
  FTimer.async_wait([this](const std::error_code& ec) {
    if (!ec && FRunning) Run();
  });
}

}  // namespace zorva
