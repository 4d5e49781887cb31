// What every forms test shares: one QApplication for the whole run (set up by a global test
// environment) and prompts that record each message instead of showing a box and let a test's
// script work each modal dialog.
#pragma once

#include <QDialog>
#include <QStringList>
#include <deque>
#include <functional>

#include "Prompts.h"

namespace zorva {

class TScriptedPrompts : public IPrompts {
 public:
  TScriptedPrompts() { SetPrompts(this); }
  ~TScriptedPrompts() override { SetPrompts(nullptr); }

  bool Confirm(QWidget*, const QString& text) override {
    FMessages << text;
    return true;
  }
  void Inform(QWidget*, const QString& text) override { FMessages << text; }
  std::optional<QString> AskText(QWidget*, const QString&, const QString&) override {
    return std::nullopt;
  }
  // With a script, RunDialog shows the dialog and lets the script work it as a person would; the
  // script's return is the dialog's result. Without one, dialogs return 0 at once.
  using TDialogScript = std::function<int(QDialog& dialog)>;
  void SetDialogScript(TDialogScript script) { FDialogScript = std::move(script); }
  int RunDialog(QDialog& dialog) override {
    ++FDialogRuns;
    if (!FDialogScript) return 0;
    dialog.show();
    return FDialogScript(dialog);
  }

  const QStringList& Messages() const { return FMessages; }
  int DialogRuns() const { return FDialogRuns; }

 private:
  QStringList FMessages;
  TDialogScript FDialogScript;
  int FDialogRuns = 0;
};

}  // namespace zorva
