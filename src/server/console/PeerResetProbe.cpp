#include "PeerResetProbe.h"

#ifdef __linux__
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zorva {

#ifdef __linux__

PeerResetProbe::PeerResetProbe(qintptr descriptor) {
  if (descriptor >= 0) FDescriptor = ::fcntl(static_cast<int>(descriptor), F_DUPFD_CLOEXEC, 0);
}

PeerResetProbe::~PeerResetProbe() {
  if (FDescriptor >= 0) ::close(FDescriptor);
}

// The socket's error is no help here: Qt's read has already taken it. Its state remains.
bool PeerResetProbe::WasReset() const {
  if (FDescriptor < 0) return false;
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(FDescriptor, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  return info.tcpi_state == TCP_CLOSE;
}

#else

PeerResetProbe::PeerResetProbe(qintptr) {}
PeerResetProbe::~PeerResetProbe() = default;
bool PeerResetProbe::WasReset() const {
  return false;
}

#endif

}  // namespace zorva
