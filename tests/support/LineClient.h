// LineClient: a blocking TCP client for tests, with a timeout on every wait, that speaks in
// lines. The transport tests and the end-to-end tests use it against servers on 127.0.0.1.
//
//   LineClient client;
//   ASSERT_TRUE(client.Connect(port));
//   client.WriteLine("PING|");
//   auto line = client.ReadLine();  // std::nullopt on timeout or end of stream
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorva::test {

using namespace std::chrono_literals;

inline bool ConnectToLoopback(int fd, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

inline bool BindLocal(int fd, const char* from) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  return ::inet_pton(AF_INET, from, &address.sin_addr) == 1 &&
         ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// Takes the first whole line out of `buffer`, without its line feed; nullopt while none is whole.
inline std::optional<std::string> TakeLine(std::string& buffer) {
  const auto lf = buffer.find('\n');
  if (lf == std::string::npos) return std::nullopt;
  std::string line = buffer.substr(0, lf);
  buffer.erase(0, lf + 1);
  return line;
}

class LineClient {
 public:
  using Ms = std::chrono::milliseconds;

  LineClient() = default;
  ~LineClient() { Close(); }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  // A small receive buffer makes a peer that does not read back up quickly. `from` is another
  // loopback address ("127.0.0.2") for a client the server must tell apart from the others.
  bool Connect(std::uint16_t port, int receiveBuffer = 0, const char* from = nullptr) {
    Close();
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (FFd < 0) return false;
    if (receiveBuffer > 0) {
      ::setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if ((from && !BindLocal(FFd, from)) || !ConnectToLoopback(FFd, port)) {
      Close();
      return false;
    }
    FEnded = false;
    FBuffer.clear();
    return true;
  }

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const auto sent = ::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  bool WriteLine(std::string_view line) { return Write(std::string(line) + "\n"); }

  // The next line without its line feed; nullopt when none is complete within the timeout.
  std::optional<std::string> ReadLine(Ms timeout = 3000ms) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      if (auto line = TakeLine(FBuffer)) return line;
      if (FEnded || !Receive(deadline)) return std::nullopt;
    }
  }

  // Reads until the server ends the stream (FIN or reset); the bytes read meanwhile stay
  // available to ReadLine. False when the stream is still open at the timeout.
  bool WaitClosed(Ms timeout = 3000ms) {
    const auto deadline = Clock::now() + timeout;
    while (!FEnded) {
      if (!Receive(deadline) && !FEnded) return false;
    }
    return true;
  }

  bool Ended() const { return FEnded; }
  bool Reset() const { return FReset; }
  // Bytes received but not yet handed out as lines.
  const std::string& Buffered() const { return FBuffer; }

  // Ends our side with a reset instead of a FIN.
  void Abort() {
    if (FFd < 0) return;
    const linger hard{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
  }

  void ShutdownWrite() { ::shutdown(FFd, SHUT_WR); }

  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // One read into the buffer; false on timeout or end of stream.
  bool Receive(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
    if (left <= 0 || FFd < 0) return false;
    pollfd poller{FFd, POLLIN, 0};
    const int ready = ::poll(&poller, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    char chunk[65536];
    const auto got = ::recv(FFd, chunk, sizeof chunk, 0);
    if (got < 0 && errno == EINTR) return true;
    if (got <= 0) {
      FEnded = true;
      FReset = got < 0;
      return false;
    }
    FBuffer.append(chunk, static_cast<std::size_t>(got));
    return true;
  }

  int FFd = -1;
  std::string FBuffer;
  bool FEnded = false;
  bool FReset = false;
};

}  // namespace zorva::test
