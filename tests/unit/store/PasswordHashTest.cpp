#include "PasswordHash.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

const TPasswordCost kCheap = TPasswordCost::Cheapest();

TEST(PasswordHashTest, HashHidesThePasswordAndIsSalted) {
  const std::string first = HashPassword("secret", kCheap);
  const std::string second = HashPassword("secret", kCheap);
  EXPECT_TRUE(first.starts_with("$argon2id$"));
  EXPECT_EQ(first.find("secret"), std::string::npos);
  EXPECT_NE(first, second);
  EXPECT_TRUE(VerifyPassword(first, "secret"));
  EXPECT_TRUE(VerifyPassword(second, "secret"));
}

struct VerifyCase {
  const char* Label;
  std::string Stored;  // "*" stands for the hash of "secret"
  std::string Given;
  bool Accepted;
};

class VerifyPasswordTest : public testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyPasswordTest, AcceptsOnlyTheHashedPassword) {
  static const std::string hash = HashPassword("secret", kCheap);
  const std::string stored = GetParam().Stored == "*" ? hash : GetParam().Stored;
  EXPECT_EQ(VerifyPassword(stored, GetParam().Given), GetParam().Accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifyPasswordTest,
    testing::Values(VerifyCase{"Right", "*", "secret", true},
                    VerifyCase{"WrongCase", "*", "Secret", false},
                    VerifyCase{"TrailingBlank", "*", "secret ", false},
                    VerifyCase{"Empty", "*", "", false}, VerifyCase{"Prefix", "*", "secre", false},
                    // A clear-text column must not let its own text in.
                    VerifyCase{"ClearTextColumn", "secret", "secret", false},
                    VerifyCase{"EmptyColumn", "", "", false},
                    VerifyCase{"OverlongColumn", std::string(500, '$'), "secret", false}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(PasswordHashTest, VerifiesHashesMadeAtAnotherCost) {
  const std::string stored = HashPassword("pw", {3, kCheap.MemLimit * 2});
  EXPECT_TRUE(VerifyPassword(stored, "pw"));
}

}  // namespace
}  // namespace zorva
