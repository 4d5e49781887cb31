#include "QtTransport.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
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

// Unsent output: on a TLS connection both the text not yet sealed and the sealed records.
qint64 Unsent(const QTcpSocket& socket) {
  const auto* secure = qobject_cast<const QSslSocket*>(&socket);
  return socket.bytesToWrite() + (secure ? secure->encryptedBytesToWrite() : 0);
}

std::string ServerAddress(const QTcpServer& server) {
  if (!server.isListening()) return {};
  return FormatEndpoint(DottedAddress(server.serverAddress()), server.serverPort());
}

void CloseDescriptor(qintptr descriptor) {
#ifdef _WIN32
  ::closesocket(static_cast<SOCKET>(descriptor));
#else
  ::close(static_cast<int>(descriptor));
#endif
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
    : Socket(socket), Kept(socket->socketDescriptor()), Budget(budget) {}

QtTransport::QtTransport(const TTransportLimits& limits, QObject* parent)
    : QObject(parent), FLimits(limits) {
  FPingTimer.setInterval(TimerInterval(FLimits.PingIntervalMs));
  connect(&FServer, &QTcpServer::newConnection, this, &QtTransport::AcceptPending);
  FSecureServer.OnDescriptor = [this](qintptr descriptor) { AcceptTls(descriptor); };
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

void QtTransport::SetTls(TTlsListener tls) {
  FTls = std::move(tls);
}

std::uint16_t QtTransport::TlsListenPort() const {
  return FSecureServer.isListening() ? FSecureServer.serverPort() : 0;
}

std::string QtTransport::TlsListenAddress() const {
  return ServerAddress(FSecureServer);
}

bool QtTransport::Listen(std::uint16_t port, std::string& error) {
  StopListening();
  if ((!FTls || FTls->PlainToo) && !Open(FServer, port, error)) return false;
  if (FTls && !Open(FSecureServer, FTls->Port, error)) {
    FServer.close();
    return false;
  }
  return true;
}

bool QtTransport::Open(QTcpServer& server, std::uint16_t port, std::string& error) {
  if (server.listen(FBindAddress, port)) return true;
  error = server.errorString().toStdString() + " (" +
          FormatEndpoint(DottedAddress(FBindAddress), port) + ")";
  return false;
}

void QtTransport::StopListening() {
  FServer.close();
  FSecureServer.close();
}

// The plain listener's address, or the TLS listener's when there is no plain one.
std::string QtTransport::ListenAddress() const {
  return FServer.isListening() ? ServerAddress(FServer) : ServerAddress(FSecureServer);
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
    return static_cast<std::size_t>(Unsent(*socket)) + line.size() + 1 <= FLimits.MaxOutput;
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

bool QtTransport::IsEncrypted(ConnectionId id) const {
  const auto found = FConnections.find(id);
  return found != FConnections.end() && found->second.Tls;
}

void QtTransport::AcceptPending() {
  while (QTcpSocket* socket = FServer.nextPendingConnection())
    Accept(NextConnectionId(), socket, false);
}

void QtTransport::AcceptTls(qintptr descriptor) {
  auto* socket = new QSslSocket;
  if (!socket->setSocketDescriptor(descriptor)) {
    delete socket;
    CloseDescriptor(descriptor);
    return;
  }
  socket->setSslConfiguration(FTls->Configuration);
  const ConnectionId id = NextConnectionId();
  QTimer::singleShot(TimerInterval(FTls->HandshakeTimeoutMs), socket,
                     [this, id] { EndHandshakeIfStalled(id); });
  Accept(id, socket, true);
}

void QtTransport::Accept(ConnectionId id, QTcpSocket* socket, bool tls) {
  socket->setParent(nullptr);
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  socket->setReadBufferSize(kReadAhead);
  FConnections.try_emplace(id, socket, FloodBudget(FLimits.Flood, std::chrono::steady_clock::now()))
      .first->second.Tls = tls;
  connect(socket, &QTcpSocket::readyRead, this, [this, id] { ReadFrom(id); });
  connect(socket, &QTcpSocket::disconnected, this, [this, id] { PeerClosed(id); });
  connect(socket, &QAbstractSocket::errorOccurred, this, [this, id] { SocketFailed(id); });
  if (tls) static_cast<QSslSocket*>(socket)->startServerEncryption();
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
  const bool reset = found->second.Kept.PeerWasReset();
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
  const std::string reason = socket->errorString().toStdString();
  if (found->second.Tls && !static_cast<QSslSocket*>(socket)->isEncrypted())
    return FailHandshake(id, EPROTO, "TLS handshake failed: " + reason);
  Drop(id, ErrorNumber(socket->error()), reason);
}

void QtTransport::EndHandshakeIfStalled(ConnectionId id) {
  const auto found = FConnections.find(id);
  if (found == FConnections.end() || static_cast<QSslSocket*>(found->second.Socket)->isEncrypted())
    return;
  FailHandshake(id, ETIMEDOUT, "TLS handshake not finished in time");
}

// Counted, and told to the core as the connection's error: what the core queued for a peer
// that never finished its handshake is never sent.
void QtTransport::FailHandshake(ConnectionId id, int code, const std::string& reason) {
  ++FTlsHandshakeFailures;
  Drop(id, code, reason);
}

void QtTransport::ReportOverflow(ConnectionId id) {
  Drop(id, kSlowReaderCode, std::string(kSlowReaderReason));
}

void QtTransport::Drop(ConnectionId id, int code, const std::string& reason) {
  QTcpSocket* socket = Forget(id);
  if (!socket) return;
  socket->abort();
  socket->deleteLater();
  if (FEvents) FEvents->OnClientError(id, code, reason);
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
  if (auto* secure = qobject_cast<QSslSocket*>(socket)) return CloseTlsAfterFlush(secure);
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

// A TLS session ends with the peer told so, which only Qt's disconnectFromHost sends, and it
// closes the descriptor once that is written: with the peer's input unread, a reset. A second
// descriptor keeps the connection open past that, and the plain path's close finishes it.
void QtTransport::CloseTlsAfterFlush(QSslSocket* socket) {
  auto kept = std::make_shared<KeptDescriptor>(socket->socketDescriptor());
  const auto finish = [this, socket] {
    socket->disconnect(this);  // no second linger on the kept descriptor
    socket->abort();
    socket->deleteLater();
  };
  connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
  connect(socket, &QTcpSocket::disconnected, this, [this, socket, kept] {
    socket->deleteLater();
    auto* rest = new QTcpSocket;
    if (rest->setSocketDescriptor(kept->Release())) return CloseAfterFlush(rest);
    delete rest;
  });
  connect(socket, &QAbstractSocket::errorOccurred, socket, finish);
  QTimer::singleShot(TimerInterval(FLimits.CloseTimeoutMs), socket, finish);
  socket->disconnectFromHost();
}

}  // namespace zorva
