// KeptDescriptor: a second descriptor of a connection's socket, which keeps the socket open after
// Qt closes its own. Qt's socket engine reads a peer's reset as an end of file and closes its
// descriptor within that same read, so only a kept descriptor can still tell a reset from a
// hang-up; and a TLS session's close needs the connection to outlive Qt's descriptor. The cost
// is one more descriptor per connection.
//
//   KeptDescriptor kept(socket->socketDescriptor());  // at accept
//   ...
//   if (kept.PeerWasReset()) ...                      // when Qt reports the hang-up
//
// POSIX only; elsewhere it holds nothing and every end reads as a hang-up.
#pragma once

#include <QtGlobal>

namespace zorva {

class KeptDescriptor {
 public:
  explicit KeptDescriptor(qintptr descriptor);
  ~KeptDescriptor();
  KeptDescriptor(const KeptDescriptor&) = delete;
  KeptDescriptor& operator=(const KeptDescriptor&) = delete;

  // True once the kernel has closed the connection because of the peer's reset; a peer's FIN
  // leaves it half open (the kept descriptor still holds it) and answers false.
  bool PeerWasReset() const;

  // Hands the descriptor over (to a socket that closes it); -1 when none is held.
  qintptr Release();

 private:
  qintptr FDescriptor = -1;
};

}  // namespace zorva
