// QtClientSocket: the client socket that ZorvaComp ships, on QTcpSocket (QSslSocket for TLS),
// driven by the host's Qt event loop. TZorvaConnection gets one from its default constructor; a Qt
// program that wants to wait for a closed connection's last bytes keeps a pointer and watches
// allClosed.
#pragma once

#include <QByteArray>
#include <QObject>

#include "ClientSocket.h"

class QTcpSocket;
class QSslSocket;

namespace zorva {

// The errno value for a QAbstractSocket::SocketError, 0 where none fits (a name that does not
// resolve). Takes the enum as int so that this header needs no Qt Network headers.
int ErrnoOfSocketError(int qtSocketError);

class QtClientSocket : public QObject, public IClientSocket {
  Q_OBJECT

 public:
  explicit QtClientSocket(QObject* parent = nullptr);
  ~QtClientSocket() override;

  void SetEvents(IClientSocketEvents* events) override { FEvents = events; }
  bool SetTls(const TClientTls& tls) override;
  void Connect(const std::string& host, bool numericAddress, std::int32_t port) override;
  void Write(std::string_view bytes) override;
  std::size_t BytesToWrite() const override;
  void Close() override;
  // "Error Code N: text" in a message box under a QApplication, on standard error otherwise.
  void ShowError(int code, std::string_view text) override;

  // True while a closed connection is still writing out its queue.
  bool Closing() const { return FRetiring > 0; }

 signals:
  // Every closed connection has written its queue (or given up on it).
  void allClosed();

 private:
  QTcpSocket* MakeSocket();
  // Everything but the moment the connection is up, which differs with TLS.
  void Attach(QTcpSocket* socket);
  void MarkUp();
  void DeliverPostedUp();
  void AttachTls(QSslSocket* socket);
  void Retire(QTcpSocket* socket);
  void Receive(const QByteArray& bytes);
  void DeliverReceived();
  void ReportLater(int code, const QString& text);
  // Runs a notification; nothing a handler throws may unwind through Qt's event loop.
  template <class Notify>
  void Deliver(Notify&& notify);

  IClientSocketEvents* FEvents = nullptr;
  QTcpSocket* FSocket = nullptr;  // the current connection or attempt
  bool FUp = false;               // MyOnConnect was delivered for FSocket
  bool FUpPosted = false;         // FSocket's handshake is done, MyOnConnect not yet delivered
  TClientTls FTls;
  bool FTlsFailed = false;  // the handshake's reason is told; Qt's own error after it is not
  int FRetiring = 0;
  QByteArray FReceived;  // read from FSocket, not yet handed to FEvents
  bool FDeliveryPosted = false;
};

}  // namespace zorva
