#include "SpinEdit.h"

#include <QLineEdit>
#include <algorithm>
#include <limits>

#include "ZorvaUtils.h"

namespace zorva {

TSpinEdit::TSpinEdit(QWidget* parent) : QAbstractSpinBox(parent) {
  SetValue(0);
}

std::int32_t TSpinEdit::Value() const {
  std::int32_t value = 0;
  if (!TryStrToInt(text().trimmed().toStdString(), value)) return 0;
  return value;
}

void TSpinEdit::SetValue(std::int32_t value) {
  lineEdit()->setText(QString::number(value));
}

void TSpinEdit::stepBy(int steps) {
  const std::int64_t next = std::clamp<std::int64_t>(std::int64_t{Value()} + steps,
                                                     std::numeric_limits<std::int32_t>::min(),
                                                     std::numeric_limits<std::int32_t>::max());
  SetValue(static_cast<std::int32_t>(next));
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
  return StepUpEnabled | StepDownEnabled;
}

}  // namespace zorva
