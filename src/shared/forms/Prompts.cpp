#include "Prompts.h"

#include <QDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace zorva {

namespace {

class TWidgetPrompts : public IPrompts {
 public:
  bool Confirm(QWidget* parent, const QString& text) override {
    return QMessageBox::question(parent, QString(), text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
  }
  void Inform(QWidget* parent, const QString& text) override {
    QMessageBox::information(parent, QString(), text);
  }
  std::optional<QString> AskText(QWidget* parent, const QString& title,
                                 const QString& prompt) override {
    bool ok = false;
    const QString text = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, {}, &ok);
    if (!ok) return std::nullopt;
    return text;
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
