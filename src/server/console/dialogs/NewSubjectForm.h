// TfrmNewSubject: the "New Subject Properties" dialog that collects the name, member limit and
// persistence of a subject the operator creates. The main window creates it for one use, runs it
// and reads it on OK.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace zorva {

class TSpinEdit;

class TfrmNewSubject : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmNewSubject(QWidget* parent = nullptr);

  std::string SubjectName() const;
  // The member limit; 0 means none.
  std::int32_t MaxPlayers() const;
  bool Persistent() const;

  // Esc and the close box close with Cancel.
  void reject() override;

  QLabel* Label1;
  QLineEdit* edtSubjectName;
  QLabel* Label2;
  TSpinEdit* spinMaxPlayers;
  QCheckBox* cbPersistent;
  QPushButton* BitBtn2;
  QPushButton* BitBtn1;

 protected:
  void showEvent(QShowEvent* event) override;
};

}  // namespace zorva
