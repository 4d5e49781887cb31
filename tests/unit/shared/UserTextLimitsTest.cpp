#include "UserTextLimits.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "FullGlyph.h"

namespace zorva {
namespace {

struct TLimitCase {
  const char* Label;
  std::function<void(TZorvaUser&)> Edit;
  bool Fits;
};

void PrintTo(const TLimitCase& c, std::ostream* os) {
  *os << c.Label;
}

class UserTextLimitsTest : public ::testing::TestWithParam<TLimitCase> {};

TEST_P(UserTextLimitsTest, Fits) {
  TZorvaUser user;
  GetParam().Edit(user);
  EXPECT_EQ(FitsUserTextLimits(user), GetParam().Fits);
}

std::string Bytes(std::size_t count) {
  return std::string(count, 'x');
}

constexpr std::size_t kNameBytes = kNameLength * kMaxBytesPerCharacter;
constexpr std::size_t kAddressBytes = kAddressLength * kMaxBytesPerCharacter;

INSTANTIATE_TEST_SUITE_P(
    Table, UserTextLimitsTest,
    ::testing::Values(
        TLimitCase{"empty_record", [](TZorvaUser&) {}, true},
        TLimitCase{"full_name", [](TZorvaUser& u) { u.SetCity(Bytes(kNameBytes)); }, true},
        TLimitCase{"name_one_past", [](TZorvaUser& u) { u.SetCountry(Bytes(kNameBytes + 1)); },
                   false},
        TLimitCase{"full_address", [](TZorvaUser& u) { u.SetHomePage(Bytes(kAddressBytes)); },
                   true},
        TLimitCase{"address_one_past", [](TZorvaUser& u) { u.SetEMail(Bytes(kAddressBytes + 1)); },
                   false},
        TLimitCase{"password_one_past",
                   [](TZorvaUser& u) {
                     u.SetPassword(Bytes(kPasswordLength * kMaxBytesPerCharacter + 1));
                   },
                   false},
        TLimitCase{"full_comment",
                   [](TZorvaUser& u) { u.SetAdditionalInfo(Bytes(kMaxCommentBytes)); }, true},
        TLimitCase{"comment_one_past",
                   [](TZorvaUser& u) { u.SetAdditionalInfo(Bytes(kMaxCommentBytes + 1)); }, false},
        TLimitCase{"line_feed_in_comment", [](TZorvaUser& u) { u.SetAdditionalInfo("a\nb"); },
                   false},
        TLimitCase{"bar_in_last_name", [](TZorvaUser& u) { u.SetLastName("a|b"); }, false},
        TLimitCase{"escape_in_first_name", [](TZorvaUser& u) { u.SetFirstName("\x1b[31m"); },
                   false},
        TLimitCase{"all_tokens",
                   [](TZorvaUser& u) {
                     for (std::size_t i = 0; i < kMaxInfoTokens; ++i) {
                       u.SetInfoToken("T" + std::to_string(i), "v");
                     }
                   },
                   true},
        TLimitCase{"one_token_too_many",
                   [](TZorvaUser& u) {
                     for (std::size_t i = 0; i <= kMaxInfoTokens; ++i) {
                       u.SetInfoToken("T" + std::to_string(i), "v");
                     }
                   },
                   false},
        TLimitCase{"token_too_long",
                   [](TZorvaUser& u) { u.SetInfoToken("T", Bytes(kMaxInfoTokenBytes)); }, false},
        TLimitCase{"control_in_token", [](TZorvaUser& u) { u.SetInfoToken("T", "a\tb"); }, false},
        TLimitCase{"id_is_not_checked", [](TZorvaUser& u) { u.SetId("a|b"); }, true}),
    [](const auto& info) { return std::string(info.param.Label); });

// The longest text a client may send must travel inside every message that carries one.
TEST(UserTextLimitsTest, LargestAcceptedTextFitsOneLine) {
  TZorvaUser user;
  user.SetId(std::string(64, 'i'));
  user.SetPassword(Bytes(kPasswordLength * kMaxBytesPerCharacter));
  for (auto set : {&TZorvaUser::SetFirstName, &TZorvaUser::SetLastName, &TZorvaUser::SetCity,
                   &TZorvaUser::SetCountry}) {
    (user.*set)(Bytes(kNameBytes));
  }
  user.SetEMail(Bytes(kAddressBytes));
  user.SetHomePage(Bytes(kAddressBytes));
  user.SetAdditionalInfo(Bytes(kMaxCommentBytes));
  for (std::size_t i = 0; i < kMaxInfoTokens; ++i) {
    user.SetInfoToken(std::to_string(i), Bytes(kMaxInfoTokenBytes - 4));
  }
  user.SetGlyph(test::FullGlyph());
  ASSERT_TRUE(FitsUserTextLimits(user));
  EXPECT_LT(user.toString().size() + 64, 65536u);
}

}  // namespace
}  // namespace zorva
