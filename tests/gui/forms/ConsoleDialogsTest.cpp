#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <limits>
#include <optional>

#include "ConsoleImages.h"
#include "ModalResult.h"
#include "NewSubjectForm.h"
#include "ServerSettingsForm.h"
#include "SpinEdit.h"

namespace zorva {
namespace {

struct TSpinCase {
  const char* label;
  const char* text;
  std::int32_t value;
};

class SpinEditValue : public ::testing::TestWithParam<TSpinCase> {};

TEST_P(SpinEditValue, ReadsTheTextAsAWholeNumberOrZero) {
  TSpinEdit spin;
  spin.findChild<QLineEdit*>()->setText(QString::fromLatin1(GetParam().text));
  EXPECT_EQ(spin.Value(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpinEditValue,
    ::testing::Values(TSpinCase{"Number", "4000", 4000}, TSpinCase{"Letters", "abc", 0},
                      TSpinCase{"TrailingLetters", "40ab", 0}, TSpinCase{"Empty", "", 0},
                      TSpinCase{"Negative", "-5", -5}, TSpinCase{"Blanks", " 80 ", 80},
                      TSpinCase{"Fraction", "1.5", 0}, TSpinCase{"Beyond32Bits", "99999999999", 0}),
    [](const auto& info) { return info.param.label; });

TEST(SpinEditTest, StepsStopAtTheEndsOfTheRange) {
  TSpinEdit spin;
  spin.SetValue(std::numeric_limits<std::int32_t>::max() - 1);
  spin.stepBy(5);
  EXPECT_EQ(spin.Value(), std::numeric_limits<std::int32_t>::max());
  spin.findChild<QLineEdit*>()->setText(QStringLiteral("junk"));
  spin.stepBy(-1);
  EXPECT_EQ(spin.text(), QStringLiteral("-1"));
}

// The named controls in the order Tab visits them, starting from `first`.
QStringList TabOrder(QWidget* first, const QStringList& names) {
  QStringList order;
  QWidget* widget = first;
  do {
    if (names.contains(widget->objectName()) && !order.contains(widget->objectName())) {
      order << widget->objectName();
    }
    widget = widget->nextInFocusChain();
  } while (widget != first && order.size() < names.size());
  return order;
}

TEST(ServerSettingsTest, FillsReadsAndClosesWithOkOrCancel) {
  TfrmServerSettings dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Server Settings"));
  EXPECT_EQ(dialog.TimeoutSeconds(), 60);
  dialog.SetPort(4000);
  dialog.SetLobbyName("Lobby Chat");
  dialog.SetTimeoutSeconds(90);
  EXPECT_EQ(dialog.Port(), 4000);
  EXPECT_EQ(dialog.LobbyName(), "Lobby Chat");
  EXPECT_EQ(dialog.TimeoutSeconds(), 90);
  dialog.spinPortNbr->findChild<QLineEdit*>()->setText(QStringLiteral("port"));
  dialog.edtLobbyName->clear();
  EXPECT_EQ(dialog.Port(), 0);
  EXPECT_EQ(dialog.LobbyName(), "");

  dialog.show();
  dialog.btnOk->click();
  EXPECT_EQ(dialog.result(), mrOk);
  dialog.show();
  dialog.btnCancel->click();
  EXPECT_EQ(dialog.result(), mrCancel);
  dialog.show();
  dialog.close();
  EXPECT_EQ(dialog.result(), mrCancel);
  EXPECT_TRUE(dialog.btnOk->isDefault());
}

TEST(ServerSettingsTest, TellsWhetherTlsIsOnAndWhere) {
  struct Case {
    std::optional<std::uint16_t> Port;
    bool PlainToo;
    const char* Shown;
  };
  const Case cases[] = {
      {std::nullopt, true, "TLS: off"},
      {4001, true, "TLS: on, port 4001"},
      {0, true, "TLS: on, any free port"},
      {4001, false, "TLS: on, port 4001 (no plain port)"},
  };
  TfrmServerSettings dialog;
  EXPECT_EQ(dialog.lblTls->text(), QStringLiteral("TLS: off"));
  for (const Case& c : cases) {
    dialog.SetTls(c.Port, c.PlainToo);
    EXPECT_EQ(dialog.lblTls->text().toStdString(), c.Shown);
  }
}

TEST(ServerSettingsTest, TabOrder) {
  TfrmServerSettings dialog;
  const QStringList order = {"spinPortNbr", "btnCancel", "btnOk", "edtLobbyName", "spinTimeout"};
  EXPECT_EQ(TabOrder(dialog.spinPortNbr, order), order);
}

TEST(NewSubjectTest, StartsEmptyFocusesTheNameAndReadsBack) {
  TfrmNewSubject dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("New Subject Properties"));
  EXPECT_EQ(dialog.SubjectName(), "");
  EXPECT_EQ(dialog.MaxPlayers(), 0);
  EXPECT_FALSE(dialog.Persistent());
  dialog.show();
  EXPECT_EQ(dialog.focusWidget(), dialog.edtSubjectName);

  dialog.edtSubjectName->setText(QStringLiteral("Chess"));
  dialog.spinMaxPlayers->SetValue(8);
  dialog.cbPersistent->setChecked(true);
  dialog.BitBtn2->click();
  EXPECT_EQ(dialog.result(), mrOk);
  EXPECT_EQ(dialog.SubjectName(), "Chess");
  EXPECT_EQ(dialog.MaxPlayers(), 8);
  EXPECT_TRUE(dialog.Persistent());
  dialog.show();
  dialog.BitBtn1->click();
  EXPECT_EQ(dialog.result(), mrCancel);
}

TEST(NewSubjectTest, TabOrder) {
  TfrmNewSubject dialog;
  const QStringList order = {"cbPersistent", "edtSubjectName", "spinMaxPlayers", "BitBtn1",
                             "BitBtn2"};
  EXPECT_EQ(TabOrder(dialog.cbPersistent, order), order);
}

TEST(ConsoleImagesTest, SeventeenPicturesOf16AndAnAlarmOf15) {
  const std::vector<QIcon> images = ConsoleImages();
  ASSERT_EQ(images.size(), static_cast<std::size_t>(kConsoleImageCount));
  for (std::size_t i = 0; i < images.size(); ++i) {
    EXPECT_EQ(images[i].pixmap(16, 16).size(), QSize(16, 16)) << "picture " << i;
  }
  EXPECT_EQ(ConsoleImage(TConsoleImage::UserInfo).pixmap(16, 16).toImage(),
            images[16].pixmap(16, 16).toImage());
  EXPECT_EQ(AlarmPixmap().size(), QSize(15, 15));
}

}  // namespace
}  // namespace zorva
