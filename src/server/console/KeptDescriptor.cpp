#include "KeptDescriptor.h"

#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zorva {

#ifndef _WIN32

KeptDescriptor::KeptDescriptor(qintptr descriptor) {
  if (descriptor >= 0) FDescriptor = ::fcntl(static_cast<int>(descriptor), F_DUPFD_CLOEXEC, 0);
}

KeptDescriptor::~KeptDescriptor() {
  if (FDescriptor >= 0) ::close(static_cast<int>(FDescriptor));
}

// The socket's error is no help here: Qt's read has already taken it. Its state remains.
bool KeptDescriptor::PeerWasReset() const {
#ifdef __linux__
  if (FDescriptor < 0) return false;
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(static_cast<int>(FDescriptor), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
    return false;
  return info.tcpi_state == TCP_CLOSE;
#else
  return false;
#endif
}

#else

KeptDescriptor::KeptDescriptor(qintptr) {}
KeptDescriptor::~KeptDescriptor() = default;
bool KeptDescriptor::PeerWasReset() const {
  return false;
}

#endif

qintptr KeptDescriptor::Release() {
  return std::exchange(FDescriptor, -1);
}

}  // namespace zorva
