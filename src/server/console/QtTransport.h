// QtTransport: the server's sockets and ping timer on the Qt event loop, so that the operator
// window and the server share the one user-interface thread. The window program plugs it into
// the server core; the GUI and end-to-end tests drive it over loopback.
//
//   QtTransport transport(limits);         // TTransportLimits, shared with the daemon
//   transport.SetEvents(&core);            // the core is fed every connection event
//   transport.Listen(4000, error);
//
// With SetTls a second listener serves the same connections inside TLS: the core sees them from
// the moment they connect (so that its per-address limits count them), reads and writes their
// plain text, and hears of a handshake that fails or does not finish in time as the
// connection's error; nothing is ever sent before the handshake is done.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "FloodBudget.h"
#include "KeptDescriptor.h"
#include "ServerInterfaces.h"
#include "TransportLimits.h"

class QSslSocket;
class QTcpSocket;

namespace zorva {

class QtTransport : public QObject, public ITransport {
  Q_OBJECT

 public:
  struct TTlsListener {
    std::uint16_t Port = 0;  // 0 = any free port
    QSslConfiguration Configuration;
    bool PlainToo = true;  // the plain port listens as well
    std::uint32_t HandshakeTimeoutMs = kTlsHandshakeTimeoutMs;
  };

  explicit QtTransport(const TTransportLimits& limits = {}, QObject* parent = nullptr);
  ~QtTransport() override;

  // Takes effect at the next Listen.
  void SetTls(TTlsListener tls);
  bool TlsEnabled() const { return FTls.has_value(); }
  // The TLS listener's port and "a.b.c.d:port"; 0 and empty while it is not listening.
  std::uint16_t TlsListenPort() const;
  std::string TlsListenAddress() const;
  // Handshakes that failed or did not finish in time, since construction.
  std::uint64_t TlsHandshakeFailures() const { return FTlsHandshakeFailures; }

  // Receives every event; nothing is reported while unset.
  void SetEvents(IConnectionEvents* events) { FEvents = events; }
  // Takes effect at the next Listen; false when `address` is not an IP address.
  bool SetBindAddress(const QString& address);
  std::size_t ConnectionCount() const { return FConnections.size(); }

  bool Listen(std::uint16_t port, std::string& error) override;
  void StopListening() override;
  std::string ListenAddress() const override;
  void StartPingTimer() override;
  void StopPingTimer() override;
  void Send(ConnectionId id, std::string_view line) override;
  void Close(ConnectionId id, CloseMode mode) override;
  void Post(std::function<void()> task) override;
  bool IsEncrypted(ConnectionId id) const override;

 private:
  struct TConnection {
    TConnection(QTcpSocket* socket, const FloodBudget& budget);

    QTcpSocket* Socket = nullptr;
    KeptDescriptor Kept;
    FloodBudget Budget;
    // Past its output cap: takes no more output; the error is reported from the event loop.
    bool Overflowed = false;
    // Read but not yet handed on: what the flood budget has not allowed so far.
    std::string Held;
    // Its input waits for a later turn (fairness or the flood budget); no read before then.
    bool ReadLater = false;
    // Came in on the TLS listener; its bytes count only once the handshake is done.
    bool Tls = false;
  };

  void AcceptPending();
  void Accept(ConnectionId id, QTcpSocket* socket, bool tls);
  void AcceptTls(qintptr descriptor);
  void EndHandshakeIfStalled(ConnectionId id);
  void FailHandshake(ConnectionId id, int code, const std::string& reason);
  void ReadFrom(ConnectionId id);
  // Hands on one batch of the connection's input; false when it has no more for this turn.
  bool HandOnBatch(ConnectionId id);
  void ReadAgainIn(ConnectionId id, int milliseconds);
  void HandOnEverything(ConnectionId id);
  // Gives the kernel what was queued, so that the cap counts only what it refused.
  void FlushQueued();
  void PeerClosed(ConnectionId id);
  void SocketFailed(ConnectionId id);
  void ReportOverflow(ConnectionId id);
  // Closes the connection at once and reports the error.
  void Drop(ConnectionId id, int code, const std::string& reason);
  // Stops reporting the connection; the socket stays alive for the caller to finish.
  QTcpSocket* Forget(ConnectionId id);
  void CloseAfterFlush(QTcpSocket* socket);
  void CloseTlsAfterFlush(QSslSocket* socket);
  bool Open(QTcpServer& server, std::uint16_t port, std::string& error);

  IConnectionEvents* FEvents = nullptr;
  QTcpServer FServer;
  // Qt's own TLS server shows a connection only once its client has spoken, and drops one that
  // does not speak TLS unseen: the core would not count it, nor the operator see it fail.
  class TlsServer : public QTcpServer {
   public:
    std::function<void(qintptr)> OnDescriptor;

   protected:
    void incomingConnection(qintptr descriptor) override { OnDescriptor(descriptor); }
  };

  TlsServer FSecureServer;
  std::optional<TTlsListener> FTls;
  std::uint64_t FTlsHandshakeFailures = 0;
  QTimer FPingTimer;
  QHostAddress FBindAddress{QHostAddress::AnyIPv4};
  TTransportLimits FLimits;
  std::unordered_map<ConnectionId, TConnection> FConnections;
  std::unordered_set<ConnectionId> FQueued;
};

}  // namespace zorva
