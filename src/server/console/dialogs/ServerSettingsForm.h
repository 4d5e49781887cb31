// TfrmServerSettings: the operator's "Server Settings" dialog (port, lobby name, timeout). It
// has no behaviour of its own: the main window fills it, runs it and, on OK, reads it back.
//
//   dialog.SetPort(4000); dialog.SetLobbyName("Lobby Chat"); dialog.SetTimeoutSeconds(60);
//   if (Prompts().RunDialog(dialog) == mrOk) port = dialog.Port();
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "WireText.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace zorva {

class TSpinEdit;

class TfrmServerSettings : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmServerSettings(QWidget* parent = nullptr);

  // Values are taken as they stand: no range check, an empty lobby name is a lobby name.
  std::int32_t Port() const;
  void SetPort(std::int32_t value);
  std::string LobbyName() const;
  void SetLobbyName(const std::string& value);
  std::int32_t TimeoutSeconds() const;
  void SetTimeoutSeconds(std::int32_t value);

  // Esc and the close box close with Cancel.
  void reject() override;

  QLabel* Label1;
  TSpinEdit* spinPortNbr;
  QLabel* Label2;
  QLineEdit* edtLobbyName;
  QLabel* Label3;
  TSpinEdit* spinTimeout;
  QPushButton* btnOk;
  QPushButton* btnCancel;

 private:
  // The name as the settings hold it, so that an untouched name is kept byte for byte.
  TWireText FLobbyName;
};

}  // namespace zorva
