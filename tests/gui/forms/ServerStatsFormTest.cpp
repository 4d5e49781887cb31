#include "ServerStatsForm.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLocale>

namespace zorva {
namespace {

class ServerStatsFormTest : public ::testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  QStringList Values() const {
    QStringList texts;
    for (const QLabel* label :
         {FForm.lblTimeActive, FForm.lblCurrentConnections, FForm.lblCurrentSubjects,
          FForm.lblTotalConnections, FForm.lblPeakConnections, FForm.lblTotalSubjects,
          FForm.lblBytesRead, FForm.lblBytesWritten}) {
      texts << label->text();
    }
    return texts;
  }

  TfrmZorvaServerStats FForm;
};

TEST_F(ServerStatsFormTest, EmptyUntilPopulatedThenZeros) {
  EXPECT_EQ(Values(), QStringList(8, QString()));
  FForm.Populate(TZorvaServerStats());
  EXPECT_EQ(Values(), (QStringList{"0 secs", "0", "0", "0", "0", "0", "0", "0"}));
}

TEST_F(ServerStatsFormTest, EachLabelShowsItsOwnFieldAndASecondPopulateReplacesAll) {
  TZorvaServerStats first;
  first.SetSecondsActive(61);
  first.SetCurrentConnections(1);
  first.SetCurrentSubjects(2);
  first.SetTotalConnections(3);
  first.SetPeakClientsConnected(4);
  first.SetTotalSubjectsCreated(5);
  first.SetBytesRead(1234567);
  first.SetBytesWritten(7654321);
  FForm.Populate(first);
  EXPECT_EQ(Values(),
            (QStringList{"1 min 1 sec", "1", "2", "3", "4", "5", "1,234,567", "7,654,321"}));

  TZorvaServerStats second;
  second.SetTotalConnections(1000);
  FForm.Populate(second);
  EXPECT_EQ(Values(), (QStringList{"0 secs", "0", "0", "1,000", "0", "0", "0", "0"}));
}

struct TCountCase {
  const char* label;
  QLocale::Language language;
  double value;
  const char* text;
};

class FormatCountTest : public ::testing::TestWithParam<TCountCase> {
 protected:
  void TearDown() override { QLocale::setDefault(QLocale::c()); }
};

TEST_P(FormatCountTest, RoundsAndGroupsByTheLocale) {
  QLocale::setDefault(QLocale(GetParam().language));
  EXPECT_EQ(FormatCount(GetParam().value), QString::fromUtf8(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatCountTest,
    ::testing::Values(TCountCase{"Zero", QLocale::English, 0, "0"},
                      TCountCase{"BelowAThousand", QLocale::English, 999, "999"},
                      TCountCase{"Millions", QLocale::English, 1234567, "1,234,567"},
                      TCountCase{"HalfRoundsUp", QLocale::English, 2.5, "3"},
                      TCountCase{"FractionRoundsDown", QLocale::English, 1234.4, "1,234"},
                      TCountCase{"TinyNegativeIsZero", QLocale::English, -0.4, "0"},
                      TCountCase{"Negative", QLocale::English, -1500, "-1,500"},
                      TCountCase{"BeyondSixtyFourBits", QLocale::English, 2e19,
                                 "20,000,000,000,000,000,000"},
                      TCountCase{"GermanSeparator", QLocale::German, 1234567, "1.234.567"}),
    [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace zorva
