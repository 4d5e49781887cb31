// Helpers for the console's Qt tests: one application object for the whole test program and a
// bounded wait that keeps the event loop turning.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <functional>

namespace zorva::test {

inline void EnsureApplication() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "console_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // lives as long as the test program
}

// Turns the event loop until `done` holds or `timeoutMs` passes; returns `done()`.
inline bool SpinUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

// Turns the event loop for `ms` so that things that must not happen get their chance.
inline void Spin(int ms) {
  SpinUntil([] { return false; }, ms);
}

// A loopback client that collects what the server sends.
struct TTestClient {
  QTcpSocket Socket;
  QByteArray Received;
  bool Closed = false;

  explicit TTestClient(quint16 port) {
    QObject::connect(&Socket, &QTcpSocket::readyRead, [this] { Received += Socket.readAll(); });
    QObject::connect(&Socket, &QTcpSocket::disconnected, [this] { Closed = true; });
    Socket.connectToHost(QHostAddress::LocalHost, port);
  }
  bool WaitConnected() {
    return SpinUntil([this] { return Socket.state() == QAbstractSocket::ConnectedState; });
  }
  void Write(const QByteArray& bytes) {
    Socket.write(bytes);
    Socket.flush();
  }
};

}  // namespace zorva::test
