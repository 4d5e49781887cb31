// TfrmUserInfo: the modal dialog that shows one TZorvaUser and, when allowed, lets the person at
// the screen edit it or fill in a new one. The server's operator window and the client's user
// info dialog both create it into `frmUserInfo`, run it and free it.
//
//   TfrmUserInfo form;
//   form.Populate(user, nullptr);
//   form.SetEditable(false);
//   form.SetAllowEdits(true);
//   if (Prompts().RunDialog(form) == mrYes) ...  // `user` now holds the edited values
#pragma once

#include <QDialog>
#include <QImage>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "UserTextLimits.h"
#include "WireText.h"
#include "ZorvaUser.h"

class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace zorva {

// Runs the glyph's open-picture dialog and returns the chosen file, empty when cancelled.
using TGlyphFileChooser = std::function<QString(QFileDialog& dialog)>;
// Replaces how a glyph file is chosen (tests pick a file); an empty chooser restores the dialog.
void SetGlyphFileChooser(TGlyphFileChooser chooser);

class TfrmUserInfo : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kMaxCommentLength = kCommentLength;

  explicit TfrmUserInfo(QWidget* parent = nullptr);

  // Shows `user` (not owned; OK in edit mode writes into it). With a non-empty
  // `validInfoTokens`, only info tokens whose tag is one of them (ignoring case) are shown.
  void Populate(TZorvaUser& user, const std::vector<std::string>* validInfoTokens);
  void SetEditable(bool value);
  void SetAllowEdits(bool value);
  bool Editable() const { return FEditable; }
  bool AllowEdits() const { return FAllowEdits; }

  void FormShow();
  void btnEditClick();
  void btnOkClick();
  void btnGlyphClick();
  void edtHomePageClick();

  // Closing without OK, by the close box or Esc, is a Cancel.
  void reject() override;

  QGroupBox* GroupBox1;
  QLabel* imGlyph;
  QToolButton* btnGlyph;
  QLabel* Label1;
  QLineEdit* edtUserId;
  QLabel* lblPassword1;
  QLineEdit* edtPassword1;
  QLabel* lblPassword2;
  QLineEdit* edtPassword2;
  QGroupBox* GroupBox2;
  QLineEdit* edtFirstName;
  QLineEdit* edtLastName;
  QLineEdit* edtCity;
  QLineEdit* edtCountry;
  QGroupBox* GroupBox3;
  QLineEdit* edtEMail;
  QLineEdit* edtHomePage;
  QPlainTextEdit* memoComments;
  QPlainTextEdit* memoProperties;
  QPushButton* btnOk;
  QPushButton* btnCancel;
  QPushButton* btnEdit;
  QFileDialog* dlgGlyph;
  QLabel* imTestImage;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void LayOutControls();
  void ShowGlyph(const QImage& image);
  void ShowInfoTokens(const std::vector<std::string>* validInfoTokens);
  void ShowField(QLineEdit* edit, int limit, const std::string& bytes);
  std::string FieldBytes(const QLineEdit* edit) const;
  bool KeepsPassword() const;
  bool CheckEntries();
  void WriteBack();
  std::string CommentFromMemo() const;
  void LimitComment();

  TZorvaUser* FUser = nullptr;
  bool FNewUser = false;  // Populate got an empty id
  // What Populate put into each edit, so that an unchanged field goes back byte for byte.
  std::map<const QLineEdit*, TWireText> FReceived;
  TWireText FComment;
  QString FShownComment;
  bool FEditable = false;
  bool FAllowEdits = false;
  QImage FGlyph;
  QString FAcceptedComment;
};

// The form a caller has currently created, or nullptr.
extern TfrmUserInfo* frmUserInfo;

}  // namespace zorva
