// TlsLayer: one connection's TLS session, kept entirely in memory. The transport reads the
// socket and hands the encrypted bytes in; it gets the plain text out for the core. What the
// core sends waits here as plain text until the handshake is done, and is sealed into records
// when the transport writes, so a turn's lines for a connection become one write of records and
// still go out in the transport's write batch.
//
//   TlsLayer tls(context->Native());
//   std::string plain;
//   if (tls.Receive(encrypted, plain) == TlsLayer::TResult::Failed) drop(tls.Error());
//   tls.Outgoing().append("LOGIN|SUCCESS|...\n");
//   tls.Seal(queue);  // records and handshake messages, appended for the socket
#pragma once

#include <string>
#include <string_view>

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;

namespace zorva {

class TlsLayer {
 public:
  enum class TResult {
    Open,    // more may come
    Ended,   // the peer said it is done (close_notify)
    Failed,  // the handshake or a record failed; Error() says why
  };

  // A client's layer (the load generator's) owes the first handshake message: Receive with no
  // bytes starts it.
  enum class TRole { Server, Client };

  explicit TlsLayer(SSL_CTX* context, TRole role = TRole::Server);
  ~TlsLayer();
  TlsLayer(const TlsLayer&) = delete;
  TlsLayer& operator=(const TlsLayer&) = delete;

  // Takes bytes read from the socket and appends the plain text they complete to `plain`.
  TResult Receive(std::string_view encrypted, std::string& plain);
  bool HandshakeDone() const { return FHandshakeDone; }
  const std::string& Error() const { return FError; }

  // Plain text waiting to be sealed.
  std::string& Outgoing() { return FOutgoing; }
  // Appends to `socketBytes` what the peer is owed: handshake messages, alerts and, once the
  // handshake is done, the outgoing text as records.
  void Seal(std::string& socketBytes);
  // Whether Seal would append anything.
  bool HasOutput() const;
  // The next Seal ends the session after the outgoing text, so that the peer can tell the end
  // from a cut connection.
  void Finish() { FFinishing = true; }

 private:
  TResult Fail(int result);
  TResult ReadPlain(std::string& plain);
  void SealOutgoing();
  bool OwesEnd() const { return FFinishing && !FFinished && FHandshakeDone && FError.empty(); }

  SSL* FSsl;
  bool FHandshakeDone = false;
  bool FFinishing = false;
  bool FFinished = false;  // its end was sealed
  std::string FOutgoing;
  std::string FUnsealed;  // written by the session outside Seal, not yet taken
  std::string FError;
};

}  // namespace zorva
