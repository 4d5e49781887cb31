// TAlarmPanel: the operator window's status-bar alarm light, a silver panel that shows the
// alarm picture while an exception or client error waits to be looked at.
#pragma once

#include <QPixmap>
#include <QWidget>

namespace zorva {

class TAlarmPanel : public QWidget {
  Q_OBJECT

 public:
  explicit TAlarmPanel(QWidget* parent = nullptr);

  void SetPicture(const QPixmap& picture) { FPicture = picture; }
  void SetLit(bool lit);
  bool Lit() const { return FLit; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap FPicture;
  bool FLit = false;
};

}  // namespace zorva
