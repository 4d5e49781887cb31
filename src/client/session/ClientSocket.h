// The client socket seen by TZorvaConnection: what the connection asks of a socket, and the four
// notifications a socket delivers back. The shipped implementation is the Qt adapter
// (QtClientSocket in ZorvaComp); tests plug in a recording fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zorva {

// Called on the thread that owns the socket (the host's event loop), never from inside Write.
// Error codes are errno values (ECONNREFUSED for a refused connection), 0 where the platform has
// none, such as a host name that does not resolve; the text always says what happened.
class IClientSocketEvents {
 public:
  virtual void MyOnConnect() = 0;
  virtual void MyOnDisconnect() = 0;
  virtual void MyOnRead(std::string_view bytes) = 0;
  virtual void MyOnError(int code, std::string_view text) = 0;

 protected:
  ~IClientSocketEvents() = default;
};

// How the next Connect protects the connection.
struct TClientTls {
  bool Enabled = false;
  std::string CaFile;  // PEM authorities trusted besides the system's
  // Check the server's certificate and that it names the host connected to.
  bool VerifyPeer = true;
};

class IClientSocket {
 public:
  virtual ~IClientSocket() = default;
  // Applies from the next Connect. False when the socket cannot do what is asked (a socket
  // without TLS is never asked to connect in the clear instead).
  virtual bool SetTls(const TClientTls& tls) { return !tls.Enabled; }
  // Where notifications go; nullptr silences the socket (the connection does so before it dies).
  virtual void SetEvents(IClientSocketEvents* events) = 0;
  // Starts connecting and returns at once; any earlier connection or attempt is dropped first.
  // `numericAddress`: `host` is a dotted quad, otherwise a name to resolve.
  virtual void Connect(const std::string& host, bool numericAddress, std::int32_t port) = 0;
  // Queues the bytes and returns at once; whatever cannot be written yet waits in the socket.
  virtual void Write(std::string_view bytes) = 0;
  // Bytes queued by Write and not yet written to the network.
  virtual std::size_t BytesToWrite() const = 0;
  // Ends the connection or the attempt, writing out what is queued. When a connection was up,
  // MyOnDisconnect is delivered from within this call.
  virtual void Close() = 0;
  // Tells the user about a socket error that the program left unhandled, in the host's usual
  // way (a message box in a widgets program, standard error otherwise).
  virtual void ShowError(int code, std::string_view text) = 0;
};

// The socket a plain `TZorvaConnection conn;` gets: defined by the library that ships the
// adapter (ZorvaComp: a QTcpSocket used from the host's Qt event loop).
std::unique_ptr<IClientSocket> CreateDefaultClientSocket();

}  // namespace zorva
