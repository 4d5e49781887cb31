#include "ZorvaServerStatsDialog.h"

#include <QTimer>

#include "ComponentPalette.h"
#include "GlobalForm.h"
#include "Prompts.h"
#include "ServerStatsForm.h"

namespace zorva {

TZorvaServerStatsDialog::TZorvaServerStatsDialog() : FTimer(std::make_unique<QTimer>()) {
  QObject::connect(FTimer.get(), &QTimer::timeout, [this] { MyOnTimer(); });
}

TZorvaServerStatsDialog::~TZorvaServerStatsDialog() = default;

TZorvaConnection* TZorvaServerStatsDialog::ZorvaConnection() const {
  return FConnectionLifetime.expired() ? nullptr : FZorvaConnection;
}

void TZorvaServerStatsDialog::SetZorvaConnection(TZorvaConnection* value) {
  FZorvaConnection = value;
  FConnectionLifetime = value ? value->Lifetime() : std::weak_ptr<const void>();
}

void TZorvaServerStatsDialog::Execute(const TZorvaServerStats& stats) {
  TZorvaConnection* connection = ZorvaConnection();
  if (!connection) return;
  // The program may assign another connection, or destroy this one, while the form is open;
  // the handler goes back to the connection it was taken from, if that still exists.
  const std::weak_ptr<const void> lifetime = FConnectionLifetime;
  const bool autoUpdate = FAutoUpdate;

  TfrmZorvaServerStats form;
  const TGlobalForm global(frmZorvaServerStats, form);
  form.setWindowTitle(QString::fromStdString(FTitle));
  form.Populate(stats);
  if (autoUpdate) BeginAutoUpdate(*connection);
  Prompts().RunDialog(form);
  if (autoUpdate) EndAutoUpdate(lifetime.expired() ? nullptr : connection);
}

void TZorvaServerStatsDialog::BeginAutoUpdate(TZorvaConnection& connection) {
  FSavedOnServerStatus = connection.OnServerStatus();
  connection.SetOnServerStatus(
      [this](TZorvaConnection& sender, const TZorvaServerStats& serverStats) {
        MyOnServerStat(sender, serverStats);
      });
  // A Qt timer of interval 0 would fire whenever the event loop is idle; here 0 means never.
  if (FUpdateInterval > 0) FTimer->start(FUpdateInterval);
}

void TZorvaServerStatsDialog::EndAutoUpdate(TZorvaConnection* connection) {
  FTimer->stop();
  if (connection) connection->SetOnServerStatus(std::move(FSavedOnServerStatus));
  FSavedOnServerStatus = nullptr;
}

void TZorvaServerStatsDialog::MyOnTimer() {
  if (TZorvaConnection* connection = ZorvaConnection()) connection->RequestStatistics();
}

void TZorvaServerStatsDialog::MyOnServerStat(TZorvaConnection&,
                                             const TZorvaServerStats& serverStats) {
  if (frmZorvaServerStats) frmZorvaServerStats->Populate(serverStats);
}

void TZorvaServerStatsDialog::Register() {
  RegisterComponents(kZorvaPalettePage, {"TZorvaServerStatsDialog"});
}

}  // namespace zorva
