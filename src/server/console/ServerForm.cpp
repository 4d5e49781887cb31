#include "ServerForm.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QLabel>
#include <QLineSeries>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QValueAxis>

#include "AlarmPanel.h"
#include "ConsoleImages.h"
#include "ExceptionText.h"
#include "ModalResult.h"
#include "NewSubjectForm.h"
#include "Prompts.h"
#include "ServerCore.h"
#include "ServerSettingsForm.h"
#include "ServerStatsForm.h"
#include "UserInfoForm.h"
#include "WireText.h"

Q_DECLARE_METATYPE(zorva::TShoutTarget)

namespace zorva {

namespace {

// Each tree node and list row carries whom it stands for, named as the core names it.
constexpr int kTargetRole = Qt::UserRole;
constexpr int kNoPicture = -1;

void SetTarget(QTreeWidgetItem* item, const TShoutTarget& target) {
  item->setData(0, kTargetRole, QVariant::fromValue(target));
}

TShoutTarget Target(const QTreeWidgetItem* item) {
  return item->data(0, kTargetRole).value<TShoutTarget>();
}

QString ToQString(std::string_view text) {
  return ShowWireText(text);
}

// The first IPv4 address the machine's own name resolves to; "0.0.0.0" when it resolves to none.
QString LocalHostAddress() {
  const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
  for (const QHostAddress& address : info.addresses())
    if (address.protocol() == QAbstractSocket::IPv4Protocol) return address.toString();
  return QStringLiteral("0.0.0.0");
}

// Appends without moving the view sideways, and follows the new lines only when the operator
// was already at the end.
void AppendFollowing(QPlainTextEdit* pane, const QString& text) {
  QScrollBar* down = pane->verticalScrollBar();
  QScrollBar* across = pane->horizontalScrollBar();
  const bool following = down->value() == down->maximum();
  const int sideways = across->value();
  pane->appendPlainText(text);
  // The cursor at the start of the last line: wherever Qt shows the cursor, it is there.
  if (following) pane->setTextCursor(QTextCursor(pane->document()->lastBlock()));
  across->setValue(sideways);
  if (following) down->setValue(down->maximum());
}

QPlainTextEdit* NewPane(QWidget* page, const char* name) {
  auto* pane = new QPlainTextEdit(page);
  pane->setObjectName(name);
  pane->setReadOnly(true);
  pane->setLineWrapMode(QPlainTextEdit::NoWrap);
  pane->setMaximumBlockCount(TfrmServer::kMaxPaneLines);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pane);
  return pane;
}

}  // namespace

struct TActionRow {
  QAction* TfrmServer::*Field;
  const char* Name;
  const char* Category;
  const char* Caption;
  const char* Hint;
  int Picture;
  bool Enabled;
  bool Checkable;
  void (TfrmServer::*Handler)();
};

// The actions in their declared order.
static const TActionRow kActions[] = {
    {&TfrmServer::actStartServer, "actStartServer", "Server", "Start", "Start the Server", 0, true,
     false, &TfrmServer::actStartServerExecute},
    {&TfrmServer::actStopServer, "actStopServer", "Server", "Stop",
     "Stop Server, killing all active connections", 1, false, false,
     &TfrmServer::actStopServerExecute},
    {&TfrmServer::actServerSettings, "actServerSettings", "Server", "Settings",
     "Display the Server Settings Dialog", 3, true, false, &TfrmServer::actServerSettingsExecute},
    {&TfrmServer::actIncoming, "actIncoming", "Tracing", "Incoming Mesages",
     "Trace Incoming Messages in Window", kNoPicture, true, true, &TfrmServer::actIncomingExecute},
    {&TfrmServer::actOutgoing, "actOutgoing", "Tracing", "Outgoing Messages",
     "Trace Outgoing Messages in Window", kNoPicture, true, true, &TfrmServer::actOutgoingExecute},
    {&TfrmServer::actServerStatistics, "actServerStatistics", "Server", "Statistics",
     "Display the Server Performance Statistics Dialog", 9, true, false,
     &TfrmServer::actServerStatisticsExecute},
    {&TfrmServer::actClearTrace, "actClearTrace", "Tracing", "Clear Trace Windows",
     "Clear Trace Windows", kNoPicture, true, false, &TfrmServer::actClearTraceExecute},
    {&TfrmServer::actUserInfo, "actUserInfo", "User", "User Info", "View or Edit Selected User", 16,
     false, false, &TfrmServer::actUserInfoExecute},
    {&TfrmServer::actUserKill, "actUserKill", "User", "Kill User",
     "Disconnect the Selected User from the Server", 15, false, false,
     &TfrmServer::actUserKillExecute},
    {&TfrmServer::actServerBlock, "actServerBlock", "Server", "Shut Down",
     "Prevent new Users from logging on", 10, false, false, &TfrmServer::actServerBlockExecute},
    {&TfrmServer::actServerUnblock, "actServerUnblock", "Server", "Re-Open",
     "Cancel previous Server Shut Down", 11, false, false, &TfrmServer::actServerUnblockExecute},
    {&TfrmServer::actLogFiles, "actLogFiles", "Tracing", "To Log File",
     "Trace Message Flow to Log File Zorva.log", kNoPicture, true, true,
     &TfrmServer::actLogFilesExecute},
    {&TfrmServer::actShout, "actShout", "User", "Shout", "Send a Message to the Selected User(s)",
     12, true, false, &TfrmServer::actShoutExecute},
    {&TfrmServer::actServerAddSubject, "actServerAddSubject", "Server", "Create a New Subject",
     "Cerate a New Subject", 13, false, false, &TfrmServer::actServerAddSubjectExecute},
    {&TfrmServer::actServerDeleteSubject, "actServerDeleteSubject", "Server", "Delete Subject",
     "Delete the Selected Subject", 14, false, false, &TfrmServer::actServerDeleteSubjectExecute},
};

