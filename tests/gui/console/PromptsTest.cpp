// The real prompts the window asks with: a question answered by a stray Enter says No, and the
// input box shows its whole title.
#include "Prompts.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "QtTestSupport.h"

namespace zorva {
namespace {

class PromptsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  void SetUp() override { SetPrompts(nullptr); }

  // Runs `look` on the modal widget once it is shown, then closes it with Enter.
  template <class TDialog>
  void WhenShown(std::function<void(TDialog&)> look) {
    QTimer::singleShot(0, [look] {
      auto* dialog = qobject_cast<TDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      look(*dialog);
      QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QApplication::sendEvent(dialog->focusWidget() ? dialog->focusWidget() : dialog, &enter);
    });
  }
};

TEST_F(PromptsTest, ConfirmDefaultsToNo) {
  WhenShown<QMessageBox>(
      [](QMessageBox& box) { EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::No)); });
  EXPECT_FALSE(Prompts().Confirm(nullptr, "Are you sure you want to kill this User?"));
}

TEST_F(PromptsTest, InputBoxIsWideEnoughForItsTitle) {
  const QString title = QStringLiteral("Shout Message");
  WhenShown<QInputDialog>([&](QInputDialog& box) {
    EXPECT_EQ(box.windowTitle(), title);
    EXPECT_GT(box.width(), box.fontMetrics().horizontalAdvance(title) + 150);
    box.setTextValue("hi");
  });
  EXPECT_EQ(Prompts().AskText(nullptr, title, "Message:"), QString("hi"));
}

}  // namespace
}  // namespace zorva
