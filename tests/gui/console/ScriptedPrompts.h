// IPrompts for the window tests: answers come from queues the test fills, every question asked
// is recorded, and a question nobody prepared an answer for fails the test (answered No).
#pragma once

#include <gtest/gtest.h>

#include <QDialog>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "Prompts.h"

namespace zorva::test {

class TScriptedPrompts : public IPrompts {
 public:
  std::vector<std::string> Asked;
  std::deque<bool> Confirms;
  std::deque<std::optional<QString>> Texts;
  // Each fills the dialog as the operator would and returns its result code.
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
  int RunDialog(QDialog& dialog) override {
    Asked.push_back(std::string("Dialog: ") + dialog.metaObject()->className());
    const auto fill = Take(Dialogs, std::function<int(QDialog&)>());
    return fill ? fill(dialog) : 2;
  }

 private:
  template <class T>
  T Take(std::deque<T>& answers, T otherwise) {
    if (answers.empty()) {
      ADD_FAILURE() << "unprepared question: " << Asked.back();
      return otherwise;
    }
    T answer = std::move(answers.front());
    answers.pop_front();
    return answer;
  }
};

}  // namespace zorva::test