TfrmServer::TfrmServer(ServerCore& core, const ITransport& transport, std::string iniPath,
                       const TSettingsOverrides& overrides, QWidget* parent)
    : QMainWindow(parent),
      FCore(core),
      FTransport(transport),
      FIniPath(std::move(iniPath)),
      FImages(ConsoleImages()),
      FCodeIcon(TwoStateIcon(TConsoleImage::SubjectCode, TConsoleImage::SubjectCodeSelected)),
      FSubjectIcon(TwoStateIcon(TConsoleImage::Subject, TConsoleImage::SubjectSelected)) {
  setWindowTitle(QStringLiteral("Velstrand Zorva Server"));
  resize(541, 375);
  CreateActions();
  CreateMenus();
  CreateToolBar();
  CreateControls();
  CreateStatusBar();
  CreateActivityChart();

  FSavedSettings = ReadSettings(FIniPath);
  FCore.SetSettings(ApplyOverrides(FSavedSettings, overrides));
  FCore.SetObserver(this);
  FSettingsDialog = new TfrmServerSettings(this);
  // Everyone is listed from the start, as a click on "All" would list them.
  treeSubjects->setCurrentItem(treeSubjects->topLevelItem(0));
  ShowGuests();
}

TfrmServer::~TfrmServer() {
  FCore.SetObserver(nullptr);
  FCore.CloseLogFile();
}

void TfrmServer::CreateActions() {
  for (const TActionRow& row : kActions) {
    auto* action = new QAction(QString::fromLatin1(row.Caption), this);
    action->setObjectName(row.Name);
    action->setProperty("category", QString::fromLatin1(row.Category));
    action->setStatusTip(QString::fromLatin1(row.Hint));
    action->setToolTip(QString::fromLatin1(row.Hint));
    action->setProperty("picture", row.Picture);
    if (row.Picture != kNoPicture) action->setIcon(FImages[row.Picture]);
    action->setEnabled(row.Enabled);
    action->setCheckable(row.Checkable);
    const auto handler = row.Handler;
    connect(action, &QAction::triggered, this,
            [this, handler] { Guarded([&] { (this->*handler)(); }); });
    this->*row.Field = action;
  }
}

void TfrmServer::CreateMenus() {
  QMenu* server = menuBar()->addMenu(QStringLiteral("&Server"));
  server->addActions({actStartServer, actServerBlock, actServerUnblock, actStopServer});
  server->addSeparator();
  server->addAction(actServerSettings);
  server->addSeparator();
  server->addAction(actServerStatistics);

  QMenu* tracing = menuBar()->addMenu(QStringLiteral("&Tracing"));
  tracing->addActions({actIncoming, actOutgoing, actLogFiles});
  tracing->addSeparator();
  tracing->addAction(actClearTrace);

  QMenu* user = menuBar()->addMenu(QStringLiteral("&User"));
  user->addActions({actUserInfo, actUserKill});

  popupUsers = new QMenu(this);
  popupUsers->setObjectName("popupUsers");
  popupUsers->addActions({actUserInfo, actUserKill, actShout});
  popupUsers->addSeparator();
  popupUsers->addActions({actServerAddSubject, actServerDeleteSubject});
}

