// One small seam for every question, message box, input box and modal dialog of the forms and
// the operator window, so that tests answer them without a real modal loop.
//
//   if (Prompts().Confirm(this, "Are you sure you want to kill this User?")) ...
//   SetPrompts(&scriptedAnswers);  // in a test
#pragma once

#include <QString>
#include <optional>

class QDialog;
class QWidget;

namespace zorva {

class IPrompts {
 public:
  virtual ~IPrompts() = default;
  // A Yes/No question; true for Yes.
  virtual bool Confirm(QWidget* parent, const QString& text) = 0;
  virtual void Inform(QWidget* parent, const QString& text) = 0;
  // An input box; nothing when cancelled.
  virtual std::optional<QString> AskText(QWidget* parent, const QString& title,
                                         const QString& prompt) = 0;
  // Shows the dialog modally and returns its result code.
  virtual int RunDialog(QDialog& dialog) = 0;
};

// The prompts in force: real message boxes unless a test installed its own.
IPrompts& Prompts();
// Installs `prompts` (not owned); nullptr restores the real ones.
void SetPrompts(IPrompts* prompts);

}  // namespace zorva
