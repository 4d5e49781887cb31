// TlsLineClient: a blocking TLS client for tests, speaking in lines like LineClient, that checks
// the server's certificate against a given authority and host name unless told not to; and
// TlsClientSocket, the connection under it and under WsLineClient.
//
//   TlsLineClient client;
//   ASSERT_TRUE(client.Connect(port, {.CaFile = "cert.pem"})) << client.Error();
//   client.WriteLine("PING|");
//   auto line = client.ReadLine();  // std::nullopt on timeout, end of stream or error
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "LineClient.h"

namespace zorva::test {

struct TTlsClientOptions {
  std::string CaFile;                  // empty: no certificate is checked
  std::string HostName = "127.0.0.1";  // what the certificate must name
  std::chrono::milliseconds Timeout{5000};
};

// TlsClientSocket: one blocking connection to 127.0.0.1, with a timeout on every read, plain
// until StartTls and inside TLS after it. The line and WebSocket test clients read and write
// through it.
class TlsClientSocket {
 public:
  TlsClientSocket() = default;
  ~TlsClientSocket() { Close(); }
  TlsClientSocket(const TlsClientSocket&) = delete;
  TlsClientSocket& operator=(const TlsClientSocket&) = delete;

  bool Connect(std::uint16_t port, std::chrono::milliseconds timeout) {
    Close();
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto ms = timeout.count();
    const timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (ConnectToLoopback(FFd, port)) return true;
    FError = "cannot connect";
    return false;
  }

  // False, with the reason in Error(), when the handshake or the certificate check fails.
  bool StartTls(const TTlsClientOptions& options) {
    FContext = SSL_CTX_new(TLS_client_method());
    if (!options.CaFile.empty()) {
      SSL_CTX_load_verify_locations(FContext, options.CaFile.c_str(), nullptr);
      SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    }
    FSsl = SSL_new(FContext);
    SSL_set_fd(FSsl, FFd);
    SSL_set_tlsext_host_name(FSsl, options.HostName.c_str());
    if (!options.CaFile.empty()) SSL_set1_host(FSsl, options.HostName.c_str());
    if (SSL_connect(FSsl) == 1) return true;
    const long verified = SSL_get_verify_result(FSsl);
    FError = verified != X509_V_OK ? X509_verify_cert_error_string(verified)
                                   : ERR_reason_error_string(ERR_peek_last_error());
    ERR_clear_error();
    return false;
  }

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const auto sent = FSsl != nullptr
                            ? SSL_write(FSsl, bytes.data(), static_cast<int>(bytes.size()))
                            : ::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // Like recv: the count read, 0 at the end of the stream, below 0 on a timeout (errno says so)
  // or an error.
  long Read(char* buffer, std::size_t size) {
    if (FFd < 0) return 0;
    if (FSsl == nullptr) return ::recv(FFd, buffer, size, 0);
    return SSL_read(FSsl, buffer, static_cast<int>(size));
  }

  // Whether the peer's next word is the session's end (close_notify), not a cut connection.
  bool EndsCleanly() {
    char byte;
    const int count = FSsl != nullptr ? SSL_read(FSsl, &byte, 1) : 1;
    return count == 0 && SSL_get_error(FSsl, count) == SSL_ERROR_ZERO_RETURN;
  }

  bool IsOpen() const { return FFd >= 0; }
  const std::string& Error() const { return FError; }

  void Close() {
    if (FSsl != nullptr) SSL_free(FSsl);
    if (FContext != nullptr) SSL_CTX_free(FContext);
    if (FFd >= 0) ::close(FFd);
    FSsl = nullptr;
    FContext = nullptr;
    FFd = -1;
  }

 private:
  SSL_CTX* FContext = nullptr;
  SSL* FSsl = nullptr;
  int FFd = -1;
  std::string FError;
};

class TlsLineClient {
 public:
  // False, with the reason in Error(), when the connection or the handshake fails.
  bool Connect(std::uint16_t port, const TTlsClientOptions& options) {
    Close();
    return FSocket.Connect(port, options.Timeout) && FSocket.StartTls(options);
  }

  bool WriteLine(std::string_view line) { return FSocket.Write(std::string(line) + '\n'); }

  std::optional<std::string> ReadLine() {
    for (;;) {
      if (auto line = TakeLine(FBuffer)) return line;
      char chunk[4096];
      const auto count = FSocket.Read(chunk, sizeof chunk);
      if (count <= 0) return std::nullopt;
      FBuffer.append(chunk, static_cast<std::size_t>(count));
    }
  }

  // Whether the server ended the stream (or the timeout passed) before another line came.
  bool Ended() {
    const auto line = ReadLine();
    return !line.has_value();
  }

  bool EndedCleanly() { return FSocket.EndsCleanly(); }

  const std::string& Error() const { return FSocket.Error(); }

  void Close() {
    FSocket.Close();
    FBuffer.clear();
  }

 private:
  TlsClientSocket FSocket;
  std::string FBuffer;
};

}  // namespace zorva::test
