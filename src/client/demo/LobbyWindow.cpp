#include "LobbyWindow.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "WireText.h"

namespace zorva {

namespace {

QString Text(std::string_view text) {
  return ShowWireText(text);
}

std::string Std(const QLineEdit* edit) {
  return WireTextOf(edit->text().trimmed());
}

// List items show names as text and keep the bytes the server sent, which go back unchanged.
void AddWireItem(QListWidget* list, std::string_view bytes) {
  auto* item = new QListWidgetItem(ShowWireText(bytes), list);
  item->setData(Qt::UserRole, QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string WireBytes(const QListWidgetItem* item) {
  return item->data(Qt::UserRole).toByteArray().toStdString();
}

// The first item holding `bytes`, or nullptr.
QListWidgetItem* FindItem(QListWidget* list, std::string_view bytes) {
  for (int i = 0; i < list->count(); ++i) {
    if (WireBytes(list->item(i)) == bytes) return list->item(i);
  }
  return nullptr;
}

QWidget* Column(const QString& title, QWidget* content, QWidget* button) {
  auto* box = new QGroupBox(title);
  auto* layout = new QVBoxLayout(box);
  layout->addWidget(content, 1);
  if (button) layout->addWidget(button);
  return box;
}

}  // namespace

TLobbyWindow::TLobbyWindow(const TLobbyOptions& options, std::unique_ptr<IClientSocket> socket)
    : FConnection(std::move(socket)),
      FStatisticsAtLogin(options.StatisticsAtLogin),
      FTlsCaFile(options.TlsCaFile) {
  setWindowTitle(QStringLiteral("Zorva Lobby Demo"));
  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->addWidget(CreateLoginBar(options));
  layout->addWidget(CreateLobby(), 1);
  setCentralWidget(central);
  lblState = new QLabel;
  statusBar()->addWidget(lblState, 1);
  resize(860, 520);

  FStatsDialog.SetZorvaConnection(&FConnection);
  FStatsDialog.SetAutoUpdate(true);
  FStatsDialog.SetUpdateInterval(2000);
  FStatsDialog.SetCaption("Server Statistics (every 2 s)");
  FUserInfoDialog.SetValidInfoTokens({"level", "score"});
  BindConnectionEvents();
  ShowState(QStringLiteral("Not connected"));
  UpdateActions();
}

QWidget* TLobbyWindow::CreateLoginBar(const TLobbyOptions& options) {
  edtHost = new QLineEdit(Text(options.Host));
  edtHost->setMinimumWidth(
      edtHost->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255")) + 12);
  edtPort = new QSpinBox;
  edtPort->setRange(1, 65535);
  edtPort->setValue(options.Port);
  chkTls = new QCheckBox(QStringLiteral("TLS"));
  chkTls->setObjectName(QStringLiteral("chkTls"));
  chkTls->setChecked(options.Tls);
  chkAnyCertificate = new QCheckBox(QStringLiteral("Any certificate"));
  chkAnyCertificate->setObjectName(QStringLiteral("chkAnyCertificate"));
  chkAnyCertificate->setToolTip(
      QStringLiteral("Accept the server's certificate unchecked: anyone on the way could stand "
                     "in for the server"));
  chkAnyCertificate->setChecked(options.AnyCertificate);
  chkAnyCertificate->setEnabled(options.Tls);
  connect(chkTls, &QCheckBox::toggled, chkAnyCertificate, &QCheckBox::setEnabled);
  edtCode = new QLineEdit(Text(options.Code));
  edtUserId = new QLineEdit(Text(options.User));
  edtPassword = new QLineEdit(Text(options.Password));
  edtPassword->setEchoMode(QLineEdit::Password);
  // Room for a typical entry, so that the TLS boxes do not squeeze the fields to a few letters.
  for (QLineEdit* field : {edtCode, edtUserId, edtPassword})
    field->setMinimumWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("mmmmmmmm")) + 12);
  btnLogIn = new QPushButton(QStringLiteral("Log In"));
  btnRegister = new QPushButton(QStringLiteral("Register..."));
  btnDisconnect = new QPushButton(QStringLiteral("Disconnect"));
  connect(btnLogIn, &QPushButton::clicked, this, &TLobbyWindow::LogIn);
  connect(btnRegister, &QPushButton::clicked, this, &TLobbyWindow::Register);
  connect(btnDisconnect, &QPushButton::clicked, this, &TLobbyWindow::Disconnect);

  auto* bar = new QGroupBox(QStringLiteral("Server"));
  auto* layout = new QHBoxLayout(bar);
  const std::pair<const char*, QWidget*> fields[] = {{"Host:", edtHost},
                                                     {"Port:", edtPort},
                                                     {"Code:", edtCode},
                                                     {"User:", edtUserId},
                                                     {"Password:", edtPassword}};
  for (const auto& [caption, field] : fields) {
    layout->addWidget(new QLabel(QString::fromLatin1(caption)));
    layout->addWidget(field);
    if (field == edtPort) {
      layout->addWidget(chkTls);
      layout->addWidget(chkAnyCertificate);
    }
  }
  for (QPushButton* button : {btnLogIn, btnRegister, btnDisconnect}) layout->addWidget(button);
  return bar;
}

QWidget* TLobbyWindow::CreateLobby() {
  lstSubjects = new QListWidget;
  lstSubjects->setObjectName(QStringLiteral("lstSubjects"));
  btnCreateSubject = new QPushButton(QStringLiteral("Create Subject..."));
  connect(lstSubjects, &QListWidget::itemDoubleClicked, this, &TLobbyWindow::JoinSelectedSubject);
  connect(btnCreateSubject, &QPushButton::clicked, this, &TLobbyWindow::CreateSubject);

  memoChat = new QPlainTextEdit;
  memoChat->setReadOnly(true);
  edtChat = new QLineEdit;
  edtChat->setPlaceholderText(QStringLiteral("Say something and press Enter"));
  connect(edtChat, &QLineEdit::returnPressed, this, &TLobbyWindow::SendChat);
  auto* chat = new QWidget;
  auto* chatLayout = new QVBoxLayout(chat);
  chatLayout->setContentsMargins(0, 0, 0, 0);
  chatLayout->addWidget(memoChat, 1);
  chatLayout->addWidget(edtChat);

  lstUsers = new QListWidget;
  btnUserInfo = new QPushButton(QStringLiteral("User Info..."));
  connect(lstUsers, &QListWidget::itemDoubleClicked, this, &TLobbyWindow::RequestSelectedUserInfo);
  connect(btnUserInfo, &QPushButton::clicked, this, &TLobbyWindow::RequestSelectedUserInfo);
  btnMyInfo = new QPushButton(QStringLiteral("My Info..."));
  btnStatistics = new QPushButton(QStringLiteral("Statistics..."));
  connect(btnMyInfo, &QPushButton::clicked, this, &TLobbyWindow::EditOwnUser);
  connect(btnStatistics, &QPushButton::clicked, this, &TLobbyWindow::ShowStatistics);
  auto* users = new QWidget;
  auto* usersLayout = new QVBoxLayout(users);
  usersLayout->setContentsMargins(0, 0, 0, 0);
  usersLayout->addWidget(lstUsers, 1);
  for (QPushButton* button : {btnUserInfo, btnMyInfo, btnStatistics})
    usersLayout->addWidget(button);

  auto* splitter = new QSplitter;
  splitter->addWidget(
      Column(QStringLiteral("Subjects (double-click to join)"), lstSubjects, btnCreateSubject));
  splitter->addWidget(Column(QStringLiteral("Chat"), chat, nullptr));
  splitter->addWidget(Column(QStringLiteral("Users here"), users, nullptr));
  splitter->setSizes({200, 440, 200});
  return splitter;
}

void TLobbyWindow::BindConnectionEvents() {
  FConnection.SetOnConnected([this](TZorvaConnection& c) {
    ShowState(QStringLiteral("Connected, logging in"));
    if (FLoginKind == TLoginKind::New) {
      c.LoginNew(FNewUser.Id(), FNewUser.toString());
    } else {
      c.Login(Std(edtUserId), WireTextOf(edtPassword->text()));
    }
  });
  FConnection.SetOnLoginSuccess([this](TZorvaConnection&, TZorvaUser& user) {
    ShowState(QStringLiteral("Logged in as %1").arg(Text(user.Id())));
    UpdateActions();
    if (!FStatisticsAtLogin) return;
    FStatisticsAtLogin = false;
    QTimer::singleShot(0, this, &TLobbyWindow::ShowStatistics);
  });
  FConnection.SetOnLoginFailed([this](TZorvaConnection& c, std::string_view reason) {
    ShowState(QStringLiteral("Login failed: %1").arg(Text(reason)));
    c.SetActive(false);
    UpdateActions();
  });
  FConnection.SetOnDisconnected([this](TZorvaConnection&) {
    ShowState(QStringLiteral("The server closed the connection"));
    lstUsers->clear();
    UpdateActions();
  });
  FConnection.SetOnSocketError([this](TZorvaConnection&, int code, std::string_view text) {
    ShowState(QStringLiteral("Error Code %1: %2").arg(code).arg(Text(text)));
    UpdateActions();
  });
  FConnection.SetOnAddSubject([this](TZorvaConnection& c, std::string_view name) {
    // A "SUBJECTS" reply lists every name afresh.
    if (c.SubjectNames().size() == 1) lstSubjects->clear();
    AddWireItem(lstSubjects, name);
  });
  FConnection.SetOnRemoveSubject(
      [this](TZorvaConnection&, std::string_view name) { delete FindItem(lstSubjects, name); });
  FConnection.SetOnJoinSubject([this](TZorvaConnection&, std::string_view name) {
    lstUsers->clear();
    ShowLine(QStringLiteral("* You are in %1").arg(Text(name)));
    for (int i = 0; i < lstSubjects->count(); ++i) {
      QFont font = lstSubjects->item(i)->font();
      font.setBold(WireBytes(lstSubjects->item(i)) == name);
      lstSubjects->item(i)->setFont(font);
    }
  });
  FConnection.SetOnAddUser([this](TZorvaConnection& c, TZorvaUser& user) {
    AddWireItem(lstUsers, user.Id());
    if (c.CurrentUser() && user.Id() != c.CurrentUser()->Id()) {
      ShowLine(QStringLiteral("* %1 is here").arg(Text(user.Id())));
    }
  });
  FConnection.SetOnRemoveUser([this](TZorvaConnection&, TZorvaUser& user) {
    delete FindItem(lstUsers, user.Id());
    ShowLine(QStringLiteral("* %1 left").arg(Text(user.Id())));
  });
  FConnection.SetOnChatReceived(
      [this](TZorvaConnection&, std::string_view text, std::string_view id) {
        ShowLine(QStringLiteral("<%1> %2").arg(Text(id), Text(text)));
      });
  FConnection.SetOnShout([this](TZorvaConnection&, std::string_view text) {
    ShowLine(QStringLiteral("*** %1").arg(Text(text)));
  });
  FConnection.SetOnServerError([this](TZorvaConnection&, std::string_view text) {
    ShowLine(QStringLiteral("! %1").arg(Text(text)));
  });
  // The record is the connection's and may go while a dialog runs: show a copy, later.
  FConnection.SetOnUserInfo([this](TZorvaConnection&, TZorvaUser& user) {
    QTimer::singleShot(0, this, [this, copy = user] { ShowUser(copy); });
  });
}

void TLobbyWindow::LogIn() {
  if (Std(edtUserId).empty()) {
    ShowState(QStringLiteral("Type a user id first, or register"));
    return;
  }
  Connect(TLoginKind::Existing);
}

void TLobbyWindow::Register() {
  TZorvaUser user;  // an empty id: the form opens ready for a new user
  FUserInfoDialog.SetCaption("New User");
  const bool entered = FUserInfoDialog.Execute(user, true);
  FUserInfoDialog.SetCaption("User Info");
  if (!entered) return;
  FNewUser = user;
  edtUserId->setText(Text(user.Id()));
  edtPassword->setText(Text(user.Password()));
  Connect(TLoginKind::New);
}

void TLobbyWindow::Connect(TLoginKind kind) {
  FConnection.SetActive(false);
  FLoginKind = kind;
  FConnection.SetHost(Std(edtHost));
  FConnection.SetPort(edtPort->value());
  FConnection.SetUseTls(chkTls->isChecked());
  FConnection.SetTlsCaFile(FTlsCaFile);
  FConnection.SetTlsVerifyPeer(!chkAnyCertificate->isChecked());
  FConnection.SetSubjectCode(Std(edtCode));
  lstSubjects->clear();
  lstUsers->clear();
  ShowState(QStringLiteral("Connecting to %1:%2").arg(edtHost->text()).arg(edtPort->value()));
  FConnection.SetActive(true);
}

void TLobbyWindow::Disconnect() {
  FConnection.SetActive(false);
  lstUsers->clear();
  ShowState(QStringLiteral("Not connected"));
  UpdateActions();
}

void TLobbyWindow::SendChat() {
  const QString text = edtChat->text();
  if (text.isEmpty() || !FConnection.LoggedIn()) return;
  FConnection.SendChatMessage(WireTextOf(text));
  // The server relays chat to the others only.
  ShowLine(QStringLiteral("<%1> %2").arg(Text(FConnection.CurrentUser()->Id()), text));
  edtChat->clear();
}

void TLobbyWindow::CreateSubject() {
  bool ok = false;
  const QString name =
      QInputDialog::getText(this, QStringLiteral("Create Subject"), QStringLiteral("Subject name:"),
                            QLineEdit::Normal, {}, &ok);
  if (!ok || name.trimmed().isEmpty()) return;
  const int limit =
      QInputDialog::getInt(this, QStringLiteral("Create Subject"),
                           QStringLiteral("Member limit (0 for none):"), 0, 0, 1000, 1, &ok);
  if (ok) FConnection.CreateSubject(WireTextOf(name.trimmed()), limit);
}

void TLobbyWindow::JoinSelectedSubject() {
  if (QListWidgetItem* item = lstSubjects->currentItem()) {
    FConnection.JoinSubject(WireBytes(item));
  }
}

void TLobbyWindow::RequestSelectedUserInfo() {
  if (QListWidgetItem* item = lstUsers->currentItem()) {
    FConnection.RequestUserInfo(WireBytes(item));
  }
}

void TLobbyWindow::ShowUser(const TZorvaUser& user) {
  TZorvaUser copy = user;
  FUserInfoDialog.Execute(copy, false);
}

void TLobbyWindow::EditOwnUser() {
  if (!FConnection.CurrentUser()) return;
  TZorvaUser edited = *FConnection.CurrentUser();
  if (!FUserInfoDialog.Execute(edited, true) || !FConnection.CurrentUser()) return;
  *FConnection.CurrentUser() = edited;
  FConnection.UpdateUserInfo();
  ShowLine(QStringLiteral("* Your user info was sent to the server"));
}

void TLobbyWindow::ShowStatistics() {
  // The answer arrives while the form is open, so the dialog shows it at once.
  FConnection.RequestStatistics();
  FStatsDialog.Execute(FConnection.ServerStats());
}

void TLobbyWindow::ShowLine(const QString& line) {
  memoChat->appendPlainText(line);
}

void TLobbyWindow::ShowState(const QString& state) {
  lblState->setText(state);
}

void TLobbyWindow::UpdateActions() {
  const bool in = FConnection.LoggedIn() && FConnection.Active();
  for (QWidget* widget : std::initializer_list<QWidget*>{btnCreateSubject, edtChat, btnUserInfo,
                                                         btnMyInfo, btnStatistics, btnDisconnect}) {
    widget->setEnabled(in);
  }
  btnLogIn->setEnabled(!in);
  btnRegister->setEnabled(!in);
}

}  // namespace zorva