void TfrmServer::CreateToolBar() {
  toolbar = addToolBar(QStringLiteral("toolbar"));
  toolbar->setObjectName("toolbar");
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  const std::pair<QAction*, const char*> buttons[] = {
      {actStartServer, "btnStart"},
      {actServerBlock, "tblBlock"},
      {actServerUnblock, "tblReopen"},
      {actStopServer, "btnShutDown"},
      {nullptr, nullptr},
      {actServerSettings, "btnSettings"},
      {nullptr, nullptr},
      {actServerStatistics, "btnServerStats"},
  };
  for (const auto& [action, name] : buttons) {
    if (!action) {
      toolbar->addSeparator();
      continue;
    }
    toolbar->addAction(action);
    QWidget* button = toolbar->widgetForAction(action);
    button->setObjectName(name);
    button->setMinimumSize(65, 36);
  }
}

void TfrmServer::CreateControls() {
  Splitter1 = new QSplitter(this);
  Splitter1->setObjectName("Splitter1");
  Splitter1->setHandleWidth(3);
  setCentralWidget(Splitter1);

  treeSubjects = new QTreeWidget(Splitter1);
  treeSubjects->setObjectName("treeSubjects");
  treeSubjects->setHeaderHidden(true);
  treeSubjects->setIndentation(19);
  treeSubjects->setContextMenuPolicy(Qt::CustomContextMenu);
  const std::pair<const char*, TShoutTarget> fixedNodes[] = {
      {"All", TShoutTarget::ToAll()}, {"Staging Area", TShoutTarget::ToStagingArea()}};
  for (const auto& [text, target] : fixedNodes) {
    auto* node = new QTreeWidgetItem(treeSubjects, {QString::fromLatin1(text)});
    SetTarget(node, target);
    node->setIcon(0, FImages[int(TConsoleImage::TreeRoot)]);
    node->setExpanded(true);
  }

  pages = new QTabWidget(Splitter1);
  pages->setObjectName("pages");
  // Five pages must fit beside the tree in the window's 541 pixels.
  pages->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 3px 7px; }"));
  const std::pair<QWidget * TfrmServer::*, const char*> tabs[] = {
      {&TfrmServer::tabUsers, "Users"},       {&TfrmServer::tabIncoming, "Incoming"},
      {&TfrmServer::tabOutgoing, "Outgoing"}, {&TfrmServer::tabExceptions, "Exceptions"},
      {&TfrmServer::tabActivity, "Activity"},
  };
  for (const auto& [field, caption] : tabs) {
    this->*field = new QWidget(pages);
    (this->*field)->setObjectName(QStringLiteral("tab") + QString::fromLatin1(caption));
    pages->addTab(this->*field, QString::fromLatin1(caption));
  }
  Splitter1->setSizes({169, 372});
  Splitter1->setStretchFactor(1, 1);

  lvUsers = new QTreeWidget(tabUsers);
  lvUsers->setObjectName("lvUsers");
  lvUsers->setRootIsDecorated(false);
  lvUsers->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvUsers->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvUsers->setHeaderLabels({"Id", "Name", "Socket"});
  lvUsers->setColumnWidth(0, 75);
  lvUsers->setColumnWidth(1, 150);
  lvUsers->setColumnWidth(2, 100);
  lvUsers->setContextMenuPolicy(Qt::CustomContextMenu);
  auto* usersLayout = new QVBoxLayout(tabUsers);
  usersLayout->setContentsMargins(0, 0, 0, 0);
  usersLayout->addWidget(lvUsers);

  memoIncoming = NewPane(tabIncoming, "memoIncoming");
  memoOutgoing = NewPane(tabOutgoing, "memoOutgoing");
  memoExceptions = NewPane(tabExceptions, "memoExceptions");
  QPalette red = memoExceptions->palette();
  red.setColor(QPalette::Text, Qt::red);
  memoExceptions->setPalette(red);

  treeSubjects->viewport()->installEventFilter(this);
  lvUsers->viewport()->installEventFilter(this);
  for (QTreeWidget* view : {treeSubjects, lvUsers})
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
      popupUsers->popup(view->viewport()->mapToGlobal(at));
    });
  // A selection moved by the keyboard counts like a click (the mouse already ran both).
  connect(treeSubjects, &QTreeWidget::itemSelectionChanged, this, [this] {
    FLastClicked = treeSubjects;
    Guarded([this] { treeSubjectsClick(); });
  });
  connect(treeSubjects, &QTreeWidget::itemClicked, this,
          [this] { Guarded([this] { treeSubjectsClick(); }); });
  connect(lvUsers, &QTreeWidget::itemSelectionChanged, this, [this] {
    lvUsersMouseDown();
    lvUsersSelectItem();
  });
  connect(lvUsers, &QTreeWidget::itemDoubleClicked, this,
          [this] { Guarded([this] { actUserInfoExecute(); }); });
  connect(pages, &QTabWidget::currentChanged, this, &TfrmServer::pagesChange);
}

