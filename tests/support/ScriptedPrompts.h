// TScriptedPrompts: the prompts of every Qt test. While one lives it answers all questions: each
// is recorded in `Asked`, answers come from queues the test fills, and a question nobody
// prepared an answer for fails the test (answered No, Cancel or nothing).
//
//   test::TScriptedPrompts prompts;
//   prompts.Confirms = {true};
//   prompts.Dialogs = {[](QDialog& dialog) { dialog.accept(); return dialog.result(); }};
//   window.actUserKill->trigger();
//   EXPECT_EQ(prompts.Asked.back(), "Confirm: Are you sure you want to kill this User?");
#pragma once

#include <gtest/gtest.h>

#include <QDialog>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ModalResult.h"
#include "Prompts.h"

namespace zorva::test {

class TScriptedPrompts : public IPrompts {
 public:
  TScriptedPrompts() { SetPrompts(this); }
  ~TScriptedPrompts() override { SetPrompts(nullptr); }
  TScriptedPrompts(const TScriptedPrompts&) = delete;
  TScriptedPrompts& operator=(const TScriptedPrompts&) = delete;

  // "Confirm: text", "Inform: text", "AskText: title / prompt", "Dialog: class name".
  std::vector<std::string> Asked;
  std::deque<bool> Confirms;
  std::deque<std::optional<QString>> Texts;
  // Each works the shown dialog as a person would and returns its result code.
  std::deque<std::function<int(QDialog&)>> Dialogs;

  bool Confirm(QWidget*, const QString& text) override {
    Asked.push_back("Confirm: " + text.toStdString());
    return Take(Confirms, false);
  }
  void Inform(QWidget*, const QString& text) override {
    Asked.push_back("Inform: " + text.toStdString());
  }
  std::optional<QString> AskText(QWidget*, const QString& title, const QString& prompt) override {
    Asked.push_back("AskText: " + title.toStdString() + " / " + prompt.toStdString());
    return Take(Texts, std::optional<QString>());
  }
  // Shown while the script works it and hidden afterwards, as a modal run would leave it.
  int RunDialog(QDialog& dialog) override {
    Asked.push_back(std::string("Dialog: ") + dialog.metaObject()->className());
    const auto work = Take(Dialogs, std::function<int(QDialog&)>());
    if (!work) return mrCancel;
    dialog.show();
    const int result = work(dialog);
    dialog.hide();
    return result;
  }

 private:
  template <class T>
  T Take(std::deque<T>& answers, T otherwise) {
    if (answers.empty()) {
      ADD_FAILURE() << "unprepared question: " << Asked.back();
      return otherwise;
    }
    std::swap(otherwise, answers.front());
    answers.pop_front();
    return otherwise;
  }
};

}  // namespace zorva::test
