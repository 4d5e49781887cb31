// QtTransport: the server's sockets and ping timer on the Qt event loop, so that the operator
// window and the server share the one user-interface thread. The window program plugs it into
// the server core; the GUI and end-to-end tests drive it over loopback.
//
//   QtTransport transport(limits);         // TTransportLimits, shared with the daemon
//   transport.SetEvents(&core);            // the core is fed every connection event
//   transport.Listen(4000, error);
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "FloodBudget.h"
#include "PeerResetProbe.h"
#include "ServerInterfaces.h"
#include "TransportLimits.h"

class QTcpSocket;

namespace zorva {

class QtTransport : public QObject, public ITransport {
  Q_OBJECT

 public:
  explicit QtTransport(const TTransportLimits& limits = {}, QObject* parent = nullptr);
  ~QtTransport() override;

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

 private:
  struct TConnection {
    TConnection(QTcpSocket* socket, const FloodBudget& budget);

    QTcpSocket* Socket = nullptr;
    PeerResetProbe ResetProbe;
    FloodBudget Budget;
    // Past its output cap: takes no more output; the error is reported from the event loop.
    bool Overflowed = false;
    // Read but not yet handed on: what the flood budget has not allowed so far.
    std::string Held;
    // Its input waits for a later turn (fairness or the flood budget); no read before then.
    bool ReadLater = false;
  };

  void AcceptPending();
  void Accept(QTcpSocket* socket);
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
  // Stops reporting the connection; the socket stays alive for the caller to finish.
  QTcpSocket* Forget(ConnectionId id);
  void CloseAfterFlush(QTcpSocket* socket);

  IConnectionEvents* FEvents = nullptr;
  QTcpServer FServer;
  QTimer FPingTimer;
  QHostAddress FBindAddress{QHostAddress::AnyIPv4};
  TTransportLimits FLimits;
  std::unordered_map<ConnectionId, TConnection> FConnections;
  std::unordered_set<ConnectionId> FQueued;
};

}  // namespace zorva
