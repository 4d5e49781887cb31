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
// What a record adds to its plain text at most: header, explicit nonce or inner type, tag.
constexpr std::size_t kRecordOverhead = 5 + 8 + 16;
constexpr std::size_t kEndAlertBytes = 64;  // a close_notify record, with room to spare

// Room for the outgoing text once sealed, so that records appended one by one never move what
// went before.
std::size_t SealedBytes(std::size_t plainBytes) {
  const std::size_t records = (plainBytes + kReadChunk - 1) / kReadChunk;
  return plainBytes + records * kRecordOverhead + kEndAlertBytes;
}

// The write side appends records straight to a string: a memory pipe would cost a copy into it,
// a zero-filled room in the socket queue and a copy out of it for every sealed record.
int AppendToTarget(BIO* bio, const char* data, int length) {
  static_cast<std::string*>(BIO_get_data(bio))->append(data, static_cast<std::size_t>(length));
  return length;
}

long AnswerControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* AppendingMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* created =
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zorva string sink");
    if (created == nullptr || BIO_meth_set_write(created, AppendToTarget) != 1 ||
        BIO_meth_set_ctrl(created, AnswerControl) != 1) {
      throw std::runtime_error(TakeTlsError("cannot make the TLS write pipe"));
    }
    return created;
  }();
  return method;
}

BIO* NewAppendingBio(std::string* target) {
  BIO* bio = BIO_new(AppendingMethod());
  if (bio == nullptr) throw std::runtime_error(TakeTlsError("cannot make the TLS write pipe"));
  BIO_set_data(bio, target);
  BIO_set_init(bio, 1);
  return bio;
}

}  // namespace

TlsLayer::TlsLayer(SSL_CTX* context, TRole role) : FSsl(SSL_new(context)) {
  if (FSsl == nullptr) throw std::runtime_error(TakeTlsError("cannot start a TLS session"));
  // The socket stays the transport's, read and written as before: encrypted bytes come in
  // through a memory pipe, and what the session writes outside Seal (handshake messages,
  // alerts) waits in FUnsealed.
  SSL_set_bio(FSsl, BIO_new(BIO_s_mem()), NewAppendingBio(&FUnsealed));
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
  socketBytes.reserve(socketBytes.size() + FUnsealed.size() + SealedBytes(FOutgoing.size()));
  socketBytes.append(FUnsealed);
  FUnsealed.clear();
  BIO* out = SSL_get_wbio(FSsl);
  BIO_set_data(out, &socketBytes);
  if (FHandshakeDone && FError.empty() && !FOutgoing.empty()) SealOutgoing();
  if (OwesEnd()) {
    SSL_shutdown(FSsl);
    FFinished = true;
  }
  BIO_set_data(out, &FUnsealed);
}

bool TlsLayer::HasOutput() const {
  return !FUnsealed.empty() || (FHandshakeDone && !FOutgoing.empty()) || OwesEnd();
}

}  // namespace zorva
