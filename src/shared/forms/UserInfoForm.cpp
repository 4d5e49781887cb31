#include "UserInfoForm.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QTextCursor>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <utility>

#include "GlyphImage.h"
#include "ModalResult.h"
#include "Prompts.h"
#include "WireText.h"

namespace zorva {

TfrmUserInfo* frmUserInfo = nullptr;

namespace {

constexpr int kMaxGlyphSide = TZorvaUser::kMaxGlyphSide;

QString RunGlyphDialog(QFileDialog& dialog) {
  if (Prompts().RunDialog(dialog) != QDialog::Accepted) return QString();
  return dialog.selectedFiles().value(0);
}

TGlyphFileChooser gGlyphFileChooser = RunGlyphDialog;

template <typename TWidget>
TWidget* Named(TWidget* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QLineEdit* NewEdit(const char* name, int maxLength) {
  auto* edit = Named(new QLineEdit, name);
  edit->setMaxLength(maxLength);
  return edit;
}

// The position and length of what an edit put into `after` that `before` did not hold: the
// text between their common beginning and their common end.
std::pair<qsizetype, qsizetype> InsertedRange(const QString& before, const QString& after) {
  const qsizetype shorter = std::min(before.size(), after.size());
  qsizetype prefix = 0;
  while (prefix < shorter && before[prefix] == after[prefix]) ++prefix;
  qsizetype suffix = 0;
  while (suffix < shorter - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  return {prefix, after.size() - suffix - prefix};
}

// Rows close together, so that the form keeps near its classic 487 × 285 with today's fonts.
QFormLayout* NewCompactForm(QWidget* group = nullptr) {
  auto* layout = new QFormLayout(group);
  layout->setVerticalSpacing(3);
  if (group) layout->setContentsMargins(8, 4, 8, 6);
  return layout;
}

}  // namespace

void SetGlyphFileChooser(TGlyphFileChooser chooser) {
  gGlyphFileChooser = chooser ? std::move(chooser) : TGlyphFileChooser(RunGlyphDialog);
}

TfrmUserInfo::TfrmUserInfo(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmUserInfo"));
  setWindowTitle(QStringLiteral("User Info"));
  CreateControls();
  LayOutControls();
  SetEditable(false);
  SetAllowEdits(false);
  btnCancel->hide();
  setFixedSize(minimumSizeHint().expandedTo(QSize(487, 285)));
}

void TfrmUserInfo::CreateControls() {
  GroupBox1 = Named(new QGroupBox(QStringLiteral("User Information")), "GroupBox1");
  imGlyph = Named(new QLabel, "imGlyph");
  imGlyph->setFixedSize(kMaxGlyphSide, kMaxGlyphSide);
  imGlyph->setAlignment(Qt::AlignCenter);
  btnGlyph = Named(new QToolButton, "btnGlyph");
  btnGlyph->setText(QStringLiteral("Glyph"));
  btnGlyph->setAutoRaise(true);
  Label1 = Named(new QLabel(QStringLiteral("User ID:")), "Label1");
  edtUserId = NewEdit("edtUserId", kUserIdLength);
  // Reachable by a click, skipped by Tab.
  edtUserId->setFocusPolicy(Qt::ClickFocus);
  lblPassword1 = Named(new QLabel(QStringLiteral("Password:")), "lblPassword1");
  edtPassword1 = NewEdit("edtPassword1", kPasswordLength);
  lblPassword2 = Named(new QLabel(QStringLiteral("Re-Type:")), "lblPassword2");
  edtPassword2 = NewEdit("edtPassword2", kPasswordLength);
  for (QLineEdit* password : {edtPassword1, edtPassword2}) {
    password->setEchoMode(QLineEdit::Password);
    password->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
  }

  GroupBox2 = Named(new QGroupBox(QStringLiteral("Personal Information")), "GroupBox2");
  edtFirstName = NewEdit("edtFirstName", kNameLength);
  edtLastName = NewEdit("edtLastName", kNameLength);
  edtCity = NewEdit("edtCity", kNameLength);
  edtCountry = NewEdit("edtCountry", kNameLength);

  GroupBox3 = Named(new QGroupBox(QStringLiteral("Additional Information")), "GroupBox3");
  edtEMail = NewEdit("edtEMail", kAddressLength);
  edtHomePage = NewEdit("edtHomePage", kAddressLength);
  QFont linkFont = edtHomePage->font();
  linkFont.setUnderline(true);
  edtHomePage->setFont(linkFont);
  QPalette linkPalette = edtHomePage->palette();
  linkPalette.setColor(QPalette::Text, Qt::blue);
  edtHomePage->setPalette(linkPalette);
  edtHomePage->setCursor(Qt::PointingHandCursor);
  edtHomePage->installEventFilter(this);
  memoComments = Named(new QPlainTextEdit, "memoComments");
  memoProperties = Named(new QPlainTextEdit, "memoProperties");
  memoProperties->setReadOnly(true);
  for (QPlainTextEdit* memo : {memoComments, memoProperties}) memo->setMinimumHeight(40);

  btnOk = Named(new QPushButton(QStringLiteral("OK")), "btnOk");
  btnOk->setDefault(true);
  btnCancel = Named(new QPushButton(QStringLiteral("Cancel")), "btnCancel");
  btnEdit = Named(new QPushButton(QStringLiteral("Edit")), "btnEdit");
  dlgGlyph = nullptr;
  imTestImage = Named(new QLabel(this), "imTestImage");
  imTestImage->hide();

  connect(btnOk, &QPushButton::clicked, this, &TfrmUserInfo::btnOkClick);
  connect(btnCancel, &QPushButton::clicked, this, &TfrmUserInfo::reject);
  connect(btnEdit, &QPushButton::clicked, this, &TfrmUserInfo::btnEditClick);
  connect(btnGlyph, &QToolButton::clicked, this, &TfrmUserInfo::btnGlyphClick);
  connect(memoComments, &QPlainTextEdit::textChanged, this, &TfrmUserInfo::LimitComment);
}

void TfrmUserInfo::LayOutControls() {
  auto* bevel = new QFrame;
  bevel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  bevel->setFixedSize(48, 48);
  auto* bevelLayout = new QVBoxLayout(bevel);
  bevelLayout->setContentsMargins(0, 0, 0, 0);
  bevelLayout->addWidget(imGlyph, 0, Qt::AlignCenter);
  auto* glyphColumn = new QVBoxLayout;
  glyphColumn->addWidget(bevel);
  glyphColumn->addWidget(btnGlyph, 0, Qt::AlignHCenter);
  glyphColumn->addStretch();
  auto* identity = NewCompactForm();
  identity->addRow(Label1, edtUserId);
  identity->addRow(lblPassword1, edtPassword1);
  identity->addRow(lblPassword2, edtPassword2);
  auto* userBox = new QHBoxLayout(GroupBox1);
  userBox->setContentsMargins(8, 4, 8, 6);
  userBox->addLayout(glyphColumn);
  userBox->addLayout(identity, 1);

  auto* personal = NewCompactForm(GroupBox2);
  personal->addRow(QStringLiteral("First Name:"), edtFirstName);
  personal->addRow(QStringLiteral("Last Name:"), edtLastName);
  personal->addRow(QStringLiteral("City:"), edtCity);
  personal->addRow(QStringLiteral("Country:"), edtCountry);

  auto* additional = NewCompactForm(GroupBox3);
  additional->addRow(QStringLiteral("EMail:"), edtEMail);
  additional->addRow(QStringLiteral("Home Page:"), edtHomePage);
  additional->addRow(new QLabel(QStringLiteral("Comments:")));
  additional->addRow(memoComments);
  additional->addRow(new QLabel(QStringLiteral("Server-Assigned Properties:")));
  additional->addRow(memoProperties);

  auto* leftColumn = new QVBoxLayout;
  leftColumn->addWidget(GroupBox1);
  leftColumn->addWidget(GroupBox2);
  auto* groups = new QHBoxLayout;
  groups->addLayout(leftColumn, 1);
  groups->addWidget(GroupBox3, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnEdit);
  buttons->addWidget(btnOk);
  buttons->addWidget(btnCancel);
  auto* form = new QVBoxLayout(this);
  form->setContentsMargins(8, 6, 8, 8);
  form->setSpacing(6);
  form->addLayout(groups, 1);
  form->addLayout(buttons);
}

void TfrmUserInfo::Populate(TZorvaUser& user, const std::vector<std::string>* validInfoTokens) {
  FUser = &user;
  FNewUser = user.Id().empty();
  ShowField(edtUserId, kUserIdLength, user.Id());
  ShowField(edtPassword1, kPasswordLength, user.Password());
  ShowField(edtPassword2, kPasswordLength, user.Password());
  ShowField(edtFirstName, kNameLength, user.FirstName());
  ShowField(edtLastName, kNameLength, user.LastName());
  ShowField(edtCity, kNameLength, user.City());
  ShowField(edtCountry, kNameLength, user.Country());
  ShowField(edtEMail, kAddressLength, user.EMail());
  ShowField(edtHomePage, kAddressLength, user.HomePage());
  ShowGlyph(BitmapToImage(user.Glyph()));
  // OK ends every comment line with a blank; showing the comment without that last blank keeps
  // an unchanged comment as it was through any number of edits.
  FComment = TWireText(user.AdditionalInfo());
  QString comment = FComment.Shown();
  if (comment.endsWith(QLatin1Char(' '))) comment.chop(1);
  FShownComment = comment;
  FAcceptedComment = comment;
  memoComments->setPlainText(comment);
  ShowInfoTokens(validInfoTokens);
}

// The limit binds what the person types: a longer stored value is shown whole and may shrink.
void TfrmUserInfo::ShowField(QLineEdit* edit, int limit, const std::string& bytes) {
  const TWireText& received = FReceived[edit] = TWireText(bytes);
  edit->setMaxLength(std::max<int>(limit, static_cast<int>(received.Shown().size())));
  edit->setText(received.Shown());
}

std::string TfrmUserInfo::FieldBytes(const QLineEdit* edit) const {
  const auto found = FReceived.find(edit);
  if (found == FReceived.end()) return WireTextOf(edit->text());
  return found->second.Bytes(edit->text());
}

void TfrmUserInfo::ShowInfoTokens(const std::vector<std::string>* validInfoTokens) {
  QSet<QString> shownTags;
  if (validInfoTokens) {
    for (const std::string& tag : *validInfoTokens) {
      shownTags.insert(ShowWireText(tag).toCaseFolded());
    }
  }
  QStringList lines;
  for (int i = 0; i < FUser->GetInfoTokenCount(); ++i) {
    const QString tag = ShowWireText(FUser->GetInfoTokenTag(i));
    if (!shownTags.isEmpty() && !shownTags.contains(tag.toCaseFolded())) continue;
    lines << tag + QStringLiteral(": ") + ShowWireText(FUser->GetInfoTokenValue(i));
  }
  memoProperties->setPlainText(lines.join(QLatin1Char('\n')));
}

void TfrmUserInfo::SetEditable(bool value) {
  FEditable = value;
  for (QLineEdit* edit : {edtUserId, edtPassword1, edtPassword2, edtFirstName, edtLastName, edtCity,
                          edtCountry, edtEMail, edtHomePage}) {
    edit->setReadOnly(!value);
  }
  memoComments->setReadOnly(!value);
  for (QWidget* widget : std::initializer_list<QWidget*>{btnGlyph, edtPassword1, edtPassword2,
                                                         lblPassword1, lblPassword2}) {
    widget->setVisible(value);
  }
  // An existing id can never be changed; a new one can be typed.
  edtUserId->setReadOnly(!edtUserId->text().isEmpty());
}

void TfrmUserInfo::SetAllowEdits(bool value) {
  FAllowEdits = value;
  btnEdit->setVisible(value);
}

void TfrmUserInfo::FormShow() {
  edtUserId->setFocus();
}

void TfrmUserInfo::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void TfrmUserInfo::btnEditClick() {
  SetEditable(true);
  btnCancel->show();
  btnEdit->hide();
  edtFirstName->setFocus();
}

void TfrmUserInfo::btnOkClick() {
  if (btnCancel->isHidden()) {
    done(mrOk);
    return;
  }
  if (!CheckEntries()) return;
  WriteBack();
  done(mrYes);
}

bool TfrmUserInfo::CheckEntries() {
  if (edtUserId->text().isEmpty()) {
    Prompts().Inform(this, QStringLiteral("Please provide a User ID."));
    edtUserId->setFocus();
    return false;
  }
  if (!KeepsPassword() && (edtPassword1->text().isEmpty() || edtPassword2->text().isEmpty() ||
                           edtPassword1->text() != edtPassword2->text())) {
    Prompts().Inform(this, QStringLiteral("Please make sure the Password fields match."));
    edtPassword1->setFocus();
    return false;
  }
  return true;
}

// The server never sends a password, so an existing user who leaves both fields empty keeps the
// stored one: the record goes back with an empty password. A new user has none to keep.
bool TfrmUserInfo::KeepsPassword() const {
  return !FNewUser && edtPassword1->text().isEmpty() && edtPassword2->text().isEmpty();
}

void TfrmUserInfo::WriteBack() {
  if (!FUser) return;
  FUser->SetId(FieldBytes(edtUserId));
  FUser->SetPassword(KeepsPassword() ? std::string() : FieldBytes(edtPassword1));
  FUser->SetFirstName(FieldBytes(edtFirstName));
  FUser->SetLastName(FieldBytes(edtLastName));
  FUser->SetCity(FieldBytes(edtCity));
  FUser->SetCountry(FieldBytes(edtCountry));
  FUser->SetEMail(FieldBytes(edtEMail));
  FUser->SetHomePage(FieldBytes(edtHomePage));
  FUser->SetAdditionalInfo(CommentFromMemo());
  FUser->SetGlyph(ImageToBitmap(FGlyph));
}

std::string TfrmUserInfo::CommentFromMemo() const {
  if (memoComments->toPlainText() == FShownComment) return FComment.Received();
  QStringList lines = memoComments->toPlainText().split(QLatin1Char('\n'));
  // A final line break starts no line of its own.
  if (lines.last().isEmpty()) lines.removeLast();
  QString comment;
  for (const QString& line : lines) comment += line + QLatin1Char(' ');
  return WireTextOf(comment);
}

// Typing or pasting past the limit keeps only what fits; a longer comment that Populate showed
// may shrink but not grow.
void TfrmUserInfo::LimitComment() {
  const QString text = memoComments->toPlainText();
  const qsizetype allowed = std::max<qsizetype>(kMaxCommentLength, FAcceptedComment.size());
  if (text.size() <= allowed) {
    FAcceptedComment = text;
    return;
  }
  const auto [start, length] = InsertedRange(FAcceptedComment, text);
  const qsizetype excess = text.size() - allowed;
  QTextCursor cursor(memoComments->document());
  cursor.setPosition(static_cast<int>(start + length - excess));
  cursor.setPosition(static_cast<int>(start + length), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void TfrmUserInfo::ShowGlyph(const QImage& image) {
  FGlyph = image;
  imGlyph->setPixmap(QPixmap::fromImage(image));
}

void TfrmUserInfo::btnGlyphClick() {
  if (!dlgGlyph) {
    dlgGlyph = Named(new QFileDialog(this, QStringLiteral("Select a Glyph"), QString(),
                                     QStringLiteral("Bitmaps (*.bmp)")),
                     "dlgGlyph");
    dlgGlyph->setFileMode(QFileDialog::ExistingFile);
    dlgGlyph->setDefaultSuffix(QStringLiteral("bmp"));
  }
  const QString file = gGlyphFileChooser(*dlgGlyph);
  if (file.isEmpty()) return;
  QImageReader reader(file);
  QImage picture;
  if (!reader.read(&picture)) {
    Prompts().Inform(this, QStringLiteral("Cannot load the picture %1: %2")
                               .arg(QDir::toNativeSeparators(file), reader.errorString()));
    return;
  }
  imTestImage->setPixmap(QPixmap::fromImage(picture));
  imTestImage->adjustSize();
  if (picture.width() > kMaxGlyphSide || picture.height() > kMaxGlyphSide) {
    Prompts().Inform(this,
                     QStringLiteral("The selected Glyph cannot be bigger then 32x32 pixels."));
    return;
  }
  ShowGlyph(picture.convertToFormat(QImage::Format_RGB32));
}

void TfrmUserInfo::edtHomePageClick() {
  if (!edtHomePage->isReadOnly() || edtHomePage->text().isEmpty()) return;
  QDesktopServices::openUrl(QUrl::fromUserInput(edtHomePage->text()));
}

bool TfrmUserInfo::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edtHomePage && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    edtHomePageClick();
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmUserInfo::reject() {
  done(mrCancel);
}

}  // namespace zorva
