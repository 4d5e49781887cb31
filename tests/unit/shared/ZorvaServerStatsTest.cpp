#include "ZorvaServerStats.h"

#include <gtest/gtest.h>

#include "ZorvaUtils.h"

namespace zorva {
namespace {

TEST(ServerStatsTest, NewRecordIsEightZeros) {
  EXPECT_EQ(TZorvaServerStats().toString(), "0`0`0`0`0`0`0`0`");
}

TEST(ServerStatsTest, TextFormOrderAndRoundTrip) {
  TZorvaServerStats stats;
  stats.SetSecondsActive(3600);
  stats.SetCurrentConnections(2);
  stats.SetTotalConnections(10);
  stats.SetCurrentSubjects(1);
  stats.SetTotalSubjectsCreated(4);
  stats.SetPeakClientsConnected(5);
  stats.SetBytesRead(1234);
  stats.SetBytesWritten(56789);
  const std::string text = stats.toString();
  EXPECT_EQ(text, "3600`2`10`1`4`5`1234`56789`");

  TZorvaServerStats copy;
  copy.fromString(text + "surplus`");
  EXPECT_EQ(copy, stats);
}

TEST(ServerStatsTest, LargeByteTotalsUseExponentForm) {
  TZorvaServerStats stats;
  stats.SetBytesRead(1.5e15);
  EXPECT_EQ(stats.toString(), "0`0`0`0`0`0`1.5E15`0`");
  TZorvaServerStats copy;
  copy.fromString(stats.toString());
  EXPECT_EQ(copy.BytesRead(), 1.5e15);
}

TEST(ServerStatsTest, FailureKeepsFieldsReadBefore) {
  TZorvaServerStats stats;
  try {
    stats.fromString("7`8`x`1`1`1`1`1`");
    FAIL() << "expected a conversion error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Field(), "TotalConnections");
  }
  EXPECT_EQ(stats.SecondsActive(), 7);
  EXPECT_EQ(stats.CurrentConnections(), 8);
  EXPECT_EQ(stats.TotalConnections(), 0);
  EXPECT_THROW(stats.fromString("1`2`3`4`5`6`7`"), EConvertError);  // bytes written missing
}

struct DescCase {
  std::int32_t seconds;
  const char* text;
};

void PrintTo(const DescCase& c, std::ostream* os) {
  *os << c.seconds;
}

class TimeActiveDescTest : public testing::TestWithParam<DescCase> {};

TEST_P(TimeActiveDescTest, Words) {
  TZorvaServerStats stats;
  stats.SetSecondsActive(GetParam().seconds);
  EXPECT_EQ(stats.GetTimeActiveDesc(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, TimeActiveDescTest,
                         testing::Values(DescCase{0, "0 secs"}, DescCase{1, "1 sec"},
                                         DescCase{61, "1 min 1 sec"}, DescCase{3600, "1 hr 0 secs"},
                                         DescCase{7322, "2 hrs 2 mins 2 secs"},
                                         DescCase{86401, "1 day 1 sec"},
                                         DescCase{90061, "1 day 1 hr 1 min 1 sec"},
                                         DescCase{172800, "2 days 0 secs"}));

}  // namespace
}  // namespace zorva
