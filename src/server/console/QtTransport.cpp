#include "QtTransport.h"

#include <QTcpSocket>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include "Endpoint.h"

namespace zorva {

namespace {

ConnectionId NextConnectionId() {
  static std::atomic<ConnectionId> next{1};
  return next++;
}

// The operator reads socket errors as numbers; Qt hides the system's, so name the nearest.
int ErrorNumber(QAbstractSocket::SocketError error) {
  switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
      return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
      return ECONNRESET;
    case QAbstractSocket::SocketTimeoutError:
      return ETIMEDOUT;
    case QAbstractSocket::SocketResourceError:
      return ENOBUFS;
    case QAbstractSocket::NetworkError:
      return ENETDOWN;
    default:
      return EIO;
  }
}

// IPv4 peers of a dual-stack socket show as "::ffff:a.b.c.d"; the operator wants "a.b.c.d".
std::string DottedAddress(const QHostAddress& address) {
  bool isIPv4 = false;
  const quint32 ipv4 = address.toIPv4Address(&isIPv4);
  if (isIPv4) return QHostAddress(ipv4).toString().toStdString();
  return address.toString().toStdString();
}

void ShutWriteSide(qintptr descriptor) {
  if (descriptor < 0) return;
#ifdef _WIN32
  ::shutdown(static_cast<SOCKET>(descriptor), SD_SEND);
#else
  ::shutdown(static_cast<int>(descriptor), SHUT_WR);
#endif
}

// Input is handed on a batch at a time with the output flushed in between, so that a burst
// relayed to other members reaches their sockets while it arrives: only a member that really
// stops reading fills its queue. A few batches per turn keep one sender from holding the rest.
constexpr qint64 kReadBatch = 64 * 1024;
constexpr int kBatchesPerTurn = 4;
// What Qt may read ahead of us; past it the peer's own sends slow down.
constexpr qint64 kReadAhead = 4 * kReadBatch;

// Qt's timers count in int.
int TimerInterval(std::uint32_t milliseconds) {
  return static_cast<int>(std::min<std::uint32_t>(milliseconds, std::numeric_limits<int>::max()));
}

}  // namespace

QtTransport::TConnection::TConnection(QTcpSocket* socket, const FloodBudget& budget)
    : Socket(socket), ResetProbe(socket->socketDescriptor()), Budget(budget) {}

QtTransport::QtTransport(const TTransportLimits& limits, QObject* parent)
    : QObject(parent), FLimits(limits) {
  FPingTimer.setInterval(TimerInterval(FLimits.PingIntervalMs));
  connect(&FServer, &QTcpServer::newConnection, this, &QtTransport::AcceptPending);
  connect(&FPingTimer, &QTimer::timeout, this, [this] {
    if (FEvents) FEvents->OnPingTimer();
  });
}

QtTransport::~QtTransport() {
  for (auto& [id, connection] : FConnections) {
    connection.Socket->disconnect(this);
    connection.Socket->abort();
    delete connection.Socket;
  }
}

bool QtTransport::SetBindAddress(const QString& address) {
  QHostAddress parsed;
  if (!parsed.setAddress(address)) return false;
  FBindAddress = parsed;
  return true;
}

bool QtTransport::Listen(std::uint16_t port, std::string& error) {
  if (FServer.isListening()) FServer.close();
  if (FServer.listen(FBindAddress, port)) return true;
  error = FServer.errorString().toStdString() + " (" +
          FormatEndpoint(DottedAddress(FBindAddress), port) + ")";
  return false;
}

void QtTransport::StopListening() {
  FServer.close();
}

std::string QtTransport::ListenAddress() const {
  if (!FServer.isListening()) return {};
  return FormatEndpoint(DottedAddress(FServer.serverAddress()), FServer.serverPort());
}

void QtTransport::StartPingTimer() {
  FPingTimer.start();
}

void QtTransport::StopPingTimer() {
  FPingTimer.stop();
}

void QtTransport::Send(ConnectionId id, std::string_view line) {
  const auto found = FConnections.find(id);
  if (found == FConnections.end() || found->second.Overflowed) return;
  QTcpSocket* socket = found->second.Socket;
  const auto fits = [&] {
    return static_cast<std::size_t>(socket->bytesToWrite()) + line.size() + 1 <= FLimits.MaxOutput;
  };
  // Only what the kernel would not take counts against the cap.
  if (!fits()) socket->flush();
  if (!fits()) {
    // Reporting now would re-enter the core in the middle of its send.
    found->second.Overflowed = true;
    QMetaObject::invokeMethod(
        this, [this, id] { ReportOverflow(id); }, Qt::QueuedConnection);
    return;
  }
  socket->write(line.data(), static_cast<qint64>(line.size()));
  socket->putChar('\n');
  FQueued.insert(id);
}

void QtTransport::Close(ConnectionId id, CloseMode mode) {
  QTcpSocket* socket = Forget(id);
  if (!socket) return;
  if (mode == CloseMode::AfterFlush) {
    CloseAfterFlush(socket);
    return;
  }
  socket->abort();
  socket->deleteLater();
}

