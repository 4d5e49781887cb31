// PeerResetProbe: tells a peer's reset from its hang-up after Qt has let go of the socket. Qt's
// socket engine reads a reset as an end of file and closes its descriptor within that same read,
// so nothing can ask the socket afterwards; a second descriptor taken at accept keeps the socket
// open until the answer is read. The cost is one more descriptor per connection.
//
//   PeerResetProbe probe(socket->socketDescriptor());  // at accept
//   ...
//   if (probe.WasReset()) ...                          // when Qt reports the hang-up
//
// Linux only; elsewhere it holds nothing and every end reads as a hang-up.
#pragma once

#include <QtGlobal>

namespace zorva {

class PeerResetProbe {
 public:
  explicit PeerResetProbe(qintptr descriptor);
  ~PeerResetProbe();
  PeerResetProbe(const PeerResetProbe&) = delete;
  PeerResetProbe& operator=(const PeerResetProbe&) = delete;

  // True once the kernel has closed the connection because of the peer's reset; a peer's FIN
  // leaves it half open (our side still holds it) and answers false.
  bool WasReset() const;

 private:
  int FDescriptor = -1;
};

}  // namespace zorva
