#include "QtClientSocket.h"

#include <QApplication>
#include <QHostAddress>
#include <QMessageBox>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <exception>
#include <iostream>

namespace zorva {

namespace {

// A peer that stops reading must not keep a closed connection alive for ever.
constexpr int kCloseTimeoutMs = 5000;

}  // namespace

int ErrnoOfSocketError(int qtSocketError) {
  switch (static_cast<QAbstractSocket::SocketError>(qtSocketError)) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionRefusedError:
      return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::ProxyConnectionClosedError:
      return ECONNRESET;
    case QAbstractSocket::SocketAccessError:
      return EACCES;
    case QAbstractSocket::SocketResourceError:
      return EMFILE;
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
      return ETIMEDOUT;
    case QAbstractSocket::DatagramTooLargeError:
      return EMSGSIZE;
    case QAbstractSocket::NetworkError:
      return ENETDOWN;
    case QAbstractSocket::AddressInUseError:
      return EADDRINUSE;
    case QAbstractSocket::SocketAddressNotAvailableError:
      return EADDRNOTAVAIL;
    case QAbstractSocket::UnsupportedSocketOperationError:
      return EOPNOTSUPP;
    case QAbstractSocket::TemporaryError:
      return EAGAIN;
    default:
      return 0;
  }
}

std::unique_ptr<IClientSocket> CreateDefaultClientSocket() {
  return std::make_unique<QtClientSocket>();
}

QtClientSocket::QtClientSocket(QObject* parent) : QObject(parent) {}

QtClientSocket::~QtClientSocket() {
  FEvents = nullptr;
}

template <class Notify>
void QtClientSocket::Deliver(Notify&& notify) {
  if (!FEvents) return;
  try {
    notify(*FEvents);
  } catch (const std::exception& error) {
    qWarning("ZorvaComp: a connection event handler failed: %s", error.what());
  } catch (...) {
    qWarning("ZorvaComp: a connection event handler failed");
  }
}

void QtClientSocket::Connect(const std::string& host, bool numericAddress, std::int32_t port) {
  FReceived.clear();
  FUpPosted = false;
  if (FSocket) {
    FSocket->disconnect(this);
    FSocket->abort();
    FSocket->deleteLater();
    FSocket = nullptr;
    FUp = false;
  }
  if (port < 0 || port > 65535) {
    ReportLater(EINVAL, QStringLiteral("Port %1 is out of range").arg(port));
    return;
  }
  const auto hostText = QString::fromStdString(host);
  QHostAddress address;
  if (numericAddress && !address.setAddress(hostText)) {
    ReportLater(EINVAL, QStringLiteral("%1 is not a usable address").arg(hostText));
    return;
  }
  FSocket = MakeSocket();
  if (!FSocket) return;
  if (auto* secure = qobject_cast<QSslSocket*>(FSocket)) {
    // The host as typed is the name the certificate must hold, address or not.
    secure->connectToHostEncrypted(hostText, static_cast<quint16>(port));
  } else if (numericAddress) {
    FSocket->connectToHost(address, static_cast<quint16>(port));
  } else {
    FSocket->connectToHost(hostText, static_cast<quint16>(port));
  }
}

bool QtClientSocket::SetTls(const TClientTls& tls) {
  if (tls.Enabled && !QSslSocket::supportsSsl()) return false;
  FTls = tls;
  return true;
}

// Null, with the reason reported, when the TLS settings cannot be used.
QTcpSocket* QtClientSocket::MakeSocket() {
  if (!FTls.Enabled) {
    auto* socket = new QTcpSocket(this);
    Attach(socket);
    connect(socket, &QTcpSocket::connected, this, [this] { MarkUp(); });
    return socket;
  }
  auto config = QSslConfiguration::defaultConfiguration();
  config.setProtocol(QSsl::TlsV1_2OrLater);
  if (!FTls.CaFile.empty()) {
    const auto path = QString::fromStdString(FTls.CaFile);
    if (!config.addCaCertificates(path)) {
      ReportLater(ENOENT, QStringLiteral("%1: no PEM certificate could be read").arg(path));
      return nullptr;
    }
  }
  if (!FTls.VerifyPeer) config.setPeerVerifyMode(QSslSocket::VerifyNone);
  auto* socket = new QSslSocket(this);
  socket->setSslConfiguration(config);
  FTlsFailed = false;
  AttachTls(socket);
  return socket;
}

