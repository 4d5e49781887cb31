// TLobbyWindow: the main window of zorva-lobby-demo, a small lobby client that shows how a
// program uses ZorvaComp: log in or register, list the subjects and their members, chat, look at
// users and watch the server's statistics.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "ZorvaConnection.h"
#include "ZorvaServerStatsDialog.h"
#include "ZorvaUserInfoDialog.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

namespace zorva {

struct TLobbyOptions {
  std::string Host = "127.0.0.1";
  int Port = 4000;
  std::string Code = "demo";
  std::string User;
  std::string Password;
  bool LogInAtStart = false;
  bool StatisticsAtLogin = false;  // open the statistics once logged in
  bool Tls = false;
  std::string TlsCaFile;        // the authority the server's certificate must come from
  bool AnyCertificate = false;  // e.g. a development certificate, for a try on one's own machine
};

class TLobbyWindow : public QMainWindow {
  Q_OBJECT

 public:
  // `socket`: the connection's; tests hand in a fake one.
  explicit TLobbyWindow(const TLobbyOptions& options,
                        std::unique_ptr<IClientSocket> socket = CreateDefaultClientSocket());
  // Connects and logs in with the fields as they stand.
  void LogIn();
  const TZorvaConnection& Connection() const { return FConnection; }

 private:
  enum class TLoginKind { Existing, New };

  QWidget* CreateLoginBar(const TLobbyOptions& options);
  QWidget* CreateLobby();
  void BindConnectionEvents();
  void Connect(TLoginKind kind);
  void Register();
  void Disconnect();
  void SendChat();
  void CreateSubject();
  void JoinSelectedSubject();
  void RequestSelectedUserInfo();
  void ShowUser(const TZorvaUser& user);
  void EditOwnUser();
  void ShowStatistics();
  void ShowLine(const QString& line);
  void ShowState(const QString& state);
  void UpdateActions();

  TZorvaConnection FConnection;
  TZorvaServerStatsDialog FStatsDialog;
  TZorvaUserInfoDialog FUserInfoDialog;
  TLoginKind FLoginKind = TLoginKind::Existing;
  TZorvaUser FNewUser;
  bool FStatisticsAtLogin = false;
  std::string FTlsCaFile;

  QLineEdit* edtHost;
  QSpinBox* edtPort;
  QCheckBox* chkTls;
  QCheckBox* chkAnyCertificate;
  QLineEdit* edtCode;
  QLineEdit* edtUserId;
  QLineEdit* edtPassword;
  QPushButton* btnLogIn;
  QPushButton* btnRegister;
  QPushButton* btnDisconnect;
  QListWidget* lstSubjects;
  QPushButton* btnCreateSubject;
  QPlainTextEdit* memoChat;
  QLineEdit* edtChat;
  QListWidget* lstUsers;
  QPushButton* btnUserInfo;
  QPushButton* btnMyInfo;
  QPushButton* btnStatistics;
  QLabel* lblState;
};

}  // namespace zorva
