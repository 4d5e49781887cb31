#include "ZorvaUser.h"

#include <gtest/gtest.h>

#include <string>

namespace zorva {
namespace {

const std::string kNewRecordText = "^^^^^^^^^12/30/1899^12/30/1899^0^^0`0`^";

TEST(UserTextTest, NewRecord) {
  EXPECT_EQ(TZorvaUser().toString(), kNewRecordText);
}

TEST(UserTextTest, FieldOrderDiffersFromDeclarationOrder) {
  TZorvaUser user;
  user.SetId("id");
  user.SetPassword("pw");
  user.SetFirstName("first");
  user.SetLastName("last");
  user.SetCity("city");
  user.SetCountry("country");
  user.SetEMail("mail");
  user.SetHomePage("home");
  user.SetAdditionalInfo("info");
  user.SetCreationDate(EncodeDate(2020, 1, 2));
  user.SetLastLoginDate(EncodeDate(2021, 11, 30));
  user.SetLoginCount(7);
  EXPECT_EQ(user.toString(),
            "id^pw^first^last^city^country^mail^home^info^01/02/2020^11/30/2021^7^^0`0`^");
  EXPECT_EQ(user.toWireString(),
            "id^^first^last^city^country^mail^home^info^01/02/2020^11/30/2021^7^^0`0`^");
}

TEST(UserTextTest, InfoTokensAndGlyphFields) {
  TZorvaUser user;
  user.SetInfoTokens({"a=1", "b=2"});
  Bitmap glyph(2, 1);
  glyph.SetPixel(1, 0, 16777215);
  user.SetGlyph(glyph);
  EXPECT_EQ(user.toString(), "^^^^^^^^^12/30/1899^12/30/1899^0^a=1`b=2`^2`1`0`16777215`^");

  TZorvaUser copy;
  copy.fromString(user.toString());
  EXPECT_EQ(copy.InfoTokens(), (TZorvaUser::TStringList{"a=1", "b=2"}));
  EXPECT_EQ(copy.Glyph(), glyph);
}

TEST(UserTextTest, GlyphIsWrittenColumnByColumn) {
  TZorvaUser user;
  Bitmap glyph(2, 2);
  glyph.SetPixel(0, 0, 1);
  glyph.SetPixel(0, 1, 2);
  glyph.SetPixel(1, 0, 3);
  glyph.SetPixel(1, 1, 4);
  user.SetGlyph(glyph);
  EXPECT_TRUE(user.toString().ends_with("^2`2`1`2`3`4`^"));
}

TEST(UserTextTest, FullRecordRoundTrip) {
  TZorvaUser user;
  user.SetId("ann");
  user.SetPassword("secret");
  user.SetFirstName("Ann");
  user.SetLastName("Lee");
  user.SetCity("Oslo");
  user.SetCountry("Norway");
  user.SetEMail("ann@example.org");
  user.SetHomePage("http://example.org/ann");
  user.SetAdditionalInfo("likes chess ");
  user.SetCreationDate(EncodeDate(1999, 12, 31));
  user.SetLastLoginDate(EncodeDate(2026, 2, 28));
  user.SetLoginCount(42);
  user.SetInfoTokens({"Level=3", "plain", "", "k=v=w"});
  Bitmap glyph(32, 32);
  for (int x = 0; x < 32; ++x) {
    for (int y = 0; y < 32; ++y) glyph.SetPixel(x, y, static_cast<std::uint32_t>(x * 524288 + y));
  }
  user.SetGlyph(glyph);
  user.recordPing(55);  // not part of the text form

  TZorvaUser copy;
  copy.recordPing(7);
  copy.fromString(user.toString());
  EXPECT_EQ(copy.PingHistory()[4], 7);              // left as it was
  EXPECT_EQ(copy.InfoTokens(), user.InfoTokens());  // the empty entry in the middle survives
  EXPECT_EQ(copy.Glyph(), user.Glyph());
  EXPECT_EQ(copy.CreationDate(), user.CreationDate());
  EXPECT_EQ(copy.LastLoginDate(), user.LastLoginDate());
  EXPECT_EQ(copy.toString(), user.toString());
}

TEST(UserTextTest, InfoTokenWithoutTrailingBackquoteIsTaken) {
  TZorvaUser user;
  user.fromString("^^^^^^^^^12/30/1899^12/30/1899^0^x=1`y=2^0`0`^");
  EXPECT_EQ(user.InfoTokens(), (TZorvaUser::TStringList{"x=1", "y=2"}));
}

TEST(UserTextTest, FailureKeepsEarlierFieldsAndLaterOldValues) {
  TZorvaUser user;
  user.SetLoginCount(9);
  user.SetInfoTokens({"old=1"});
  try {
    user.fromString("id^pw^f^l^c^co^m^h^i^01/02/2003^13/45/1999^5^a=1`^0`0`^");
    FAIL() << "expected a conversion error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Field(), "LastLoginDate");
  }
  EXPECT_EQ(user.Id(), "id");
  EXPECT_EQ(user.AdditionalInfo(), "i");
  EXPECT_EQ(user.CreationDate(), EncodeDate(2003, 1, 2));
  EXPECT_EQ(user.LoginCount(), 9);
  EXPECT_EQ(user.InfoTokens(), (TZorvaUser::TStringList{"old=1"}));
}

struct BadTextCase {
  const char* label;
  std::string text;
  std::string field;
};

void PrintTo(const BadTextCase& c, std::ostream* os) {
  *os << c.label;
}

class UserBadTextTest : public testing::TestWithParam<BadTextCase> {};

TEST_P(UserBadTextTest, NamesTheBadField) {
  TZorvaUser user;
  try {
    user.fromString(GetParam().text);
    FAIL() << "expected a conversion error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Field(), GetParam().field);
  }
}

const std::string kHead = "^^^^^^^^^12/30/1899^12/30/1899^0^^";

INSTANTIATE_TEST_SUITE_P(
    Table, UserBadTextTest,
    testing::Values(BadTextCase{"empty_text", "", "CreationDate"},
                    BadTextCase{"ends_after_dates", "^^^^^^^^^12/30/1899^12/30/1899^",
                                "LoginCount"},
                    BadTextCase{"no_glyph", "^^^^^^^^^12/30/1899^12/30/1899^0^^", "Glyph width"},
                    BadTextCase{"bad_height", kHead + "1`x`^", "Glyph height"},
                    BadTextCase{"missing_pixel", kHead + "2`1`0`^", "Glyph size"},
                    BadTextCase{"bad_pixel", kHead + "1`1`red`^", "Glyph pixel"},
                    BadTextCase{"negative_size", kHead + "-1`1`^", "Glyph size"},
                    // A huge declared glyph is refused before anything is allocated for it.
                    BadTextCase{"huge_glyph", kHead + "2000000000`2000000000`1`^", "Glyph size"},
                    // One side 0 allocates nothing, but toString would still walk the other.
                    BadTextCase{"max_width_no_height", kHead + "2147483647`0`^", "Glyph size"},
                    BadTextCase{"no_width_max_height", kHead + "0`2147483647`^", "Glyph size"},
                    BadTextCase{"side_past_form", kHead + "33`0`^", "Glyph size"},
                    BadTextCase{"negative_pixel", kHead + "1`1`-1`^", "Glyph pixel"},
                    BadTextCase{"pixel_past_colour", kHead + "1`1`16777216`^", "Glyph pixel"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(UserTextTest, GlyphAtTheLimitsRoundTrips) {
  const std::string text = kHead + "32`1`" + [] {
    std::string pixels;
    for (int i = 0; i < 32; ++i) pixels += (i % 2 ? "16777215`" : "0`");
    return pixels;
  }() + "^";
  TZorvaUser user;
  user.fromString(text);
  EXPECT_EQ(user.Glyph().Width(), 32);
  EXPECT_EQ(user.Glyph().Pixel(1, 0), 0xFFFFFFu);
  EXPECT_EQ(user.toString(), text);
}

TEST(UserRecordTest, FullNameKeepsTheBlank) {
  TZorvaUser user;
  user.SetFirstName("Ann");
  EXPECT_EQ(user.GetFullName(), "Ann ");
}

TEST(UserRecordTest, InfoTokensByTag) {
  TZorvaUser user;
  user.SetInfoTokens({"plain", "level=1", "x=2"});
  EXPECT_EQ(user.GetInfoToken("LEVEL"), "1");
  EXPECT_EQ(user.GetInfoToken("plain"), "");  // entries without "=" never match
  user.SetInfoToken("Level", "3");
  EXPECT_EQ(user.InfoTokens(), (TZorvaUser::TStringList{"plain", "Level=3", "x=2"}));
  user.SetInfoToken("new", "v");
  EXPECT_EQ(user.InfoTokens().back(), "new=v");
  user.SetInfoToken("LEVEL", "");
  EXPECT_EQ(user.InfoTokens(), (TZorvaUser::TStringList{"plain", "x=2", "new=v"}));
  user.SetInfoToken("absent", "");
  EXPECT_EQ(user.GetInfoTokenCount(), 3);
}

TEST(UserRecordTest, InfoTokenTagAndValueByIndex) {
  TZorvaUser user;
  user.SetInfoTokens({"plain", "k=v=w"});
  EXPECT_EQ(user.GetInfoTokenTag(0), "plain");
  EXPECT_EQ(user.GetInfoTokenValue(0), "");
  EXPECT_EQ(user.GetInfoTokenTag(1), "k");
  EXPECT_EQ(user.GetInfoTokenValue(1), "v=w");
  EXPECT_THROW(user.GetInfoTokenTag(2), std::out_of_range);
  EXPECT_THROW(user.GetInfoTokenValue(-1), std::out_of_range);
}

TEST(UserRecordTest, PingHistoryAndQuality) {
  TZorvaUser user;
  EXPECT_EQ(user.GetConnectionQuality(), 0);
  user.recordPing(100);
  user.recordPing(0);
  user.recordPing(300);
  EXPECT_EQ(user.PingHistory(), (std::array<std::int32_t, 5>{0, 0, 100, 0, 300}));
  EXPECT_EQ(user.GetConnectionQuality(), 200);
  for (int v : {1, 2, 3, 4, 5, 6}) user.recordPing(v);
  EXPECT_EQ(user.PingHistory(), (std::array<std::int32_t, 5>{2, 3, 4, 5, 6}));
  EXPECT_EQ(user.GetConnectionQuality(), 4);
  for (int v : {-5, 0, -1, 0, 0}) user.recordPing(v);
  EXPECT_EQ(user.GetConnectionQuality(), 0);
}

}  // namespace
}  // namespace zorva
