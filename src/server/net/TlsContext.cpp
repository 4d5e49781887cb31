#include "TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

namespace zorva {

namespace {

// A missing or unreadable file is reported in the system's words, before OpenSSL's vaguer
// "no such file" or "system lib".
bool Readable(const std::string& path, std::string& error) {
  std::ifstream file(path);
  if (file) return true;
  error = path + ": " + std::strerror(errno);
  return false;
}

bool LoadInto(SSL_CTX* context, const TTlsFiles& files, std::string& error) {
  if (!Readable(files.CertFile, error)) return false;
  if (SSL_CTX_use_certificate_chain_file(context, files.CertFile.c_str()) != 1) {
    error = files.CertFile + ": " + TakeTlsError("not a PEM certificate");
    return false;
  }
  if (!Readable(files.KeyFile, error)) return false;
  if (SSL_CTX_use_PrivateKey_file(context, files.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = files.KeyFile + ": " + TakeTlsError("not a PEM private key");
    return false;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error = files.KeyFile + ": " + TakeTlsError("the key does not belong to the certificate");
    return false;
  }
  if (files.CaFile.empty()) return true;
  if (!Readable(files.CaFile, error)) return false;
  if (SSL_CTX_load_verify_locations(context, files.CaFile.c_str(), nullptr) != 1) {
    error = files.CaFile + ": " + TakeTlsError("not a PEM certificate");
    return false;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  return true;
}

}  // namespace

std::string TakeTlsError(const std::string& fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : fallback;
}

std::shared_ptr<TlsContext> TlsContext::Load(const TTlsFiles& files, std::string& error) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) {
    error = TakeTlsError("cannot make a TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // Every delivered line is sealed once per receiver, so the cipher is the TLS port's main cost:
  // AES-128-GCM first (as safe, and cheaper per byte than AES-256), unless the client lists
  // ChaCha20 first, as clients without AES instructions do.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                   SSL_OP_PRIORITIZE_CHACHA);
  SSL_CTX_set_ciphersuites(context,
                           "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                           "TLS_CHACHA20_POLY1305_SHA256");
  if (!LoadInto(context, files, error)) {
    SSL_CTX_free(context);
    return nullptr;
  }
  return std::shared_ptr<TlsContext>(new TlsContext(context, files));
}

TlsContext::TlsContext(SSL_CTX* context, TTlsFiles files)
    : FContext(context), FFiles(std::move(files)) {}

TlsContext::~TlsContext() {
  SSL_CTX_free(FContext);
}

}  // namespace zorva
