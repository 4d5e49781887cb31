// TfrmServer: the operator window of ZorvaServer. It shows the server core's state (guests,
// subjects, trace panes, activity chart, statistics) and calls the core's operator operations;
// it holds no server state of its own. The window program creates one; the GUI tests drive it.
//
//   TfrmServer window(core, transport, iniPath);   // reads the settings, seeds the chart
//   window.actStartServer->trigger();    // the operator's Start
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QStringList>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "ConsoleImages.h"
#include "ServerCore.h"
#include "ServerInterfaces.h"
#include "ServerSettings.h"

class QAction;
class QLabel;
class QLineSeries;
class QChartView;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QTabWidget;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;

namespace zorva {

class TAlarmPanel;
class TfrmServerSettings;

// Raised by Start when the server cannot listen; reported like any failing action.
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when the log file cannot be created.
class ELogFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TfrmServer : public QMainWindow, private IServerObserver {
  Q_OBJECT

 public:
  // `transport` is only asked where the server listens.
  TfrmServer(ServerCore& core, const ITransport& transport, std::string iniPath,
             const TSettingsOverrides& overrides = {}, QWidget* parent = nullptr);
  ~TfrmServer() override;

  // Panel 4 only; the users list follows the selection (treeSubjectsClick).
  void UpdateClientCount();
  void RaiseAlarm();
  bool Alarm() const;
  // The guest the operator has selected in the control last pressed, or none.
  std::optional<ConnectionId> SelectedGuest() const;
  // Reports an exception that ended an operator action, as the "Exceptions" pane shows it.
  void AppException(const std::exception& error);
  // The text of status-bar panel 1, 2 or 4.
  QString StatusText(int panel) const;
  // Where "To Log File" writes: "Zorva.log" beside the executable, started anew each time the
  // switch goes on, unless set otherwise.
  void SetLogFilePath(std::string path, TLogFileStart start = TLogFileStart::Anew) {
    FLogFilePath = std::move(path);
    FLogFileStart = start;
  }
  // What the settings dialog says of TLS: off without a port.
  void SetTlsListener(std::optional<std::uint16_t> port, bool plainToo);
  // Fills the settings dialog with what the server runs with.
  void FillSettings(TfrmServerSettings& dialog) const;

  // The operator actions, in their declared order.
  QAction* actStartServer;
  QAction* actStopServer;
  QAction* actServerSettings;
  QAction* actIncoming;
  QAction* actOutgoing;
  QAction* actServerStatistics;
  QAction* actClearTrace;
  QAction* actUserInfo;
  QAction* actUserKill;
  QAction* actServerBlock;
  QAction* actServerUnblock;
  QAction* actLogFiles;
  QAction* actShout;
  QAction* actServerAddSubject;
  QAction* actServerDeleteSubject;

  QToolBar* toolbar;
  QMenu* popupUsers;
  QSplitter* Splitter1;
  QTreeWidget* treeSubjects;
  QTabWidget* pages;
  QWidget* tabUsers;
  QWidget* tabIncoming;
  QWidget* tabOutgoing;
  QWidget* tabExceptions;
  QWidget* tabActivity;
  QTreeWidget* lvUsers;
  QPlainTextEdit* memoIncoming;
  QPlainTextEdit* memoOutgoing;
  QPlainTextEdit* memoExceptions;
  QChartView* chartActivity;
  QLineSeries* Series1;
  QLineSeries* Series2;

  void actStartServerExecute();
  void actStopServerExecute();
  void actServerSettingsExecute();
  void actIncomingExecute();
  void actOutgoingExecute();
  void actServerStatisticsExecute();
  void actClearTraceExecute();
  void actUserInfoExecute();
  void actUserKillExecute();
  void actServerBlockExecute();
  void actServerUnblockExecute();
  void actLogFilesExecute();
  void actShoutExecute();
  void actServerAddSubjectExecute();
  void actServerDeleteSubjectExecute();

  void treeSubjectsClick();
  void lvUsersSelectItem();
  void pagesChange(int index);

  static constexpr int kMaxPaneLines = 10000;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // IServerObserver
  void GuestsChanged() override;
  void SubjectsChanged() override;
  void TraceIncoming(std::string_view line) override;
  void TraceOutgoing(std::string_view line) override;
  void ExceptionLine(std::string_view line, TExceptionKind kind) override;
  void ActivityChanged() override;
  void Event(const TServerEvent& event) override;

  void AppendTrace(QStringList& pending, std::string_view line);
  void ShowPendingTraces();

  QIcon TwoStateIcon(TConsoleImage normal, TConsoleImage selected) const;
  void CreateActions();
  void CreateMenus();
  void CreateToolBar();
  void CreateControls();
  void CreateStatusBar();
  void CreateActivityChart();
  void SetRunningState(bool running, bool blocked);
  void RefreshViews();
  void RebuildTree();
  // The count and the users list, after guests came, went or moved.
  void ShowGuests();
  // The selected node's guests; with no node selected the list keeps its rows.
  void RefillUsers();
  // A guest node lists nobody: its guest is the node itself.
  std::vector<const TZorvaGuest*> ListedGuests(const TShoutTarget& node) const;
  void AddUserRow(const TZorvaGuest& guest);
  void ClearUsers();
  void treeSubjectsMouseDown();
  void lvUsersMouseDown();
  QTreeWidgetItem* SelectedNode() const;
  // The selected node or row of the control the operator pressed last.
  const QTreeWidgetItem* PressedItem() const;
  std::optional<TShoutTarget> ShoutTarget() const;
  void StopServer();
  std::string LogFilePath() const;
  // Runs an operator handler; what escapes it goes to the "Exceptions" pane.
  template <class THandler>
  void Guarded(THandler&& handler);

  ServerCore& FCore;
  const ITransport& FTransport;
  std::string FIniPath;
  // What goes back to the INI file: what it held, changed only by the Settings dialog.
  TServerSettings FSavedSettings;
  std::string FLogFilePath;
  TLogFileStart FLogFileStart = TLogFileStart::Anew;
  std::vector<QIcon> FImages;
  QIcon FCodeIcon;
  QIcon FSubjectIcon;
  QWidget* FLastClicked = nullptr;
  TfrmServerSettings* FSettingsDialog = nullptr;
  std::optional<std::uint16_t> FTlsPort;
  bool FPlainToo = true;
  bool FRefreshGuests = false;
  bool FRefreshSubjects = false;
  bool FRefreshPosted = false;
  // Trace lines wait for the end of the event-loop turn: a burst costs one append per pane,
  // not one per line, and never more lines than a pane keeps.
  QStringList FPendingIncoming;
  QStringList FPendingOutgoing;
  bool FTracePosted = false;
  // Where the server listens, while it does.
  QString FListening;
  QLabel* FHintPanel;
  QLabel* FAddressPanel;
  TAlarmPanel* FAlarmPanel;
  QLabel* FCountPanel;
};

}  // namespace zorva
