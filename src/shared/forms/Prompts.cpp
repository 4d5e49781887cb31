#include "Prompts.h"

#include <QDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace zorva {

namespace {

// Room beside a window title for the title bar's own buttons.
constexpr int kTitleBarButtons = 160;

class TWidgetPrompts : public IPrompts {
 public:
  bool Confirm(QWidget* parent, const QString& text) override {
    // Every question asks before something is destroyed: a stray Enter must not answer Yes.
    return QMessageBox::question(parent, QString(), text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  }
  void Inform(QWidget* parent, const QString& text) override {
    QMessageBox::information(parent, QString(), text);
  }
  std::optional<QString> AskText(QWidget* parent, const QString& title,
                                 const QString& prompt) override {
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
    // Sized by its prompt alone, the box would cut its own title; its layout sets its width.
    if (auto* edit = dialog.findChild<QLineEdit*>())
      edit->setMinimumWidth(dialog.fontMetrics().horizontalAdvance(title) + kTitleBarButtons);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.textValue();
  }
  int RunDialog(QDialog& dialog) override { return dialog.exec(); }
};

TWidgetPrompts gWidgetPrompts;
IPrompts* gPrompts = &gWidgetPrompts;

}  // namespace

IPrompts& Prompts() {
  return *gPrompts;
}

void SetPrompts(IPrompts* prompts) {
  gPrompts = prompts ? prompts : &gWidgetPrompts;
}

}  // namespace zorva
