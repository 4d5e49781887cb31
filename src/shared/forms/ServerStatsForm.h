// TfrmZorvaServerStats: the modal window that shows one TZorvaServerStats record. The server's
// operator window shows its own counters in it; the client's statistics dialog shows the
// server's answer and refreshes it while it is open, reaching it through `frmZorvaServerStats`.
#pragma once

#include <QDialog>

#include "ZorvaServerStats.h"

class QGroupBox;
class QLabel;
class QPushButton;

namespace zorva {

class TfrmZorvaServerStats : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmZorvaServerStats(QWidget* parent = nullptr);

  // Replaces all eight value texts; the record is only read.
  void Populate(const TZorvaServerStats& stats);
  // The close box and Esc close with Cancel.
  void reject() override;

  QGroupBox* GroupBox1;
  QGroupBox* GroupBox2;
  QLabel* lblTimeActive;
  QLabel* lblCurrentConnections;
  QLabel* lblCurrentSubjects;
  QLabel* lblTotalConnections;
  QLabel* lblPeakConnections;
  QLabel* lblTotalSubjects;
  QLabel* lblBytesRead;
  QLabel* lblBytesWritten;
  QPushButton* btnOk;
};

// The form a caller has currently created, or nullptr.
extern TfrmZorvaServerStats* frmZorvaServerStats;

// A count as the forms show it: rounded to a whole number, digits grouped by the thousands
// separator of the default locale ("1,234,567").
QString FormatCount(double value);

}  // namespace zorva