// Up once encrypted, not once connected: nothing is written before the handshake is done.
void QtClientSocket::AttachTls(QSslSocket* socket) {
  Attach(socket);
  // Told from a posted call: the handshake ends inside the layer's readyRead slot, where a
  // connect handler's nested loop would read nothing (see Receive).
  connect(socket, &QSslSocket::encrypted, this, [this] {
    FUpPosted = true;
    QMetaObject::invokeMethod(
        this, [this] { DeliverPostedUp(); }, Qt::QueuedConnection);
  });
  connect(socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
    QStringList reasons;
    for (const auto& error : errors) reasons << error.errorString();
    FTlsFailed = true;
    const auto text = QStringLiteral("TLS certificate refused: %1").arg(reasons.join("; "));
    Deliver([&](auto& events) { events.MyOnError(EPROTO, text.toStdString()); });
  });
}

void QtClientSocket::MarkUp() {
  FUp = true;
  Deliver([](auto& events) { events.MyOnConnect(); });
}

// A no-op for a post that Connect or Close made stale, or that the disconnect told already.
void QtClientSocket::DeliverPostedUp() {
  if (std::exchange(FUpPosted, false)) MarkUp();
}

void QtClientSocket::Attach(QTcpSocket* socket) {
  connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Receive(socket->readAll()); });
  connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
    // What came before the end is told first; a handler may end or replace the connection.
    DeliverPostedUp();
    if (FSocket != socket || !FUp) return;
    DeliverReceived();
    if (FSocket != socket || !FUp) return;
    FUp = false;
    Deliver([](auto& events) { events.MyOnDisconnect(); });
  });
  connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](auto error) {
    // Qt reports an orderly close by the server as an error too; it is only the disconnect.
    if (error == QAbstractSocket::RemoteHostClosedError) return;
    if (error == QAbstractSocket::SslHandshakeFailedError && FTlsFailed) return;
    const auto text = socket->errorString().toStdString();
    Deliver([&](auto& events) { events.MyOnError(ErrnoOfSocketError(error), text); });
  });
}

// Bytes are handed on from a posted call, not from within readyRead: Qt does not emit readyRead
// again (nor, under TLS, read the network at all) while a slot connected to it runs, so a
// handler's nested event loop (a message box) would leave pings unread until the server drops
// the connection. Outside the signal, the nested loop reads on and delivers in order.
void QtClientSocket::Receive(const QByteArray& bytes) {
  FReceived += bytes;
  if (FDeliveryPosted) return;
  FDeliveryPosted = true;
  QMetaObject::invokeMethod(
      this, [this] { DeliverReceived(); }, Qt::QueuedConnection);
}

void QtClientSocket::DeliverReceived() {
  FDeliveryPosted = false;
  if (FReceived.isEmpty()) return;
  const QByteArray bytes = std::exchange(FReceived, QByteArray());
  Deliver([&](auto& events) {
    events.MyOnRead(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  });
}

void QtClientSocket::ReportLater(int code, const QString& text) {
  QTimer::singleShot(0, this, [this, code, text] {
    const auto message = text.toStdString();
    Deliver([&](auto& events) { events.MyOnError(code, message); });
  });
}

void QtClientSocket::Write(std::string_view bytes) {
  if (!FUp) return;
  FSocket->write(bytes.data(), static_cast<qint64>(bytes.size()));
}

std::size_t QtClientSocket::BytesToWrite() const {
  return FUp ? static_cast<std::size_t>(FSocket->bytesToWrite()) : 0;
}

void QtClientSocket::Close() {
  if (!FSocket) return;
  QTcpSocket* socket = std::exchange(FSocket, nullptr);
  socket->disconnect(this);
  FReceived.clear();
  FUpPosted = false;
  const bool wasUp = std::exchange(FUp, false);
  Retire(socket);
  if (wasUp) Deliver([](auto& events) { events.MyOnDisconnect(); });
}

// The socket leaves the connection's hands at once but writes out what is queued before it
// closes, so that a program may send its last line and close straight after.
void QtClientSocket::Retire(QTcpSocket* socket) {
  if (socket->state() != QAbstractSocket::ConnectedState) {
    socket->abort();
    socket->deleteLater();
    return;
  }
  ++FRetiring;
  connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
    socket->deleteLater();
    if (--FRetiring == 0) emit allClosed();
  });
  QTimer::singleShot(kCloseTimeoutMs, socket, [socket] { socket->abort(); });
  socket->disconnectFromHost();
}

void QtClientSocket::ShowError(int code, std::string_view text) {
  const auto message =
      QStringLiteral("Error Code %1: %2").arg(code).arg(QString::fromStdString(std::string(text)));
  if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
    QMessageBox::information(nullptr, QCoreApplication::applicationName(), message);
    return;
  }
  std::cerr << message.toStdString() << std::endl;
}

}  // namespace zorva
