// TZorvaUserInfoDialog: shows a user's record in the user info form with one call, for viewing,
// editing, or entering a new user (a record with an empty id). Client programs keep one and call
// Execute (under a QApplication).
//
//   TZorvaUserInfoDialog dialog;
//   dialog.SetValidInfoTokens({"level", "score"});
//   if (dialog.Execute(*conn.CurrentUser(), true)) conn.UpdateUserInfo();
#pragma once

#include <string>
#include <vector>

#include "ZorvaUser.h"

namespace zorva {

class TZorvaUserInfoDialog {
 public:
  const std::string& Title() const { return FTitle; }
  void SetCaption(std::string value) { FTitle = std::move(value); }
  // Tags of the info tokens to show (any letter case); empty shows them all.
  const std::vector<std::string>& ValidInfoTokens() const { return FValidInfoTokens; }
  void SetValidInfoTokens(const std::vector<std::string>& value) { FValidInfoTokens = value; }

  // Shows `user` modally. The Edit button is offered when `allowEdits`; a user with an empty id
  // opens ready for entry whatever `allowEdits` says. True only when edits were confirmed, and
  // then `user` holds them.
  bool Execute(TZorvaUser& user, bool allowEdits);

  // Puts the class on the component palette.
  static void Register();

 private:
  std::vector<std::string> FValidInfoTokens;
  std::string FTitle = "User Info";
};

}  // namespace zorva
