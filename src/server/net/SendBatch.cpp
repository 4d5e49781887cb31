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

  // Submits the sends and waits for all of them; returns how many were carried out, from the
  // first on. The others were never submitted and never will be: the ring is then given up.
  std::size_t Run(std::span<const TSend> sends, std::span<ssize_t> results) {
    std::size_t prepared = 0;
    for (; prepared < sends.size(); ++prepared) {
      auto* entry = io_uring_get_sqe(&FRing);
      if (entry == nullptr) break;
      const auto& send = sends[prepared];
      io_uring_prep_send(entry, send.Fd, send.Data, send.Size, kSendFlags);
      entry->user_data = prepared;
    }
    const auto submitted = Submit(prepared);
    if (!Reap(submitted, results)) FUsable = false;
    return submitted;
  }

  // False once a completion went missing: it might still arrive, in a later batch.
  bool Usable() const { return FUsable; }

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
  bool Reap(std::size_t count, std::span<ssize_t> results) {
    std::fill_n(results.begin(), count, -EIO);
    for (std::size_t reaped = 0; reaped < count;) {
      io_uring_cqe* completion = nullptr;
      const int result = io_uring_wait_cqe(&FRing, &completion);
      if (result == -EINTR) continue;
      if (result < 0) return false;
      if (completion->user_data < count) results[completion->user_data] = completion->res;
      io_uring_cqe_seen(&FRing, completion);
      ++reaped;
    }
    return true;
  }

  io_uring FRing{};
  bool FOpen = false;
  bool FUsable = true;
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
    if (done < FSends.size() || !FRing->Usable()) FRing.reset();
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
