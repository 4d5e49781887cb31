#include "WireText.h"

#include <gtest/gtest.h>

namespace zorva {
namespace {

struct TShowCase {
  const char* label;
  std::string bytes;
  QString shown;
};

void PrintTo(const TShowCase& c, std::ostream* os) {
  *os << c.label;
}

class ShowWireTextTest : public testing::TestWithParam<TShowCase> {};

TEST_P(ShowWireTextTest, ShowsAndKeepsTheBytes) {
  const TShowCase& c = GetParam();
  EXPECT_EQ(ShowWireText(c.bytes), c.shown);
  const TWireText kept(c.bytes);
  EXPECT_EQ(kept.Bytes(c.shown), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShowWireTextTest,
    testing::Values(TShowCase{"empty", "", QString()},
                    TShowCase{"ascii", "Oslo", QStringLiteral("Oslo")},
                    TShowCase{"utf8", "Caf\xc3\xa9", QStringLiteral("Café")},
                    TShowCase{"latin1", "Caf\xe9", QStringLiteral("Café")},
                    // One bad byte makes the whole text Latin-1, never a replacement character.
                    TShowCase{"mixed", "M\xc3\xbcller \xe9", QStringLiteral("MÃ¼ller é")},
                    TShowCase{"cut_sequence", "a\xc3", QStringLiteral("aÃ")},
                    TShowCase{"nul_byte", std::string("a\0b", 3),
                              QStringLiteral("a") + QChar(0) + QStringLiteral("b")}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(WireTextTest, ChangedTextGoesAsUtf8) {
  const TWireText kept("K\xf6ln");
  EXPECT_EQ(kept.Bytes(QStringLiteral("Köln!")), "K\xc3\xb6ln!");
  EXPECT_EQ(WireTextOf(QStringLiteral("Köln")), "K\xc3\xb6ln");
}

}  // namespace
}  // namespace zorva
