// What every forms test shares: one QApplication for the whole run (set up by a global test
// environment) and prompts that record each message instead of showing a box.
#pragma once

#include <QStringList>
#include <deque>

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
  int RunDialog(QDialog&) override { return 0; }

  const QStringList& Messages() const { return FMessages; }

 private:
  QStringList FMessages;
};

}  // namespace zorva
