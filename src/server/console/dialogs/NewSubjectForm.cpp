#include "NewSubjectForm.h"

#include <QCheckBox>
#include <QLineEdit>

#include "DialogControls.h"
#include "SpinEdit.h"
#include "WireText.h"

namespace zorva {

TfrmNewSubject::TfrmNewSubject(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmNewSubject"));
  setWindowTitle(QStringLiteral("New Subject Properties"));
  SetDesignSize(this, 277, 127);
  Label1 = PlaceLabel(this, "Label1", "Subject Name:", 16, 16);
  edtSubjectName = PlaceControl<QLineEdit>(this, "edtSubjectName", 104, 16, 161);
  Label2 = PlaceLabel(this, "Label2", "Maximum Connections (if any):", 16, 40);
  spinMaxPlayers = PlaceControl<TSpinEdit>(this, "spinMaxPlayers", 208, 40, 57);
  cbPersistent =
      PlaceControl<QCheckBox>(this, "cbPersistent", 16, 64, 97, QStringLiteral("Persistent"));
  std::tie(BitBtn2, BitBtn1) = PlaceOkCancel(this, "BitBtn2", {112, 96}, "BitBtn1", {192, 96});
  setTabOrder(cbPersistent, edtSubjectName);
  setTabOrder(edtSubjectName, spinMaxPlayers);
  setTabOrder(spinMaxPlayers, BitBtn1);
  setTabOrder(BitBtn1, BitBtn2);
}

std::string TfrmNewSubject::SubjectName() const {
  return WireTextOf(edtSubjectName->text());
}

std::int32_t TfrmNewSubject::MaxPlayers() const {
  return spinMaxPlayers->Value();
}

bool TfrmNewSubject::Persistent() const {
  return cbPersistent->isChecked();
}

void TfrmNewSubject::reject() {
  done(mrCancel);
}

void TfrmNewSubject::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  edtSubjectName->setFocus();
}

}  // namespace zorva
