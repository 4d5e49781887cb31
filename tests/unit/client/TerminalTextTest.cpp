// zorva-chat's terminal text: UTF-8 passes through, every other byte shows as its Latin-1
// character, and a broken sequence costs only its own bytes.
#include "TerminalText.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

struct TTerminalCase {
  const char* Label;
  std::string Bytes;
  std::string Shown;
};

void PrintTo(const TTerminalCase& c, std::ostream* os) {
  *os << c.Label;
}

class TerminalTextTest : public ::testing::TestWithParam<TTerminalCase> {};

TEST_P(TerminalTextTest, ShowsUtf8AsItIsAndOtherBytesAsLatin1) {
  EXPECT_EQ(TerminalText(GetParam().Bytes), GetParam().Shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TerminalTextTest,
    ::testing::Values(
        TTerminalCase{"empty", "", ""}, TTerminalCase{"ascii", "hello |^`", "hello |^`"},
        TTerminalCase{"utf8_two_byte", "Caf\xc3\xa9", "Caf\xc3\xa9"},
        TTerminalCase{"utf8_three_and_four_byte", "\xe2\x82\xac \xf0\x9f\x98\x80",
                      "\xe2\x82\xac \xf0\x9f\x98\x80"},
        TTerminalCase{"latin1", "Jos\xe9 M\xfcller", "Jos\xc3\xa9 M\xc3\xbcller"},
        TTerminalCase{"latin1_at_end", "K\xf6ln\xff", "K\xc3\xb6ln\xc3\xbf"},
        TTerminalCase{"mixed_in_one_line", "Caf\xc3\xa9 Jos\xe9", "Caf\xc3\xa9 Jos\xc3\xa9"},
        TTerminalCase{"truncated_sequence", "a\xe2\x82", "a\xc3\xa2\xc2\x82"},
        TTerminalCase{"lone_continuation", "\x80x", "\xc2\x80x"},
        TTerminalCase{"overlong_slash", "\xc0\xaf", "\xc3\x80\xc2\xaf"},
        TTerminalCase{"overlong_three_byte", "\xe0\x80\xaf", "\xc3\xa0\xc2\x80\xc2\xaf"},
        TTerminalCase{"surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
        TTerminalCase{"past_unicode", "\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},
        TTerminalCase{"largest_code_point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"}),
    [](const auto& info) { return std::string(info.param.Label); });

}  // namespace
}  // namespace zorva
