#include "ZorvaUtils.h"

#include <gtest/gtest.h>

#include <vector>

namespace zorva {
namespace {

struct TokenCase {
  const char* label;
  std::string text;
  std::string separator;
  std::vector<std::string> tokens;  // successive results
  std::string rest;                 // text after the last call
};

void PrintTo(const TokenCase& c, std::ostream* os) {
  *os << c.label;
}

class GetTokenTest : public testing::TestWithParam<TokenCase> {};

TEST_P(GetTokenTest, ReturnsTokensAndLeavesRest) {
  const auto& c = GetParam();
  std::string text = c.text;
  for (const auto& expected : c.tokens) EXPECT_EQ(getToken(text, c.separator), expected);
  EXPECT_EQ(text, c.rest);

  // The view overload follows the same contract for one-character separators.
  if (c.separator.size() == 1) {
    std::string_view view = c.text;
    for (const auto& expected : c.tokens) EXPECT_EQ(getToken(view, c.separator[0]), expected);
    EXPECT_EQ(view, c.rest);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetTokenTest,
    testing::Values(TokenCase{"three_fields", "a|b|c", "|", {"a", "b", "c"}, ""},
                    TokenCase{"leading_separator", "|b", "|", {""}, "b"},
                    TokenCase{"repeated_separators", "a||b", "|", {"a", "", "b"}, ""},
                    TokenCase{"trailing_separator", "a|", "|", {"a"}, ""},
                    TokenCase{"trailing_then_empty", "a|", "|", {"a", ""}, ""},
                    TokenCase{"empty_text", "", "|", {""}, ""},
                    TokenCase{"absent_separator", "abc", "|", {"abc"}, ""},
                    TokenCase{"first_occurrence_only", "k=v=w", "=", {"k"}, "v=w"},
                    TokenCase{"empty_separator", "abc", "", {"abc"}, ""},
                    TokenCase{"line_feed", "PING|\nSEND", "\n", {"PING|"}, "SEND"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ConvertTest, IntegersAreStrictDecimal) {
  std::int32_t v = 0;
  EXPECT_TRUE(TryStrToInt("-12", v));
  EXPECT_EQ(v, -12);
  for (const char* bad : {"", "+1", " 1", "1 ", "1a", "0x10", "2147483648"}) {
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
  }
  EXPECT_THROW(StrToInt("x", "LoginCount"), EConvertError);
}

TEST(ConvertTest, DatesUseMonthDayYearWithSlashes) {
  EXPECT_EQ(DateToStr(0), "12/30/1899");
  EXPECT_EQ(DateToStr(EncodeDate(2026, 12, 8)), "12/08/2026");
  TDateTime d = 0;
  ASSERT_TRUE(TryStrToDate("02/29/2024", d));
  EXPECT_EQ(d, EncodeDate(2024, 2, 29));
  ASSERT_TRUE(TryStrToDate("1/2/2000", d));
  EXPECT_EQ(d, EncodeDate(2000, 1, 2));
  for (const char* bad : {"13/45/1999", "02/29/2023", "", "12-30-1899", "12/30", "a/b/c"}) {
    EXPECT_FALSE(TryStrToDate(bad, d)) << bad;
  }
  EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 1) + 0.75), "03/01/2024");  // time part ignored
}

TEST(ConvertTest, GeneralFloatFormat) {
  EXPECT_EQ(FloatToStr(0), "0");
  EXPECT_EQ(FloatToStr(1234), "1234");
  EXPECT_EQ(FloatToStr(56789), "56789");
  EXPECT_EQ(FloatToStr(999999999999999.0), "999999999999999");
  EXPECT_EQ(FloatToStr(1.5e15), "1.5E15");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(1.5), "1.5");
  // Found by fuzzing: past 15 digits the text is rounded, and reads back to the same text.
  EXPECT_EQ(FloatToStr(1266666666666666666666666666.0), "1.26666666666667E27");
  EXPECT_EQ(FloatToStr(StrToFloat("1.26666666666667E27", "x")), "1.26666666666667E27");
  double v = 0;
  ASSERT_TRUE(TryStrToFloat("1.5E15", v));
  EXPECT_EQ(v, 1.5e15);
  for (const char* bad : {"", "nan", "inf", "1,5", "+1", "0x1p3"}) {
    EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
  }
}

}  // namespace
}  // namespace zorva
