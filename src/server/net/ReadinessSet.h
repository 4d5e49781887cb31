// ReadinessSet: the connections' descriptors in one level-triggered epoll set, which the Asio
// loop watches as a single descriptor. Asio's own wait for readability registers the descriptor
// anew on every wait, one epoll_ctl call per read; here a descriptor is registered once and
// changed only when what is watched on it changes (a full socket, held input, a close).
//
//   ReadinessSet set(io);
//   set.Start([](const ReadinessSet::TEvent& e) { ... }, [] { /* after each batch */ });
//   set.Watch(fd, key, ReadinessSet::kNone, ReadinessSet::kRead, ec);
//
// Keys are the caller's own names for descriptors; an event for a key the caller has let go of
// in the same batch is the caller's to ignore. Closing a descriptor takes it out of the set.
#pragma once

#include <asio.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <system_error>

#include <sys/epoll.h>

namespace zorva {

class ReadinessSet {
 public:
  // What is watched on a descriptor; a combination of these.
  enum : unsigned { kNone = 0, kRead = 1, kWrite = 2 };

  struct TEvent {
    std::uint64_t Key;
    bool Readable;  // also the peer's end or an error: a read tells which
    bool Writable;  // also an error: a write tells which
  };
  using TEventHandler = std::function<void(const TEvent&)>;

  // Throws std::system_error when no epoll set can be created.
  explicit ReadinessSet(asio::io_context& io);
  ReadinessSet(const ReadinessSet&) = delete;
  ReadinessSet& operator=(const ReadinessSet&) = delete;

  // Reports ready descriptors from the loop thread, a batch at a time, then calls `batchDone`.
  void Start(TEventHandler onEvent, std::function<void()> batchDone);

  // Changes what is watched on `fd` from `current` to `wanted`: adds it to the set, changes it,
  // or (to kNone) takes it out.
  void Watch(int fd, std::uint64_t key, unsigned current, unsigned wanted, std::error_code& ec);

 private:
  static constexpr std::size_t kBatch = 256;

  void Arm();
  void OnReady();

  asio::posix::stream_descriptor FEpoll;
  TEventHandler FOnEvent;
  std::function<void()> FBatchDone;
  std::array<epoll_event, kBatch> FEvents{};
};

}  // namespace zorva
