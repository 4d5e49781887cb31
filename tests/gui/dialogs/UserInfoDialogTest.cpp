#include "ZorvaUserInfoDialog.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ModalResult.h"
#include "ScriptedPrompts.h"
#include "UserInfoForm.h"

namespace zorva {
namespace {

TZorvaUser User(const std::string& id) {
  TZorvaUser user;
  user.SetId(id);
  user.SetPassword("pw");
  user.SetFirstName("Ann");
  user.SetInfoTokens({"Level=3", "Color=red", "SCORE=1"});
  return user;
}

TfrmUserInfo& Form(QDialog& dialog) {
  return static_cast<TfrmUserInfo&>(dialog);
}

struct TOpeningCase {
  const char* label;
  const char* id;
  bool allowEdits;
  bool editMode;
  bool editOffered;
};

class UserInfoDialogOpening : public ::testing::TestWithParam<TOpeningCase> {
 protected:
  test::TScriptedPrompts FScript;
  TZorvaUserInfoDialog FDialog;
};

TEST_P(UserInfoDialogOpening, OpensInTheRightMode) {
  const TOpeningCase& c = GetParam();
  TZorvaUser user = User(c.id);
  const TZorvaUser before = user;
  FScript.Dialogs = {[&](QDialog& dialog) {
    TfrmUserInfo& form = Form(dialog);
    EXPECT_EQ(frmUserInfo, &form);
    EXPECT_EQ(form.Editable(), c.editMode);
    EXPECT_EQ(form.btnCancel->isVisible(), c.editMode);
    EXPECT_EQ(form.edtPassword1->isVisible(), c.editMode);
    EXPECT_EQ(form.btnEdit->isVisible(), c.editOffered);
    // A new id can be typed; an existing one never changes.
    EXPECT_EQ(form.edtUserId->isReadOnly(), user.Id() != "");
    form.reject();
    return form.result();
  }};

  EXPECT_FALSE(FDialog.Execute(user, c.allowEdits));
  EXPECT_EQ(FScript.Asked, std::vector<std::string>{"Dialog: zorva::TfrmUserInfo"});
  EXPECT_EQ(frmUserInfo, nullptr);
  EXPECT_EQ(user, before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserInfoDialogOpening,
    ::testing::Values(TOpeningCase{"NewUserEditsAllowed", "", true, true, false},
                      TOpeningCase{"NewUserEditsRefused", "", false, true, false},
                      TOpeningCase{"KnownUserEditsAllowed", "ann", true, false, true},
                      TOpeningCase{"KnownUserEditsRefused", "ann", false, false, false}),
    [](const auto& info) { return info.param.label; });

class UserInfoDialogTest : public ::testing::Test {
 protected:
  test::TScriptedPrompts FScript;
  TZorvaUserInfoDialog FDialog;
};

TEST_F(UserInfoDialogTest, StartsWithTheDocumentedValues) {
  EXPECT_EQ(FDialog.Title(), "User Info");
  EXPECT_TRUE(FDialog.ValidInfoTokens().empty());
}

TEST_F(UserInfoDialogTest, ViewAndOkReturnsFalse) {
  TZorvaUser user = User("ann");
  const TZorvaUser before = user;
  FScript.Dialogs = {[](QDialog& dialog) {
    Form(dialog).btnOkClick();
    return dialog.result();
  }};
  EXPECT_FALSE(FDialog.Execute(user, true));
  EXPECT_EQ(user, before);
}

TEST_F(UserInfoDialogTest, EditAndConfirmReturnsTrueWithTheRecordChanged) {
  TZorvaUser user = User("ann");
  FScript.Dialogs = {[](QDialog& dialog) {
    TfrmUserInfo& form = Form(dialog);
    form.btnEditClick();
    form.edtFirstName->setText("Bo");
    form.edtPassword1->setText("new");
    form.edtPassword2->setText("new");
    form.btnOkClick();
    return form.result();
  }};
  EXPECT_TRUE(FDialog.Execute(user, true));
  EXPECT_EQ(user.FirstName(), "Bo");
  EXPECT_EQ(user.Password(), "new");
  EXPECT_EQ(user.Id(), "ann");
}

TEST_F(UserInfoDialogTest, EditThenCancelReturnsFalseAndKeepsTheRecord) {
  TZorvaUser user = User("ann");
  const TZorvaUser before = user;
  FScript.Dialogs = {[](QDialog& dialog) {
    TfrmUserInfo& form = Form(dialog);
    form.btnEditClick();
    form.edtFirstName->setText("Bo");
    form.btnCancel->click();
    return form.result();
  }};
  EXPECT_FALSE(FDialog.Execute(user, true));
  EXPECT_EQ(user, before);
}

TEST_F(UserInfoDialogTest, NewUserEnteredEvenWhenEditsAreNotAllowed) {
  TZorvaUser user;
  FScript.Dialogs = {[](QDialog& dialog) {
    TfrmUserInfo& form = Form(dialog);
    form.edtUserId->setText("newbie");
    form.edtPassword1->setText("pw");
    form.edtPassword2->setText("pw");
    form.btnOkClick();
    return form.result();
  }};
  EXPECT_TRUE(FDialog.Execute(user, false));
  EXPECT_EQ(user.Id(), "newbie");
  EXPECT_EQ(user.Password(), "pw");
}

TEST_F(UserInfoDialogTest, ShowsOnlyTheValidInfoTokens) {
  std::vector<std::string> tags{"level", "score"};
  FDialog.SetValidInfoTokens(tags);
  tags.clear();  // the dialog keeps its own copy
  TZorvaUser user = User("ann");
  QString shown;
  FScript.Dialogs = {[&](QDialog& dialog) {
    shown = Form(dialog).memoProperties->toPlainText();
    return int(mrOk);
  }};
  FDialog.Execute(user, false);
  EXPECT_EQ(shown, "Level: 3\nSCORE: 1");
}

TEST_F(UserInfoDialogTest, TitleIsTheCaptionOfTheNextForm) {
  TZorvaUser user = User("ann");
  QStringList captions;
  const auto readCaption = [&](QDialog& dialog) {
    captions << dialog.windowTitle();
    return int(mrOk);
  };
  FScript.Dialogs = {readCaption, readCaption};
  FDialog.Execute(user, false);
  FDialog.SetCaption("Player");
  FDialog.Execute(user, false);
  EXPECT_EQ(captions, (QStringList{"User Info", "Player"}));
}

}  // namespace
}  // namespace zorva
