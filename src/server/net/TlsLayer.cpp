#include "TlsLayer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

#include "TlsContext.h"

namespace zorva {

namespace {

constexpr int kReadChunk = 16 * 1024;  // one record's worth of plain text at most

}  // namespace

TlsLayer::TlsLayer(SSL_CTX* context, TRole role) : FSsl(SSL_new(context)) {
  if (FSsl == nullptr) throw std::runtime_error(TakeTlsError("cannot start a TLS session"));
  // Memory pipes both ways: the socket stays the transport's, read and written as before.
  SSL_set_bio(FSsl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  if (role == TRole::Client) {
    SSL_set_connect_state(FSsl);
  } else {
    SSL_set_accept_state(FSsl);
  }
}

TlsLayer::~TlsLayer() {
  SSL_free(FSsl);
}

TlsLayer::TResult TlsLayer::Receive(std::string_view encrypted, std::string& plain) {
  if (!FError.empty()) return TResult::Failed;
  BIO_write(SSL_get_rbio(FSsl), encrypted.data(), static_cast<int>(encrypted.size()));
  if (!FHandshakeDone) {
    const int result = SSL_do_handshake(FSsl);
    if (result != 1) {
      const int error = SSL_get_error(FSsl, result);
      return error == SSL_ERROR_WANT_READ ? TResult::Open : Fail(result);
    }
    FHandshakeDone = true;
  }
  return ReadPlain(plain);
}

TlsLayer::TResult TlsLayer::ReadPlain(std::string& plain) {
  // One scratch record for every session of the thread: growing `plain` by a record's room
  // instead would clear 16 KiB per read, more than the few lines a read mostly holds cost.
  thread_local std::array<char, kReadChunk> scratch;
  for (;;) {
    const int result = SSL_read(FSsl, scratch.data(), kReadChunk);
    if (result > 0) {
      plain.append(scratch.data(), static_cast<std::size_t>(result));
      continue;
    }
    switch (SSL_get_error(FSsl, result)) {
      case SSL_ERROR_WANT_READ:
        return TResult::Open;
      case SSL_ERROR_ZERO_RETURN:
        return TResult::Ended;
      default:
        return Fail(result);
    }
  }
}

TlsLayer::TResult TlsLayer::Fail(int result) {
  const int error = SSL_get_error(FSsl, result);
  FError = TakeTlsError(error == SSL_ERROR_SYSCALL ? "unexpected end of the TLS stream"
                                                   : "TLS protocol error");
  return TResult::Failed;
}

void TlsLayer::SealOutgoing() {
  // The memory pipe takes everything: a write either succeeds whole or the session is broken.
  for (std::size_t done = 0; done < FOutgoing.size();) {
    const auto chunk =
        std::min<std::size_t>(FOutgoing.size() - done, std::numeric_limits<int>::max());
    const int written = SSL_write(FSsl, FOutgoing.data() + done, static_cast<int>(chunk));
    if (written <= 0) {
      Fail(written);
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  FOutgoing.clear();
}

void TlsLayer::Seal(std::string& socketBytes) {
  if (FHandshakeDone && FError.empty() && !FOutgoing.empty()) SealOutgoing();
  if (OwesEnd()) {
    SSL_shutdown(FSsl);
    FFinished = true;
  }
  BIO* out = SSL_get_wbio(FSsl);
  const auto pending = BIO_ctrl_pending(out);
  if (pending == 0) return;
  const auto start = socketBytes.size();
  socketBytes.resize(start + pending);
  const int taken = BIO_read(out, socketBytes.data() + start, static_cast<int>(pending));
  socketBytes.resize(start + static_cast<std::size_t>(std::max(taken, 0)));
}

bool TlsLayer::HasOutput() const {
  return BIO_ctrl_pending(SSL_get_wbio(FSsl)) > 0 || (FHandshakeDone && !FOutgoing.empty()) ||
         OwesEnd();
}

}  // namespace zorva
