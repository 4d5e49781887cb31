#include "LoginThrottle.h"

#include <gtest/gtest.h>

namespace zorva {
namespace {

struct TWaitCase {
  const char* Label;
  int Failures;          // all at time 0
  std::uint64_t WaitMs;  // the first moment a try is allowed again
};

void PrintTo(const TWaitCase& c, std::ostream* os) {
  *os << c.Label;
}

class ThrottleWait : public testing::TestWithParam<TWaitCase> {};

TEST_P(ThrottleWait, AllowsExactlyFromTheWait) {
  TLoginThrottle throttle({5, 30000});
  const std::uint64_t start = 1'000'000;
  for (int i = 0; i < GetParam().Failures; ++i) throttle.Failed("k", start);
  const auto wait = GetParam().WaitMs;
  if (wait > 0) {
    EXPECT_FALSE(throttle.Allows("k", start + wait - 1));
  }
  EXPECT_TRUE(throttle.Allows("k", start + wait));
  EXPECT_TRUE(throttle.Allows("other", start));
}

INSTANTIATE_TEST_SUITE_P(Table, ThrottleWait,
                         testing::Values(TWaitCase{"free", 4, 0}, TWaitCase{"fifth", 5, 1000},
                                         TWaitCase{"sixth_doubles", 6, 2000},
                                         TWaitCase{"capped", 12, 30000},
                                         TWaitCase{"never_overflows", 200, 30000}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST(LoginThrottleTest, AQuietMinuteForgetsAndACapOfZeroTurnsItOff) {
  TLoginThrottle throttle({5, 30000});
  for (int i = 0; i < 5; ++i) throttle.Failed("k", 0);
  throttle.Failed("k", TLoginThrottle::kQuietMs);  // counts afresh: one failure
  EXPECT_TRUE(throttle.Allows("k", TLoginThrottle::kQuietMs));

  TLoginThrottle off({5, 0});
  for (int i = 0; i < 50; ++i) off.Failed("k", 0);
  EXPECT_TRUE(off.Allows("k", 0));
}

}  // namespace
}  // namespace zorva
