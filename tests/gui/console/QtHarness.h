// QtHarness: the Qt transport on a QThread's event loop, so that the test thread can play the
// peers with blocking clients, for the transport contract.
#pragma once

#include <openssl/crypto.h>

#include <QThread>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "QtTestSupport.h"
#include "QtTransport.h"
#include "ServerTlsConfiguration.h"

namespace zorva::test {

class QtHarness {
 public:
  QtHarness() {
    EnsureApplication();
    FContext->moveToThread(&FThread);
    FThread.start();
  }
  ~QtHarness() {
    Stop();
    FThread.quit();
    FThread.wait();
  }

  bool Start(const std::string& bindAddress, const TTransportLimits& limits,
             IConnectionEvents& events, std::string& error) {
    bool listening = false;
    RunOnLoop([&] {
      FTransport = std::make_unique<QtTransport>(limits);
      FTransport->SetEvents(&events);
      if (Tls) FTransport->SetTls(*Tls);
      if (!FTransport->SetBindAddress(QString::fromStdString(bindAddress))) {
        error = "not an address: " + bindAddress;
        return;
      }
      listening = FTransport->Listen(0, error);
    });
    return listening;
  }

  void RunOnLoop(const std::function<void()>& task) {
    QMetaObject::invokeMethod(FContext.get(), task, Qt::BlockingQueuedConnection);
  }

  QtTransport& Transport() { return *FTransport; }

  bool EnableTls(const std::string& certFile, const std::string& keyFile,
                 std::uint32_t handshakeTimeoutMs, std::string& error) {
    const auto configuration = LoadServerTlsConfiguration({certFile, keyFile, ""}, error);
    if (!configuration) return false;
    Tls = QtTransport::TTlsListener{
        .Port = 0, .Configuration = *configuration, .HandshakeTimeoutMs = handshakeTimeoutMs};
    return true;
  }
  std::size_t ConnectionCount() { return FTransport->ConnectionCount(); }

  // The transport was made on the loop thread and is destroyed there. OpenSSL's state for that
  // thread goes with it: left to the thread's exit, it may outlive the wait for the thread and be
  // reported as a leak by a process that ends at once.
  void Stop() {
    RunOnLoop([this] {
      FTransport.reset();
      OPENSSL_thread_stop();
    });
  }

 private:
  QThread FThread;
  std::unique_ptr<QObject> FContext = std::make_unique<QObject>();
  std::unique_ptr<QtTransport> FTransport;
  std::optional<QtTransport::TTlsListener> Tls;  // taken at Start
};

}  // namespace zorva::test
