#include "UserInfoForm.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QToolButton>

#include "GlyphImage.h"
#include "ModalResult.h"
#include "ScriptedPrompts.h"

namespace zorva {
namespace {

TZorvaUser SampleUser(const std::string& id) {
  TZorvaUser user;
  user.SetId(id);
  user.SetPassword("secret");
  user.SetFirstName("Ann");
  user.SetLastName("Lee");
  user.SetAdditionalInfo("likes chess ");
  user.SetLoginCount(7);
  user.SetInfoTokens({"Level=3", "Color=red", "SCORE=1"});
  Bitmap glyph(2, 1);
  glyph.SetPixel(1, 0, 0x00FFFFFF);
  user.SetGlyph(glyph);
  return user;
}

class UserInfoFormTest : public ::testing::Test {
 protected:
  // Shown in edit mode, as btnEditClick leaves it.
  void OpenForEdit(TZorvaUser& user) {
    FForm.Populate(user, nullptr);
    FForm.SetEditable(false);
    FForm.SetAllowEdits(true);
    FForm.show();
    FForm.btnEditClick();
  }

  test::TScriptedPrompts FPrompts;
  TfrmUserInfo FForm;
};

struct TOkCheckCase {
  const char* label;
  const char* id;
  const char* password1;
  const char* password2;
  const char* message;
  const char* focused;
};

class UserInfoOkChecks : public UserInfoFormTest,
                         public ::testing::WithParamInterface<TOkCheckCase> {};

TEST_P(UserInfoOkChecks, RefusesAndLeavesRecordAndFormAsTheyWere) {
  const TOkCheckCase& c = GetParam();
  TZorvaUser user = SampleUser("");
  const TZorvaUser before = user;
  OpenForEdit(user);
  FForm.edtUserId->setText(QString::fromLatin1(c.id));
  FForm.edtPassword1->setText(QString::fromLatin1(c.password1));
  FForm.edtPassword2->setText(QString::fromLatin1(c.password2));

  FForm.btnOkClick();

  EXPECT_EQ(FPrompts.Asked, std::vector<std::string>{std::string("Inform: ") + c.message});
  EXPECT_EQ(user, before);
  EXPECT_TRUE(FForm.isVisible());
  ASSERT_NE(FForm.focusWidget(), nullptr);
  EXPECT_EQ(FForm.focusWidget()->objectName(), QString::fromLatin1(c.focused));
}

constexpr const char* kIdMessage = "Please provide a User ID.";
constexpr const char* kPasswordMessage = "Please make sure the Password fields match.";

INSTANTIATE_TEST_SUITE_P(
    Cases, UserInfoOkChecks,
    ::testing::Values(
        TOkCheckCase{"EmptyIdBeforeMismatch", "", "abc", "xyz", kIdMessage, "edtUserId"},
        TOkCheckCase{"EmptyIdBeforeEmptyPasswords", "", "", "", kIdMessage, "edtUserId"},
        TOkCheckCase{"EmptyIdWithMatchingPasswords", "", "abc", "abc", kIdMessage, "edtUserId"},
        TOkCheckCase{"Mismatch", "ann", "abc", "abd", kPasswordMessage, "edtPassword1"},
        TOkCheckCase{"CaseDiffers", "ann", "abc", "ABC", kPasswordMessage, "edtPassword1"},
        TOkCheckCase{"FirstCleared", "ann", "", "abc", kPasswordMessage, "edtPassword1"},
        TOkCheckCase{"SecondCleared", "ann", "abc", "", kPasswordMessage, "edtPassword1"},
        TOkCheckCase{"BothCleared", "ann", "", "", kPasswordMessage, "edtPassword1"}),
    [](const auto& info) { return info.param.label; });

TEST_F(UserInfoFormTest, AcceptedEditWritesEveryFieldAndClosesWithYes) {
  TZorvaUser user = SampleUser("ann");
  OpenForEdit(user);
  FForm.edtPassword1->setText(QStringLiteral("new"));
  FForm.edtPassword2->setText(QStringLiteral("new"));
  FForm.edtFirstName->setText(QStringLiteral("Bo"));
  FForm.edtLastName->setText(QStringLiteral("Ek"));
  FForm.edtCity->setText(QStringLiteral("Oslo"));
  FForm.edtCountry->setText(QStringLiteral("Norway"));
  FForm.edtEMail->setText(QStringLiteral("bo@example.com"));
  FForm.edtHomePage->setText(QStringLiteral("example.com/bo"));
  FForm.memoComments->setPlainText(QStringLiteral("a\nb"));

  FForm.btnOkClick();

  EXPECT_EQ(FForm.result(), mrYes);
  EXPECT_TRUE(FPrompts.Asked.empty());
  TZorvaUser expected = SampleUser("ann");
  expected.SetPassword("new");
  expected.SetFirstName("Bo");
  expected.SetLastName("Ek");
  expected.SetCity("Oslo");
  expected.SetCountry("Norway");
  expected.SetEMail("bo@example.com");
  expected.SetHomePage("example.com/bo");
  expected.SetAdditionalInfo("a b ");
  EXPECT_EQ(user, expected);
}

// The server never sends a password: an existing user who leaves both fields empty keeps it.
TEST_F(UserInfoFormTest, ExistingUserWithBothPasswordsEmptyKeepsThePassword) {
  TZorvaUser user = SampleUser("ann");
  user.SetPassword("");
  OpenForEdit(user);
  FForm.edtCity->setText(QStringLiteral("Oslo"));

  FForm.btnOkClick();

  EXPECT_EQ(FForm.result(), mrYes);
  EXPECT_TRUE(FPrompts.Asked.empty());
  EXPECT_EQ(user.Password(), "");
  EXPECT_EQ(user.City(), "Oslo");
}

TEST_F(UserInfoFormTest, ExistingUserWithOnePasswordEmptyIsStillAMismatch) {
  TZorvaUser user = SampleUser("ann");
  user.SetPassword("");
  const TZorvaUser before = user;
  OpenForEdit(user);
  FForm.edtPassword2->setText(QStringLiteral("new"));

  FForm.btnOkClick();

  EXPECT_EQ(FPrompts.Asked,
            std::vector<std::string>{"Inform: Please make sure the Password fields match."});
  EXPECT_EQ(user, before);
}

TEST_F(UserInfoFormTest, UnchangedFieldsLongerThanTheirLimitsGoBackWhole) {
  TZorvaUser user = SampleUser(std::string(30, 'i'));
  user.SetFirstName(std::string(30, 'f'));
  user.SetHomePage("http://example.com/" + std::string(40, 'h'));
  user.SetAdditionalInfo(std::string(250, 'c') + " ");
  TZorvaUser expected = user;
  OpenForEdit(user);
  FForm.edtCity->setText(QStringLiteral("Oslo"));

  FForm.btnOkClick();

  expected.SetCity("Oslo");
  EXPECT_EQ(user, expected);
  // What the person types is still bound by the limit.
  EXPECT_EQ(FForm.edtCity->maxLength(), 24);
  EXPECT_EQ(FForm.edtFirstName->maxLength(), 30);
}

TEST_F(UserInfoFormTest, WireTextIsShownReadablyAndUnchangedBytesGoBack) {
  TZorvaUser user = SampleUser("ann");
  user.SetFirstName("Jos\xe9");                // Latin-1
  user.SetLastName("M\xc3\xbcller");           // UTF-8
  user.SetCity("K\xf6ln");                     // Latin-1
  user.SetAdditionalInfo("caf\xe9 au lait ");  // Latin-1
  user.SetInfoTokens({"Town=K\xc3\xb6ln"});
  TZorvaUser expected = user;
  OpenForEdit(user);
  EXPECT_EQ(FForm.edtFirstName->text(), QStringLiteral("José"));
  EXPECT_EQ(FForm.edtLastName->text(), QStringLiteral("Müller"));
  EXPECT_EQ(FForm.edtCity->text(), QStringLiteral("Köln"));
  EXPECT_EQ(FForm.memoComments->toPlainText(), QStringLiteral("café au lait"));
  EXPECT_EQ(FForm.memoProperties->toPlainText(), QStringLiteral("Town: Köln"));
  FForm.edtCountry->setText(QStringLiteral("Österreich"));

  FForm.btnOkClick();

  expected.SetCountry("\xc3\x96sterreich");  // what the person typed goes as UTF-8
  EXPECT_EQ(user, expected);
}

TEST_F(UserInfoFormTest, ModalResults) {
  TZorvaUser user = SampleUser("ann");
  const TZorvaUser before = user;
  FForm.Populate(user, nullptr);
  FForm.SetAllowEdits(true);
  FForm.show();
  FForm.btnOkClick();
  EXPECT_EQ(FForm.result(), mrOk) << "OK in view mode";

  FForm.show();
  FForm.btnEditClick();
  FForm.edtFirstName->setText(QStringLiteral("changed"));
  FForm.btnCancel->click();
  EXPECT_EQ(FForm.result(), mrCancel) << "Cancel button";

  FForm.show();
  FForm.close();
  EXPECT_EQ(FForm.result(), mrCancel) << "close box";
  EXPECT_EQ(user, before);
}

struct TCommentCase {
  const char* label;
  const char* memo;
  const char* comment;
};

class UserInfoComments : public UserInfoFormTest,
                         public ::testing::WithParamInterface<TCommentCase> {};

TEST_P(UserInfoComments, JoinsLinesEachFollowedByOneBlank) {
  TZorvaUser user = SampleUser("ann");
  OpenForEdit(user);
  FForm.memoComments->setPlainText(QString::fromLatin1(GetParam().memo));
  FForm.btnOkClick();
  EXPECT_EQ(user.AdditionalInfo(), GetParam().comment);
}

INSTANTIATE_TEST_SUITE_P(Cases, UserInfoComments,
                         ::testing::Values(TCommentCase{"TwoLines", "a\nb", "a b "},
                                           TCommentCase{"Empty", "", ""},
                                           TCommentCase{"FinalLineBreak", "a\nb\n", "a b "},
                                           TCommentCase{"EmptyMiddleLine", "a\n\nb", "a  b "},
                                           TCommentCase{"OnlyALineBreak", "\n", " "}),
                         [](const auto& info) { return info.param.label; });

TEST_F(UserInfoFormTest, UnchangedCommentSurvivesRepeatedEdits) {
  TZorvaUser user = SampleUser("ann");
  for (int round = 0; round < 3; ++round) {
    TfrmUserInfo form;
    form.Populate(user, nullptr);
    form.btnEditClick();
    form.btnOkClick();
    ASSERT_EQ(form.result(), mrYes);
  }
  EXPECT_EQ(user.AdditionalInfo(), "likes chess ");
}

TEST_F(UserInfoFormTest, CommentStopsGrowingAtTheLimit) {
  TZorvaUser user = SampleUser("ann");
  user.SetAdditionalInfo("");
  OpenForEdit(user);
  const QString full(TfrmUserInfo::kMaxCommentLength - 1, QLatin1Char('x'));
  FForm.memoComments->setPlainText(full);
  QTextCursor cursor(FForm.memoComments->document());
  cursor.setPosition(10);
  cursor.insertText(QStringLiteral("abc"));  // a paste in the middle: only "a" fits
  EXPECT_EQ(FForm.memoComments->toPlainText(), full.left(10) + QLatin1Char('a') + full.mid(10));
}

TEST_F(UserInfoFormTest, LongerShownCommentIsKeptButCannotGrow) {
  TZorvaUser user = SampleUser("ann");
  const std::string longComment(250, 'y');
  user.SetAdditionalInfo(longComment);
  OpenForEdit(user);
  ASSERT_EQ(FForm.memoComments->toPlainText().size(), 250);
  QTextCursor cursor(FForm.memoComments->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(QStringLiteral("z"));
  EXPECT_EQ(FForm.memoComments->toPlainText().size(), 250);
  cursor.deletePreviousChar();
  EXPECT_EQ(FForm.memoComments->toPlainText().size(), 249);
}

TEST_F(UserInfoFormTest, PropertiesShowOnlyValidTagsIgnoringCase) {
  TZorvaUser user = SampleUser("ann");
  const std::vector<std::string> valid = {"level", "score"};
  const std::vector<std::string> none;
  FForm.Populate(user, &valid);
  EXPECT_EQ(FForm.memoProperties->toPlainText(), QStringLiteral("Level: 3\nSCORE: 1"));
  FForm.Populate(user, &none);
  EXPECT_EQ(FForm.memoProperties->toPlainText(), QStringLiteral("Level: 3\nColor: red\nSCORE: 1"));
  user.SetInfoTokens({"flag", "k=v=w"});
  FForm.Populate(user, nullptr);
  EXPECT_EQ(FForm.memoProperties->toPlainText(), QStringLiteral("flag: \nk: v=w"));
}

struct TEditableCase {
  const char* label;
  const char* id;
  bool editable;
  bool idReadOnly;
};

class UserInfoEditable : public UserInfoFormTest,
                         public ::testing::WithParamInterface<TEditableCase> {};

TEST_P(UserInfoEditable, IdIsWritableOnlyWhileEmpty) {
  const TEditableCase& c = GetParam();
  TZorvaUser user = SampleUser(c.id);
  FForm.Populate(user, nullptr);
  FForm.SetEditable(c.editable);
  EXPECT_EQ(FForm.edtUserId->isReadOnly(), c.idReadOnly);
  EXPECT_EQ(FForm.edtFirstName->isReadOnly(), !c.editable);
  EXPECT_EQ(FForm.memoComments->isReadOnly(), !c.editable);
  EXPECT_TRUE(FForm.memoProperties->isReadOnly());
  for (QWidget* shownWhenEditable :
       std::initializer_list<QWidget*>{FForm.btnGlyph, FForm.edtPassword1, FForm.edtPassword2,
                                       FForm.lblPassword1, FForm.lblPassword2}) {
    EXPECT_EQ(shownWhenEditable->isHidden(), !c.editable)
        << shownWhenEditable->objectName().toStdString();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, UserInfoEditable,
                         ::testing::Values(TEditableCase{"NewUserViewed", "", false, false},
                                           TEditableCase{"NewUserEdited", "", true, false},
                                           TEditableCase{"KnownUserViewed", "ann", false, true},
                                           TEditableCase{"KnownUserEdited", "ann", true, true}),
                         [](const auto& info) { return info.param.label; });

struct TGlyphCase {
  const char* label;
  int width;
  int height;
  bool accepted;
};

class UserInfoGlyph : public UserInfoFormTest, public ::testing::WithParamInterface<TGlyphCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(FDir.isValid()); }
  void TearDown() override { SetGlyphFileChooser(nullptr); }

  void Choose(const QString& file) {
    SetGlyphFileChooser([file](QFileDialog&) { return file; });
  }

  QTemporaryDir FDir;
};

TEST_P(UserInfoGlyph, AcceptsPicturesUpTo32By32) {
  const TGlyphCase& c = GetParam();
  QImage picture(c.width, c.height, QImage::Format_RGB32);
  picture.fill(qRgb(255, 0, 0));
  const QString file = FDir.filePath(QStringLiteral("glyph.bmp"));
  ASSERT_TRUE(picture.save(file));
  TZorvaUser user = SampleUser("ann");
  const Bitmap before = user.Glyph();
  OpenForEdit(user);
  Choose(file);

  FForm.btnGlyphClick();
  FForm.btnOkClick();

  if (c.accepted) {
    EXPECT_TRUE(FPrompts.Asked.empty());
    ASSERT_EQ(user.Glyph().Width(), c.width);
    ASSERT_EQ(user.Glyph().Height(), c.height);
    EXPECT_EQ(user.Glyph().Pixel(c.width - 1, c.height - 1), 0x0000FFu);
  } else {
    EXPECT_EQ(
        FPrompts.Asked,
        std::vector<std::string>{"Inform: The selected Glyph cannot be bigger then 32x32 pixels."});
    EXPECT_EQ(user.Glyph(), before);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, UserInfoGlyph,
                         ::testing::Values(TGlyphCase{"TooWide", 33, 10, false},
                                           TGlyphCase{"TooHigh", 10, 33, false},
                                           TGlyphCase{"Largest", 32, 32, true},
                                           TGlyphCase{"Small", 5, 3, true}),
                         [](const auto& info) { return info.param.label; });

TEST_F(UserInfoGlyph, UnreadableFileIsReportedAndKeepsTheGlyph) {
  QFile file(FDir.filePath(QStringLiteral("broken.bmp")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("BM this is not a picture");
  file.close();
  TZorvaUser user = SampleUser("ann");
  const Bitmap before = user.Glyph();
  OpenForEdit(user);

  Choose(file.fileName());
  FForm.btnGlyphClick();
  Choose(QString());  // cancelled: nothing happens
  FForm.btnGlyphClick();
  FForm.btnOkClick();

  ASSERT_EQ(FPrompts.Asked.size(), 1u);
  EXPECT_NE(FPrompts.Asked.front().find("broken.bmp"), std::string::npos);
  EXPECT_EQ(user.Glyph(), before);
}

class TUrlRecorder : public QObject {
  Q_OBJECT

 public slots:
  void Open(const QUrl& url) { FOpened << url.toString(); }

 public:
  QStringList FOpened;
};

TEST_F(UserInfoFormTest, HomePageOpensOnlyInViewMode) {
  TUrlRecorder recorder;
  QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "Open");
  TZorvaUser user = SampleUser("ann");
  user.SetHomePage("www.example.com");
  FForm.Populate(user, nullptr);
  FForm.SetEditable(false);
  FForm.edtHomePageClick();
  FForm.btnEditClick();
  FForm.edtHomePageClick();
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
  EXPECT_EQ(recorder.FOpened, QStringList{QStringLiteral("http://www.example.com")});
}

TEST(GlyphImageTest, ColoursRoundTripThroughQImage) {
  Bitmap bitmap(2, 1);
  bitmap.SetPixel(0, 0, 0x00332211);
  bitmap.SetPixel(1, 0, 0x00FFFFFF);
  const QImage image = BitmapToImage(bitmap);
  EXPECT_EQ(image.pixel(0, 0), qRgb(0x11, 0x22, 0x33));
  EXPECT_EQ(ImageToBitmap(image), bitmap);
  EXPECT_TRUE(BitmapToImage(Bitmap()).isNull());
  EXPECT_TRUE(ImageToBitmap(QImage()).Empty());
}

}  // namespace
}  // namespace zorva

#include "UserInfoFormTest.moc"
