// SendBatch: the writes of one loop turn, made together. On this kind of machine a system call
// costs about as much as the loopback write it carries, so the sends to all connections go to
// the kernel in one io_uring submission instead of one call each. Where io_uring is missing or
// refused, each is a plain send. Sends never block: a full socket reports -EAGAIN.
//
//   SendBatch batch;
//   batch.Add(fd, data, size);          // at most kCapacity before Run
//   for (auto result : batch.Run()) {}  // bytes written or -errno, in the order added
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace zorva {

class SendBatch {
 public:
  static constexpr std::size_t kCapacity = 256;
  enum class TMode { Ring, PlainSends };

  // Falls back to plain sends when no ring can be set up.
  explicit SendBatch(TMode mode = TMode::Ring);
  ~SendBatch();
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

  TMode Mode() const { return FRing ? TMode::Ring : TMode::PlainSends; }
  bool Empty() const { return FSends.empty(); }
  bool Full() const { return FSends.size() == kCapacity; }

  // `data` must stay as it is until Run returns.
  void Add(int fd, const char* data, std::size_t size);
  // Makes every added send and empties the batch; the results stay valid until the next Add.
  std::span<const ssize_t> Run();

 private:
  struct TSend {
    int Fd;
    const char* Data;
    std::size_t Size;
  };
  class TRing;

  void RunPlain(std::size_t from);

  std::unique_ptr<TRing> FRing;
  std::vector<TSend> FSends;
  std::vector<ssize_t> FResults;
};

}  // namespace zorva
