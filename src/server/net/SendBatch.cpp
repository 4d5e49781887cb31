#include "SendBatch.h"

#include <algorithm>
#include <cerrno>

#include <liburing.h>
#include <sys/socket.h>

namespace zorva {

namespace {

constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
constexpr int kMaxRefusals = 16;

ssize_t PlainSend(int fd, const char* data, std::size_t size) {
  for (;;) {
    const auto count = ::send(fd, data, size, kSendFlags);
    if (count >= 0) return count;
    if (errno != EINTR) return -errno;
  }
}

}  // namespace

class SendBatch::TRing {
 public:
  // Returns null when the kernel has no io_uring or refuses one.
  static std::unique_ptr<TRing> Open() {
    auto ring = std::unique_ptr<TRing>(new TRing);
    // Newer kernels take the flags: every entry is submitted even after a failing one, and
    // completions are not announced by interrupting the task.
    ring->FOpen = io_uring_queue_init(kCapacity, &ring->FRing,
                                      IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN) == 0 ||
                  io_uring_queue_init(kCapacity, &ring->FRing, 0) == 0;
    return ring->FOpen ? std::move(ring) : nullptr;
  }
  // A ring that never opened has no descriptor of its own to close.
  ~TRing() {
    if (FOpen) io_uring_queue_exit(&FRing);
  }

  // Submits sends[0, n) and waits for all of them; returns how many were carried out. A send
  // that was not submitted is never carried out later: the ring is then given up.
  std::size_t Run(std::span<const TSend> sends, std::span<ssize_t> results) {
    for (std::size_t index = 0; index < sends.size(); ++index) {
      auto* entry = io_uring_get_sqe(&FRing);
      io_uring_prep_send(entry, sends[index].Fd, sends[index].Data, sends[index].Size, kSendFlags);
      entry->user_data = index;
    }
    const auto submitted = Submit(sends.size());
    Reap(submitted, results);
    return submitted;
  }

 private:
  TRing() = default;

  std::size_t Submit(std::size_t count) {
    std::size_t submitted = 0;
    for (int refusals = 0; submitted < count && refusals < kMaxRefusals;) {
      const int result = io_uring_submit(&FRing);
      if (result > 0) {
        submitted += static_cast<std::size_t>(result);
      } else if (result == -EINTR || result == -EAGAIN) {
        ++refusals;
      } else {
        break;
      }
    }
    return submitted;
  }

  // A submitted send whose outcome cannot be learnt counts as failed: the connection is dropped
  // rather than sent the same bytes twice.
  void Reap(std::size_t count, std::span<ssize_t> results) {
    std::fill_n(results.begin(), count, -EIO);
    for (std::size_t reaped = 0; reaped < count;) {
      io_uring_cqe* completion = nullptr;
      const int result = io_uring_wait_cqe(&FRing, &completion);
      if (result == -EINTR) continue;
      if (result < 0) return;
      results[completion->user_data] = completion->res;
      io_uring_cqe_seen(&FRing, completion);
      ++reaped;
    }
  }

  io_uring FRing{};
  bool FOpen = false;
};

SendBatch::SendBatch(TMode mode) {
  if (mode == TMode::Ring) FRing = TRing::Open();
  FSends.reserve(kCapacity);
  FResults.reserve(kCapacity);
}

SendBatch::~SendBatch() = default;

void SendBatch::Add(int fd, const char* data, std::size_t size) {
  FSends.push_back({fd, data, size});
}

std::span<const ssize_t> SendBatch::Run() {
  FResults.assign(FSends.size(), 0);
  std::size_t done = 0;
  if (FRing) {
    done = FRing->Run(FSends, FResults);
    if (done < FSends.size()) FRing.reset();
  }
  RunPlain(done);
  FSends.clear();
  return FResults;
}

void SendBatch::RunPlain(std::size_t from) {
  for (auto index = from; index < FSends.size(); ++index) {
    FResults[index] = PlainSend(FSends[index].Fd, FSends[index].Data, FSends[index].Size);
  }
}

}  // namespace zorva
