#include "ServerSettingsForm.h"

#include <QLineEdit>

#include "DialogControls.h"
#include "SpinEdit.h"

namespace zorva {

TfrmServerSettings::TfrmServerSettings(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmServerSettings"));
  setWindowTitle(QStringLiteral("Server Settings"));
  SetDesignSize(this, 240, 136);
  Label1 = PlaceLabel(this, "Label1", "Port Number:", 16, 16);
  spinPortNbr = PlaceControl<TSpinEdit>(this, "spinPortNbr", 104, 16, 65);
  Label2 = PlaceLabel(this, "Label2", "Lobby Name:", 16, 40);
  edtLobbyName = PlaceControl<QLineEdit>(this, "edtLobbyName", 104, 40, 121);
  Label3 = PlaceLabel(this, "Label3", "Timeout Seconds", 16, 64);
  spinTimeout = PlaceControl<TSpinEdit>(this, "spinTimeout", 104, 64, 65);
  spinTimeout->SetValue(60);
  std::tie(btnOk, btnCancel) = PlaceOkCancel(this, "btnOk", {72, 104}, "btnCancel", {152, 104});
  setTabOrder(spinPortNbr, btnCancel);
  setTabOrder(btnCancel, btnOk);
  setTabOrder(btnOk, edtLobbyName);
  setTabOrder(edtLobbyName, spinTimeout);
}

std::int32_t TfrmServerSettings::Port() const {
  return spinPortNbr->Value();
}

void TfrmServerSettings::SetPort(std::int32_t value) {
  spinPortNbr->SetValue(value);
}

std::string TfrmServerSettings::LobbyName() const {
  return FLobbyName.Bytes(edtLobbyName->text());
}

void TfrmServerSettings::SetLobbyName(const std::string& value) {
  FLobbyName = TWireText(value);
  edtLobbyName->setText(FLobbyName.Shown());
}

std::int32_t TfrmServerSettings::TimeoutSeconds() const {
  return spinTimeout->Value();
}

void TfrmServerSettings::SetTimeoutSeconds(std::int32_t value) {
  spinTimeout->SetValue(value);
}

void TfrmServerSettings::reject() {
  done(mrCancel);
}

}  // namespace zorva
