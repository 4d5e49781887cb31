#include "SendBatch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zorva {
namespace {

// A connected pair of stream sockets; the test writes on Near and reads on Far.
struct SocketPair {
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Near = fds[0];
    Far = fds[1];
  }
  ~SocketPair() {
    CloseFar();
    if (Near >= 0) ::close(Near);
  }
  void CloseFar() {
    if (Far >= 0) ::close(Far);
    Far = -1;
  }
  // Everything waiting on Far, read without blocking.
  std::string Drain() const {
    std::string bytes;
    char buffer[65536];
    for (;;) {
      const auto count = ::recv(Far, buffer, sizeof buffer, MSG_DONTWAIT);
      if (count <= 0) return bytes;
      bytes.append(buffer, static_cast<std::size_t>(count));
    }
  }

  int Near = -1;
  int Far = -1;
};

// Both ways of sending must report the same things; the ring is skipped where the kernel
// refuses one.
class SendBatchTest : public testing::TestWithParam<SendBatch::TMode> {
 protected:
  void SetUp() override {
    if (GetParam() == SendBatch::TMode::Ring && FBatch.Mode() != SendBatch::TMode::Ring) {
      GTEST_SKIP() << "no io_uring here";
    }
  }

  SendBatch FBatch{GetParam()};
};

TEST_P(SendBatchTest, DeliversEachSendWholeAndReportsItsBytes) {
  std::vector<SocketPair> pairs(3);
  const std::vector<std::string> texts = {"first\n", std::string(100000, 'b'), "third\nfourth\n"};
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    FBatch.Add(pairs[i].Near, texts[i].data(), texts[i].size());
  }
  const auto results = FBatch.Run();
  ASSERT_EQ(results.size(), pairs.size());
  EXPECT_TRUE(FBatch.Empty());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(results[i], static_cast<ssize_t>(texts[i].size())) << i;
    EXPECT_EQ(pairs[i].Drain(), texts[i]) << i;
  }
}

// The socket is blocking, as a caller's mistake would leave it: a full one must still not stall
// the loop.
TEST_P(SendBatchTest, AFullSocketTakesWhatFitsThenReportsWouldBlock) {
  SocketPair pair;
  const std::string flood(8 * 1024 * 1024, 'f');
  FBatch.Add(pair.Near, flood.data(), flood.size());
  const auto taken = FBatch.Run()[0];
  ASSERT_GT(taken, 0);
  ASSERT_LT(taken, static_cast<ssize_t>(flood.size()));
  FBatch.Add(pair.Near, flood.data() + taken, flood.size() - static_cast<std::size_t>(taken));
  EXPECT_EQ(FBatch.Run()[0], -EAGAIN);
  EXPECT_EQ(pair.Drain().size(), static_cast<std::size_t>(taken));
}

// A failing send is reported as its own error (a closed peer without a signal that would end
// the process) and the others of the batch still go out.
TEST_P(SendBatchTest, FailuresStayWithTheirOwnSend) {
  SocketPair closed;
  SocketPair open;
  closed.CloseFar();
  const std::string text = "still here\n";
  FBatch.Add(closed.Near, text.data(), text.size());
  FBatch.Add(-1, text.data(), text.size());
  FBatch.Add(open.Near, text.data(), text.size());
  const auto results = FBatch.Run();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0], -EPIPE);
  EXPECT_EQ(results[1], -EBADF);
  EXPECT_EQ(results[2], static_cast<ssize_t>(text.size()));
  EXPECT_EQ(open.Drain(), text);
}

TEST_P(SendBatchTest, AFullBatchGoesOutAndTheNextStartsEmpty) {
  SocketPair pair;
  const std::string byte = "x";
  while (!FBatch.Full()) FBatch.Add(pair.Near, byte.data(), byte.size());
  const auto results = FBatch.Run();
  EXPECT_EQ(results.size(), SendBatch::kCapacity);
  for (const auto result : results) EXPECT_EQ(result, 1);
  EXPECT_EQ(pair.Drain(), std::string(SendBatch::kCapacity, 'x'));
  EXPECT_TRUE(FBatch.Run().empty());
}

// With every descriptor in use no ring can be set up; the batch must fall back to plain sends
// and close nothing that is not its own (descriptor 0 included, which a ring never opened
// would name).
TEST(SendBatchRefusedTest, FallsBackToPlainSendsAndLeavesOtherDescriptorsAlone) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::dup(2)) >= 0;) fillers.push_back(fd);
  const bool stdinWasOpen = ::fcntl(0, F_GETFD) != -1;

  SendBatch batch;
  const auto mode = batch.Mode();
  int closedByBatch = 0;
  for (const int fd : fillers) closedByBatch += ::fcntl(fd, F_GETFD) == -1 ? 1 : 0;
  const bool stdinIsOpen = ::fcntl(0, F_GETFD) != -1;

  for (const int fd : fillers) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(mode, SendBatch::TMode::PlainSends);
  EXPECT_EQ(closedByBatch, 0);
  EXPECT_EQ(stdinIsOpen, stdinWasOpen);
}

INSTANTIATE_TEST_SUITE_P(Modes, SendBatchTest,
                         testing::Values(SendBatch::TMode::Ring, SendBatch::TMode::PlainSends),
                         [](const auto& info) {
                           return info.param == SendBatch::TMode::Ring ? "Ring" : "PlainSends";
                         });

}  // namespace
}  // namespace zorva
