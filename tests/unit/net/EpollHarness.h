// EpollHarness: the epoll transport on an io_context run by a thread of its own, as in the
// daemon, for the transport contract and the epoll transport's own tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "EpollTransport.h"

namespace zorva::test {

class EpollHarness {
 public:
  // Taken at Start.
  SendBatch::TMode Sends = SendBatch::TMode::Ring;
  EpollTransport::TExceptionReporter ReportException;
  std::optional<EpollTransport::TTlsListener> Tls;
  std::optional<EpollTransport::TWebSocketListener> WebSocket;

  ~EpollHarness() { Stop(); }

  bool EnableTls(const std::string& certFile, const std::string& keyFile,
                 std::uint32_t handshakeTimeoutMs, std::string& error) {
    auto context = TlsContext::Load({certFile, keyFile, ""}, error);
    if (!context) return false;
    Tls = EpollTransport::TTlsListener{
        .Port = 0, .Context = std::move(context), .HandshakeTimeoutMs = handshakeTimeoutMs};
    return true;
  }

  bool Start(const std::string& bindAddress, const TTransportLimits& limits,
             IConnectionEvents& events, std::string& error) {
    FTransport =
        std::make_unique<EpollTransport>(FIo, EpollTransport::TOptions{.BindAddress = bindAddress,
                                                                       .Limits = limits,
                                                                       .Sends = Sends,
                                                                       .Tls = Tls,
                                                                       .WebSocket = WebSocket});
    FTransport->SetEvents(&events);
    FTransport->SetExceptionReporter(ReportException);
    if (!FTransport->Listen(0, error)) return false;
    FLoop = std::thread([this] { FIo.run(); });
    return true;
  }

  // A loop that stops answering is a hung transport: waiting on would hang the test run.
  void RunOnLoop(const std::function<void()>& task) {
    std::promise<void> done;
    asio::post(FIo, [&] {
      task();
      done.set_value();
    });
    if (done.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready)
      std::abort();
  }

  EpollTransport& Transport() { return *FTransport; }
  std::size_t ConnectionCount() { return FTransport->ConnectionCount(); }

  void Stop() {
    if (FLoop.joinable()) {
      RunOnLoop([this] {
        FTransport->StopPingTimer();
        FTransport->StopListening();
        FTransport->CloseAll();
      });
      FWork.reset();
      FIo.stop();
      FLoop.join();
    }
    FTransport.reset();
  }

 private:
  asio::io_context FIo;
  asio::executor_work_guard<asio::io_context::executor_type> FWork{FIo.get_executor()};
  std::unique_ptr<EpollTransport> FTransport;
  std::thread FLoop;
};

}  // namespace zorva::test
