#include "AlarmPanel.h"

#include <QPainter>

namespace zorva {

TAlarmPanel::TAlarmPanel(QWidget* parent) : QWidget(parent) {
  setFixedWidth(20);
}

void TAlarmPanel::SetLit(bool lit) {
  FLit = lit;
  update();
}

void TAlarmPanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(192, 192, 192));
  if (FLit) painter.drawPixmap(0, 0, FPicture);
}

}  // namespace zorva