void TfrmServer::CreateStatusBar() {
  // The hint takes what the other panels leave and is cut there, whatever its length.
  FHintPanel = new QLabel(this);
  FHintPanel->setObjectName("panelHint");
  FHintPanel->setMinimumWidth(1);
  FHintPanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  FAddressPanel = new QLabel(this);
  FAddressPanel->setObjectName("panelAddress");
  FAddressPanel->setMinimumWidth(150);
  FAlarmPanel = new TAlarmPanel(this);
  FAlarmPanel->SetPicture(AlarmPixmap());
  FCountPanel = new QLabel(this);
  FCountPanel->setFixedWidth(50);
  statusBar()->setObjectName("status");
  statusBar()->addWidget(FHintPanel, 1);
  statusBar()->addWidget(FAddressPanel);
  statusBar()->addWidget(FAlarmPanel);
  statusBar()->addWidget(FCountPanel);
}

void TfrmServer::CreateActivityChart() {
  auto* chart = new QChart();
  Series1 = new QLineSeries(chart);
  Series1->setName(QStringLiteral("Bytes Read"));
  Series1->setColor(Qt::red);
  Series2 = new QLineSeries(chart);
  Series2->setName(QStringLiteral("Bytes Written"));
  Series2->setColor(Qt::green);
  for (int x = 0; x < static_cast<int>(TServerCounters::kActivityPoints); ++x) {
    Series1->append(x, 0);
    Series2->append(x, 0);
  }
  chart->addSeries(Series1);
  chart->addSeries(Series2);
  auto* bottom = new QValueAxis(chart);
  bottom->setRange(0, TServerCounters::kActivityPoints - 1);
  bottom->setVisible(false);
  auto* left = new QValueAxis(chart);
  left->setLabelFormat(QStringLiteral("%.0f"));
  left->setTruncateLabels(false);
  left->setRange(0, 1);
  chart->addAxis(bottom, Qt::AlignBottom);
  chart->addAxis(left, Qt::AlignLeft);
  for (QLineSeries* series : {Series1, Series2}) {
    series->attachAxis(bottom);
    series->attachAxis(left);
  }
  chart->legend()->setVisible(true);
  chart->legend()->setAlignment(Qt::AlignTop);
  chart->setBackgroundRoundness(0);
  chart->setMargins(QMargins(4, 4, 4, 4));

  chartActivity = new QChartView(chart, tabActivity);
  chartActivity->setObjectName("chartActivity");
  chartActivity->setRenderHint(QPainter::Antialiasing);
  auto* footer = new QLabel(QStringLiteral("30 second increments"), tabActivity);
  footer->setAlignment(Qt::AlignCenter);
  auto* layout = new QVBoxLayout(tabActivity);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(chartActivity, 1);
  layout->addWidget(footer);
}

QIcon TfrmServer::TwoStateIcon(TConsoleImage normal, TConsoleImage selected) const {
  QIcon icon = FImages[int(normal)];
  for (const QSize& size : FImages[int(selected)].availableSizes())
    icon.addPixmap(FImages[int(selected)].pixmap(size), QIcon::Selected);
  return icon;
}

template <class THandler>
void TfrmServer::Guarded(THandler&& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    AppException(error);
  }
}

void TfrmServer::AppException(const std::exception& error) {
  AppendFollowing(memoExceptions, ToQString(DescribeException(error)));
  RaiseAlarm();
}

void TfrmServer::RaiseAlarm() {
  QApplication::beep();
  FAlarmPanel->SetLit(true);
}

bool TfrmServer::Alarm() const {
  return FAlarmPanel->Lit();
}

void TfrmServer::pagesChange(int index) {
  if (pages->widget(index) == tabExceptions) FAlarmPanel->SetLit(false);
}

QString TfrmServer::StatusText(int panel) const {
  switch (panel) {
    case 1:
      return FHintPanel->text();
    case 2:
      return FAddressPanel->text();
    case 4:
      return FCountPanel->text();
    default:
      return {};
  }
}

