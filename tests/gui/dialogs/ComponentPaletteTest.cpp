#include "ComponentPalette.h"

#include <gtest/gtest.h>

#include <QFile>
#include <set>

#include "PaletteBitmap.h"
#include "ZorvaComp.h"

namespace zorva {
namespace {

TEST(ComponentPaletteTest, RegisteringAgainAddsNothingAndPagesKeepTheirOrder) {
  TComponentPalette palette;
  palette.RegisterComponents("Zorva", {"TZorvaConnection"});
  palette.RegisterComponents("Other", {"TThing"});
  palette.RegisterComponents("Zorva", {"TZorvaConnection", "TZorvaUserInfoDialog"});

  EXPECT_EQ(palette.Pages(), (std::vector<std::string>{"Zorva", "Other"}));
  EXPECT_EQ(palette.Components("Zorva"),
            (std::vector<TPaletteEntry>{{"TZorvaConnection", "TZORVACONNECTION"},
                                        {"TZorvaUserInfoDialog", "TZORVAUSERINFODIALOG"}}));
  EXPECT_TRUE(palette.Components("zorva").empty());
}

TEST(ComponentPaletteTest, ThePackageRegistersItsThreeClassesOnZorva) {
  RegisterZorvaComp();
  RegisterZorvaComp();
  EXPECT_EQ(ComponentPalette().Components("Zorva"),
            (std::vector<TPaletteEntry>{{"TZorvaConnection", "TZORVACONNECTION"},
                                        {"TZorvaServerStatsDialog", "TZORVASERVERSTATSDIALOG"},
                                        {"TZorvaUserInfoDialog", "TZORVAUSERINFODIALOG"}}));
  EXPECT_EQ(kZorvaCompDescription, "ZorvaServer Components");
}

TEST(ComponentPaletteTest, EveryClassHasA24By24SixteenColourBitmap) {
  RegisterZorvaComp();
  for (const TPaletteEntry& entry : ComponentPalette().Components("Zorva")) {
    SCOPED_TRACE(entry.BitmapResource);
    QFile file(
        QStringLiteral(":/palette/%1.bmp").arg(QString::fromStdString(entry.BitmapResource)));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray header = file.read(30);
    ASSERT_EQ(header.size(), 30);
    EXPECT_EQ(header[28], 4) << "bits per pixel";

    const Bitmap bitmap = PaletteBitmap(entry.BitmapResource);
    ASSERT_EQ(bitmap.Width(), 24);
    ASSERT_EQ(bitmap.Height(), 24);
    std::set<std::uint32_t> colours;
    for (int y = 0; y < 24; ++y) {
      for (int x = 0; x < 24; ++x) colours.insert(bitmap.Pixel(x, y));
    }
    EXPECT_GT(colours.size(), 2u) << "a picture, not a blank";
  }
  EXPECT_TRUE(PaletteBitmap("TNOSUCHCLASS").Empty());
}

}  // namespace
}  // namespace zorva