void QtTransport::Post(std::function<void()> task) {
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void QtTransport::AcceptPending() {
  while (QTcpSocket* socket = FServer.nextPendingConnection()) Accept(socket);
}

void QtTransport::Accept(QTcpSocket* socket) {
  const ConnectionId id = NextConnectionId();
  socket->setParent(nullptr);
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  socket->setReadBufferSize(kReadAhead);
  FConnections.try_emplace(id, socket,
                           FloodBudget(FLimits.Flood, std::chrono::steady_clock::now()));
  connect(socket, &QTcpSocket::readyRead, this, [this, id] { ReadFrom(id); });
  connect(socket, &QTcpSocket::disconnected, this, [this, id] { PeerClosed(id); });
  connect(socket, &QAbstractSocket::errorOccurred, this, [this, id] { SocketFailed(id); });
  if (!FEvents) return;
  FEvents->OnClientConnect(id, DottedAddress(socket->peerAddress()),
                           DottedAddress(socket->localAddress()));
}

void QtTransport::ReadFrom(ConnectionId id) {
  for (int batch = 0; batch < kBatchesPerTurn; ++batch)
    if (!HandOnBatch(id)) return;
  ReadAgainIn(id, 0);
}

bool QtTransport::HandOnBatch(ConnectionId id) {
  const auto found = FConnections.find(id);
  if (found == FConnections.end() || found->second.ReadLater) return false;
  TConnection& connection = found->second;
  if (connection.Held.empty()) {
    const QByteArray read = connection.Socket->read(kReadBatch);
    connection.Held.assign(read.constData(), static_cast<std::size_t>(read.size()));
  }
  if (connection.Held.empty()) return false;
  const std::size_t allowed =
      FLimits.Flood.Any()
          ? connection.Budget.Take(FLimits.Flood, connection.Held, std::chrono::steady_clock::now())
          : connection.Held.size();
  const std::string batch = connection.Held.substr(0, allowed);
  connection.Held.erase(0, allowed);
  const bool throttled = !connection.Held.empty();
  if (throttled) {
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(connection.Budget.TimeToRefill(FLimits.Flood));
    ReadAgainIn(id, std::max<int>(1, static_cast<int>(wait.count())));
  }
  if (!batch.empty() && FEvents) FEvents->OnClientRead(id, batch);
  FlushQueued();
  return !throttled;
}

void QtTransport::ReadAgainIn(ConnectionId id, int milliseconds) {
  const auto found = FConnections.find(id);
  if (found == FConnections.end() || found->second.ReadLater) return;
  found->second.ReadLater = true;
  QTimer::singleShot(milliseconds, found->second.Socket, [this, id] {
    const auto again = FConnections.find(id);
    if (again == FConnections.end()) return;
    again->second.ReadLater = false;
    ReadFrom(id);
  });
}

// The peer has finished: whatever it sent is its last words, budget or not.
void QtTransport::HandOnEverything(ConnectionId id) {
  const auto found = FConnections.find(id);
  if (found == FConnections.end()) return;
  const QByteArray rest = found->second.Socket->readAll();
  std::string input = std::move(found->second.Held);
  input.append(rest.constData(), static_cast<std::size_t>(rest.size()));
  if (!input.empty() && FEvents) FEvents->OnClientRead(id, input);
}

void QtTransport::FlushQueued() {
  for (const ConnectionId id : std::exchange(FQueued, {})) {
    const auto found = FConnections.find(id);
    if (found != FConnections.end()) found->second.Socket->flush();
  }
}

void QtTransport::PeerClosed(ConnectionId id) {
  HandOnEverything(id);
  const auto found = FConnections.find(id);
  if (found == FConnections.end()) return;
  const bool reset = found->second.ResetProbe.WasReset();
  Forget(id)->deleteLater();
  if (!FEvents) return;
  if (!reset) return FEvents->OnClientDisconnect(id);
  FEvents->OnClientError(id, ECONNRESET, std::system_category().message(ECONNRESET));
}

void QtTransport::SocketFailed(ConnectionId id) {
  const auto found = FConnections.find(id);
  if (found == FConnections.end()) return;
  QTcpSocket* socket = found->second.Socket;
  // A hang-up is followed by `disconnected`, which reports it as such.
  if (socket->error() == QAbstractSocket::RemoteHostClosedError) return;
  const int code = ErrorNumber(socket->error());
  const std::string reason = socket->errorString().toStdString();
  Forget(id);
  socket->abort();
  socket->deleteLater();
  if (FEvents) FEvents->OnClientError(id, code, reason);
}

void QtTransport::ReportOverflow(ConnectionId id) {
  QTcpSocket* socket = Forget(id);
  if (!socket) return;
  socket->abort();
  socket->deleteLater();
  if (FEvents) FEvents->OnClientError(id, kSlowReaderCode, kSlowReaderReason);
}

QTcpSocket* QtTransport::Forget(ConnectionId id) {
  const auto found = FConnections.find(id);
  if (found == FConnections.end()) return nullptr;
  QTcpSocket* socket = found->second.Socket;
  FConnections.erase(found);
  socket->disconnect(this);
  return socket;
}

void QtTransport::CloseAfterFlush(QTcpSocket* socket) {
  // Closing with unread input makes the kernel answer with a reset, which can destroy our last
  // lines before the peer reads them. So: flush, shut the write side, discard what still
  // arrives and close when the peer hangs up, or after a linger at the latest.
  const auto finish = [socket] {
    socket->abort();
    socket->deleteLater();
  };
  const auto shutWhenFlushed = [socket] {
    if (socket->bytesToWrite() == 0) ShutWriteSide(socket->socketDescriptor());
  };
  connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
  connect(socket, &QTcpSocket::bytesWritten, socket, shutWhenFlushed);
  connect(socket, &QTcpSocket::disconnected, socket, finish);
  connect(socket, &QAbstractSocket::errorOccurred, socket, finish);
  QTimer::singleShot(TimerInterval(FLimits.CloseTimeoutMs), socket, finish);
  shutWhenFlushed();
}

}  // namespace zorva