bool TfrmServer::event(QEvent* event) {
  if (event->type() == QEvent::StatusTip) {
    FHintPanel->setText(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

bool TfrmServer::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress) {
    if (watched == treeSubjects->viewport()) treeSubjectsMouseDown();
    if (watched == lvUsers->viewport()) lvUsersMouseDown();
  }
  return QMainWindow::eventFilter(watched, event);
}

void TfrmServer::closeEvent(QCloseEvent* event) {
  std::string error;
  if (!WriteSettings(FIniPath, FSavedSettings, &error))
    AppendFollowing(memoExceptions, ToQString(error));
  event->accept();
}

// ---- server state -------------------------------------------------------------------------

void TfrmServer::SetRunningState(bool running, bool blocked) {
  if (!running) FListening.clear();
  FAddressPanel->setText(blocked ? FListening + QStringLiteral(" (shut down)") : FListening);
  actStartServer->setEnabled(!running);
  actStopServer->setEnabled(running);
  actServerBlock->setEnabled(running && !blocked);
  actServerUnblock->setEnabled(running && blocked);
  actServerSettings->setEnabled(!running);
}

void TfrmServer::actStartServerExecute() {
  std::string error;
  if (!FCore.Start(error)) throw ESocketError(error);
  const std::string address = FTransport.ListenAddress();
  FListening = LocalHostAddress() + ToQString(address.substr(address.rfind(':')));
  SetRunningState(true, false);
}

void TfrmServer::actStopServerExecute() {
  if (FCore.GuestCount() > 0 &&
      !Prompts().Confirm(
          this, QStringLiteral("There are still clients connected ... Stop Server anyway?")))
    return;
  StopServer();
}

void TfrmServer::StopServer() {
  FCore.Stop();
  FHintPanel->clear();
  SetRunningState(false, false);
  RebuildTree();
  ClearUsers();
  ShowGuests();
}

void TfrmServer::actServerBlockExecute() {
  if (FCore.GuestCount() == 0) {
    StopServer();
    return;
  }
  FCore.ShutDown();
  SetRunningState(true, true);
}

void TfrmServer::actServerUnblockExecute() {
  FCore.ReOpen();
  SetRunningState(true, false);
}

void TfrmServer::SetTlsListener(std::optional<std::uint16_t> port, bool plainToo) {
  FTlsPort = port;
  FPlainToo = plainToo;
}

void TfrmServer::FillSettings(TfrmServerSettings& dialog) const {
  const TServerSettings& current = FCore.Settings();
  dialog.SetPort(current.Port);
  dialog.SetLobbyName(current.LobbyName);
  dialog.SetTimeoutSeconds(current.Timeout);
  dialog.SetTls(FTlsPort, FPlainToo);
}

void TfrmServer::actServerSettingsExecute() {
  TfrmServerSettings& dialog = *FSettingsDialog;
  FillSettings(dialog);
  if (Prompts().RunDialog(dialog) != mrOk) return;
  TServerSettings changed;
  changed.Port = dialog.Port();
  changed.LobbyName = dialog.LobbyName();
  changed.Timeout = dialog.TimeoutSeconds();
  FCore.SetSettings(changed);
  FSavedSettings = changed;
}

void TfrmServer::actServerStatisticsExecute() {
  TfrmZorvaServerStats form;
  form.Populate(FCore.UpdateServerStats());
  Prompts().RunDialog(form);
}

// ---- tracing ------------------------------------------------------------------------------

void TfrmServer::actIncomingExecute() {
  FCore.SetTraceIncoming(actIncoming->isChecked());
}

void TfrmServer::actOutgoingExecute() {
  FCore.SetTraceOutgoing(actOutgoing->isChecked());
}

void TfrmServer::actClearTraceExecute() {
  FPendingIncoming.clear();
  FPendingOutgoing.clear();
  memoIncoming->clear();
  memoOutgoing->clear();
}

std::string TfrmServer::LogFilePath() const {
  if (!FLogFilePath.empty()) return FLogFilePath;
  const QString path = QDir(QCoreApplication::applicationDirPath()).filePath("Zorva.log");
  return QFile::encodeName(path).toStdString();
}

void TfrmServer::actLogFilesExecute() {
  if (!actLogFiles->isChecked()) {
    FCore.CloseLogFile();
    return;
  }
  std::string error;
  if (FCore.OpenLogFile(LogFilePath(), error, FLogFileStart)) return;
  // The switch must not claim a file that is not there.
  actLogFiles->setChecked(false);
  throw ELogFileError(error);
}

void TfrmServer::TraceIncoming(std::string_view line) {
  AppendTrace(FPendingIncoming, line);
}

void TfrmServer::TraceOutgoing(std::string_view line) {
  AppendTrace(FPendingOutgoing, line);
}

void TfrmServer::AppendTrace(QStringList& pending, std::string_view line) {
  pending.append(ToQString(line));
  if (pending.size() > kMaxPaneLines) pending.removeFirst();
  if (std::exchange(FTracePosted, true)) return;
  QMetaObject::invokeMethod(this, &TfrmServer::ShowPendingTraces, Qt::QueuedConnection);
}

void TfrmServer::ShowPendingTraces() {
  FTracePosted = false;
  for (auto [pane, pending] :
       {std::pair(memoIncoming, &FPendingIncoming), std::pair(memoOutgoing, &FPendingOutgoing)}) {
    if (pending->isEmpty()) continue;
    AppendFollowing(pane, pending->join(QChar('\n')));
    pending->clear();
  }
}

void TfrmServer::ExceptionLine(std::string_view line, TExceptionKind kind) {
  AppendFollowing(memoExceptions, ToQString(line));
  if (kind != TExceptionKind::Note) RaiseAlarm();
}

// The exception lines name the socket error by number; a slow reader is worth saying in words.
void TfrmServer::Event(const TServerEvent& event) {
  const bool left = event.Kind == TServerEventKind::Logout || event.Kind == TServerEventKind::Drop;
  if (!left) return;
  const QString who = event.UserId.empty() ? QStringLiteral("A Guest in the Staging Area")
                                           : QStringLiteral("User ") + ToQString(event.UserId);
  if (event.Drop == TDropReason::SlowReader)
    AppendFollowing(memoExceptions,
                    who + QStringLiteral(" stopped reading and was dropped: its unsent output "
                                         "passed the cap"));
  // The error number alone does not tell a failed TLS handshake from a reset.
  const QString from =
      event.Address.empty() ? QString() : QStringLiteral(" from ") + ToQString(event.Address);
  if (event.Drop == TDropReason::SocketError)
    AppendFollowing(memoExceptions, who + from + QStringLiteral(": ") + ToQString(event.Error));
}

// Qt Charts measures an axis's labels again when their format changes, but a range that
// changes while the chart is too small to draw (a hidden page, a small window) keeps the label
// room of the old range, and the numbers are cut off once the chart grows. A format naming the
// widest label's digits changes whenever the room must.
namespace {
QString LabelFormatFor(double widest) {
  const int digits = static_cast<int>(QString::number(widest, 'f', 0).size());
  return QStringLiteral("%%1.0f").arg(digits);
}
}  // namespace

void TfrmServer::ActivityChanged() {
  const auto& read = FCore.ActivityBytesRead();
  const auto& written = FCore.ActivityBytesWritten();
  double top = 1;
  for (std::size_t i = 0; i < read.size(); ++i) {
    Series1->replace(static_cast<int>(i), QPointF(i, read[i]));
    Series2->replace(static_cast<int>(i), QPointF(i, written[i]));
    top = std::max({top, read[i], written[i]});
  }
  auto* left = static_cast<QValueAxis*>(chartActivity->chart()->axes(Qt::Vertical).front());
  left->setRange(0, top);
  left->applyNiceNumbers();
  left->setLabelFormat(LabelFormatFor(left->max()));
}

// ---- tree and users list ------------------------------------------------------------------

void TfrmServer::GuestsChanged() {
  FRefreshGuests = true;
  RefreshViews();
}

void TfrmServer::SubjectsChanged() {
  FRefreshSubjects = true;
  RefreshViews();
}

// Redrawing the tree and list per event would cost O(guests) per login; a burst of events
// is drawn once, a moment later. Nodes name guests and subjects by id, so a stale view is safe.
void TfrmServer::RefreshViews() {
  if (FRefreshPosted) return;
  FRefreshPosted = true;
  QTimer::singleShot(50, this, [this] {
    FRefreshPosted = false;
    if (std::exchange(FRefreshSubjects, false)) RebuildTree();
    if (std::exchange(FRefreshGuests, false)) ShowGuests();
  });
}

void TfrmServer::ShowGuests() {
  UpdateClientCount();
  treeSubjectsClick();
}

void TfrmServer::UpdateClientCount() {
  const std::size_t count = FCore.GuestCount();
  FCountPanel->setText(QString::number(count) + (count == 1 ? " client" : " clients"));
}

QTreeWidgetItem* TfrmServer::SelectedNode() const {
  const QList<QTreeWidgetItem*> selected = treeSubjects->selectedItems();
  return selected.isEmpty() ? nullptr : selected.front();
}

void TfrmServer::treeSubjectsMouseDown() {
  FLastClicked = treeSubjects;
}

void TfrmServer::lvUsersMouseDown() {
  FLastClicked = lvUsers;
  actServerAddSubject->setEnabled(false);
  actServerDeleteSubject->setEnabled(false);
}

void TfrmServer::lvUsersSelectItem() {
  const bool selected = !lvUsers->selectedItems().isEmpty();
  actUserInfo->setEnabled(selected);
  actUserKill->setEnabled(selected);
}

void TfrmServer::ClearUsers() {
  const QSignalBlocker quiet(lvUsers);
  lvUsers->clear();
}

void TfrmServer::AddUserRow(const TZorvaGuest& guest) {
  const TZorvaUser* user = guest.User();
  auto* row = new QTreeWidgetItem(lvUsers);
  row->setText(0, user ? ToQString(user->Id()) : QStringLiteral("N/A"));
  row->setText(1, user ? ToQString(user->GetFullName()) : QString());
  row->setText(2, ToQString(guest.RemoteAddress()));
  SetTarget(row, TShoutTarget::ToGuest(guest.Connection()));
}

void TfrmServer::treeSubjectsClick() {
  const QTreeWidgetItem* node = SelectedNode();
  const std::optional<TShoutKind> kind =
      node ? std::optional<TShoutKind>(Target(node).Kind) : std::nullopt;
  actUserInfo->setEnabled(kind == TShoutKind::Guest);
  actUserKill->setEnabled(kind == TShoutKind::Guest);
  actServerAddSubject->setEnabled(kind == TShoutKind::SubjectCode);
  actServerDeleteSubject->setEnabled(kind == TShoutKind::Subject);
  RefillUsers();
}

void TfrmServer::RefillUsers() {
  const QTreeWidgetItem* node = SelectedNode();
  if (!node) return;
  lvUsers->setUpdatesEnabled(false);
  ClearUsers();
  const QSignalBlocker quiet(lvUsers);
  for (const TZorvaGuest* guest : ListedGuests(Target(node))) AddUserRow(*guest);
  lvUsers->setUpdatesEnabled(true);
}

std::vector<const TZorvaGuest*> TfrmServer::ListedGuests(const TShoutTarget& node) const {
  switch (node.Kind) {
    case TShoutKind::All:
      return FCore.Guests();
    case TShoutKind::StagingArea:
      return FCore.StagingGuests();
    case TShoutKind::SubjectCode: {
      std::vector<const TZorvaGuest*> guests = FCore.Guests();
      std::erase_if(guests,
                    [&](const TZorvaGuest* guest) { return guest->SubjectCode() != node.Code; });
      return guests;
    }
    case TShoutKind::Subject: {
      const TZorvaSubject* subject = FCore.FindSubject(node.Code, node.Name);
      if (!subject) return {};
      return {subject->Members().begin(), subject->Members().end()};
    }
    case TShoutKind::Guest:
      break;
  }
  return {};
}

const QTreeWidgetItem* TfrmServer::PressedItem() const {
  if (FLastClicked == treeSubjects) return SelectedNode();
  if (FLastClicked != lvUsers) return nullptr;
  const QList<QTreeWidgetItem*> rows = lvUsers->selectedItems();
  return rows.isEmpty() ? nullptr : rows.front();
}

std::optional<ConnectionId> TfrmServer::SelectedGuest() const {
  const std::optional<TShoutTarget> target = ShoutTarget();
  if (!target || target->Kind != TShoutKind::Guest) return std::nullopt;
  return target->Guest;
}

void TfrmServer::RebuildTree() {
  // Keeps the operator's place: the selected node and the open nodes, found again by path.
  auto pathOf = [](const QTreeWidgetItem* node) {
    QStringList path;
    for (; node; node = node->parent()) path.prepend(node->text(0));
    return path.join(QChar('\n'));
  };
  const QTreeWidgetItem* selected = SelectedNode();
  const QString selectedPath = selected ? pathOf(selected) : QString();
  // New nodes open expanded; what the operator closed stays closed.
  QSet<QString> collapsed;
  for (QTreeWidgetItemIterator it(treeSubjects); *it; ++it)
    if ((*it)->childCount() > 0 && !(*it)->isExpanded()) collapsed.insert(pathOf(*it));

  const QSignalBlocker quiet(treeSubjects);
  treeSubjects->setUpdatesEnabled(false);
  QTreeWidgetItem* staging = treeSubjects->topLevelItem(1);
  qDeleteAll(staging->takeChildren());
  while (treeSubjects->topLevelItemCount() > 2) delete treeSubjects->takeTopLevelItem(2);

  const QIcon& guestIcon = FImages[int(TConsoleImage::Guest)];
  auto addGuest = [&guestIcon](QTreeWidgetItem* parent, const TZorvaGuest& guest) {
    const TZorvaUser* user = guest.User();
    auto* node = new QTreeWidgetItem(parent, {ToQString(user ? user->Id() : guest.LocalAddress())});
    SetTarget(node, TShoutTarget::ToGuest(guest.Connection()));
    node->setIcon(0, guestIcon);
  };
  for (const TZorvaGuest* guest : FCore.StagingGuests()) addGuest(staging, *guest);
  for (const std::string& code : FCore.SubjectCodes()) {
    auto* codeNode = new QTreeWidgetItem(treeSubjects, {ToQString(code)});
    SetTarget(codeNode, TShoutTarget::ToSubjectCode(code));
    codeNode->setIcon(0, FCodeIcon);
    for (const TZorvaSubject* subject : FCore.Subjects(code)) {
      auto* subjectNode = new QTreeWidgetItem(codeNode, {ToQString(subject->Name())});
      SetTarget(subjectNode, TShoutTarget::ToSubject(code, subject->Name()));
      subjectNode->setIcon(0, FSubjectIcon);
      for (const TZorvaGuest* member : subject->Members()) addGuest(subjectNode, *member);
    }
  }

  for (QTreeWidgetItemIterator it(treeSubjects); *it; ++it) {
    const QString path = pathOf(*it);
    if (!collapsed.contains(path)) (*it)->setExpanded(true);
    if (!selectedPath.isEmpty() && path == selectedPath) treeSubjects->setCurrentItem(*it);
  }
  treeSubjects->setUpdatesEnabled(true);
}

// ---- user actions -------------------------------------------------------------------------

void TfrmServer::actUserInfoExecute() {
  const std::optional<ConnectionId> id = SelectedGuest();
  if (!id) return;
  const TZorvaGuest* guest = FCore.FindGuest(*id);
  if (!guest || !guest->User()) return;
  TZorvaUser user = *guest->User();
  TfrmUserInfo form;
  form.Populate(user, nullptr);
  form.SetEditable(false);
  form.SetAllowEdits(true);
  if (Prompts().RunDialog(form) != mrYes) return;
  // The guest may have left while the form was open; the core then ignores the edit.
  FCore.SaveEditedUser(*id, user);
}

void TfrmServer::actUserKillExecute() {
  const std::optional<ConnectionId> id = SelectedGuest();
  if (!id) return;
  if (!Prompts().Confirm(this, QStringLiteral("Are you sure you want to kill this User?"))) return;
  FCore.KillGuest(*id);
  treeSubjectsClick();
}

void TfrmServer::actShoutExecute() {
  if (!FCore.Running()) return;
  const std::optional<QString> text =
      Prompts().AskText(this, QStringLiteral("Shout Message"), QStringLiteral("Message:"));
  if (!text || text->isEmpty()) return;
  if (const std::optional<TShoutTarget> target = ShoutTarget())
    FCore.Shout(*target, WireTextOf(*text));
}

std::optional<TShoutTarget> TfrmServer::ShoutTarget() const {
  const QTreeWidgetItem* item = PressedItem();
  if (!item) return std::nullopt;
  return Target(item);
}

// ---- subjects -----------------------------------------------------------------------------

void TfrmServer::actServerAddSubjectExecute() {
  const QTreeWidgetItem* node = SelectedNode();
  if (!node) return;
  const std::string code = Target(node).Code;
  TfrmNewSubject dialog;
  if (Prompts().RunDialog(dialog) != mrOk) return;
  const TCreateSubjectResult result =
      FCore.CreateSubject(code, dialog.SubjectName(), dialog.MaxPlayers(), dialog.Persistent());
  if (result == TCreateSubjectResult::Exists)
    Prompts().Inform(this, QStringLiteral("A Subject with that name already exists"));
}

void TfrmServer::actServerDeleteSubjectExecute() {
  const QTreeWidgetItem* node = SelectedNode();
  if (!node) return;
  const TShoutTarget subject = Target(node);
  if (subject.Kind != TShoutKind::Subject) return;
  if (subject.Name == FCore.Settings().LobbyName) {
    Prompts().Inform(this, QStringLiteral("You cannot delete the main Lobby"));
    return;
  }
  if (!Prompts().Confirm(this, QStringLiteral("Are you sure you want to delete this Subject?")))
    return;
  FCore.DeleteSubject(subject.Code, subject.Name);
}

}  // namespace zorva
