// TlsContext: a server's certificate, key and (optionally) the authority its clients'
// certificates must come from, loaded into one OpenSSL context for TLS 1.2 and 1.3. A context is
// never changed once loaded: a renewal loads a new one, and connections already open keep the
// one they started with (OpenSSL counts the references).
//
//   std::string error;
//   auto context = TlsContext::Load({.CertFile = "cert.pem", .KeyFile = "key.pem"}, error);
//   if (!context) fail(error);  // "cert.pem: no such file" and the like
#pragma once

#include <memory>
#include <string>

using SSL_CTX = struct ssl_ctx_st;

namespace zorva {

struct TTlsFiles {
  std::string CertFile;  // PEM; the chain may follow the certificate in the same file
  std::string KeyFile;   // PEM, unencrypted
  std::string CaFile;    // PEM; when set, a client must show a certificate it signed
};

class TlsContext {
 public:
  // Null, with a message naming the file and the reason in `error`, when a file cannot be
  // read, is not what it should be, or the key does not belong to the certificate.
  static std::shared_ptr<TlsContext> Load(const TTlsFiles& files, std::string& error);

  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* Native() const { return FContext; }
  const TTlsFiles& Files() const { return FFiles; }

 private:
  TlsContext(SSL_CTX* context, TTlsFiles files);

  SSL_CTX* FContext;
  TTlsFiles FFiles;
};

// OpenSSL's oldest queued error in words ("unsupported protocol"), or `fallback` when none is
// queued; the queue is emptied either way.
std::string TakeTlsError(const std::string& fallback);

}  // namespace zorva
