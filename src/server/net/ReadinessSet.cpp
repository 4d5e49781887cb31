#include "ReadinessSet.h"

#include <cerrno>
#include <utility>

namespace zorva {

namespace {

int CreateEpoll() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::system_category(), "Creating an epoll set");
  return fd;
}

std::uint32_t EpollEvents(unsigned interest) {
  return ((interest & ReadinessSet::kRead) ? EPOLLIN : 0u) |
         ((interest & ReadinessSet::kWrite) ? EPOLLOUT : 0u);
}

}  // namespace

ReadinessSet::ReadinessSet(asio::io_context& io) : FEpoll(io, CreateEpoll()) {}

void ReadinessSet::Start(TEventHandler onEvent, std::function<void()> batchDone) {
  FOnEvent = std::move(onEvent);
  FBatchDone = std::move(batchDone);
  Arm();
}

void ReadinessSet::Watch(int fd, std::uint64_t key, unsigned current, unsigned wanted,
                         std::error_code& ec) {
  ec.clear();
  if (current == wanted) return;
  epoll_event event{};
  event.events = EpollEvents(wanted);
  event.data.u64 = key;
  const int operation = current == kNone  ? EPOLL_CTL_ADD
                        : wanted == kNone ? EPOLL_CTL_DEL
                                          : EPOLL_CTL_MOD;
  if (::epoll_ctl(FEpoll.native_handle(), operation, fd, &event) != 0) {
    ec.assign(errno, std::system_category());
  }
}

void ReadinessSet::Arm() {
  FEpoll.async_wait(asio::posix::stream_descriptor::wait_read, [this](const std::error_code& ec) {
    if (ec) return;  // the set is being destroyed
    OnReady();
  });
}

// Level-triggered: what one batch leaves unread is reported again in the next. Armed first, so
// that a handler that throws does not end the watch.
void ReadinessSet::OnReady() {
  Arm();
  const int count =
      ::epoll_wait(FEpoll.native_handle(), FEvents.data(), static_cast<int>(FEvents.size()), 0);
  for (int i = 0; i < count; ++i) {
    const auto flags = FEvents[i].events;
    const bool failed = (flags & (EPOLLERR | EPOLLHUP)) != 0;
    FOnEvent({.Key = FEvents[i].data.u64,
              .Readable = failed || (flags & (EPOLLIN | EPOLLRDHUP)) != 0,
              .Writable = failed || (flags & EPOLLOUT) != 0});
  }
  FBatchDone();
}

}  // namespace zorva
