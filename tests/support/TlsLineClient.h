// TlsLineClient: a blocking TLS client for tests, speaking in lines like LineClient, that checks
// the server's certificate against a given authority and host name unless told not to.
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

class TlsLineClient {
 public:
  TlsLineClient() = default;
  ~TlsLineClient() { Close(); }
  TlsLineClient(const TlsLineClient&) = delete;
  TlsLineClient& operator=(const TlsLineClient&) = delete;

  // False, with the reason in Error(), when the connection or the handshake fails.
  bool Connect(std::uint16_t port, const TTlsClientOptions& options) {
    Close();
    FContext = SSL_CTX_new(TLS_client_method());
    if (!options.CaFile.empty()) {
      SSL_CTX_load_verify_locations(FContext, options.CaFile.c_str(), nullptr);
      SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    }
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto ms = options.Timeout.count();
    const timeval timeout{static_cast<time_t>(ms / 1000),
                          static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (!ConnectToLoopback(FFd, port)) {
      FError = "cannot connect";
      return false;
    }
    FSsl = SSL_new(FContext);
    SSL_set_fd(FSsl, FFd);
    SSL_set_tlsext_host_name(FSsl, options.HostName.c_str());
    if (!options.CaFile.empty()) SSL_set1_host(FSsl, options.HostName.c_str());
    if (SSL_connect(FSsl) != 1) {
      const long verified = SSL_get_verify_result(FSsl);
      FError = verified != X509_V_OK ? X509_verify_cert_error_string(verified)
                                     : ERR_reason_error_string(ERR_peek_last_error());
      ERR_clear_error();
      return false;
    }
    return true;
  }

  bool WriteLine(std::string_view line) {
    const std::string text = std::string(line) + '\n';
    return FSsl != nullptr && SSL_write(FSsl, text.data(), static_cast<int>(text.size())) > 0;
  }

  std::optional<std::string> ReadLine() {
    for (;;) {
      if (auto line = TakeLine(FBuffer)) return line;
      char chunk[4096];
      const int count = FSsl != nullptr ? SSL_read(FSsl, chunk, sizeof chunk) : 0;
      if (count <= 0) return std::nullopt;
      FBuffer.append(chunk, static_cast<std::size_t>(count));
    }
  }

  // Whether the server ended the stream (or the timeout passed) before another line came.
  bool Ended() {
    const auto line = ReadLine();
    return !line.has_value();
  }

  // Whether the server's next word is the session's end (close_notify), not a cut connection.
  bool EndedCleanly() {
    char byte;
    const int count = FSsl != nullptr ? SSL_read(FSsl, &byte, 1) : 1;
    return count == 0 && SSL_get_error(FSsl, count) == SSL_ERROR_ZERO_RETURN;
  }

  const std::string& Error() const { return FError; }

  void Close() {
    if (FSsl != nullptr) SSL_free(FSsl);
    if (FContext != nullptr) SSL_CTX_free(FContext);
    if (FFd >= 0) ::close(FFd);
    FSsl = nullptr;
    FContext = nullptr;
    FFd = -1;
    FBuffer.clear();
  }

 private:
  SSL_CTX* FContext = nullptr;
  SSL* FSsl = nullptr;
  int FFd = -1;
  std::string FBuffer;
  std::string FError;
};

}  // namespace zorva::test
