// TSpinEdit: a number field with up/down arrows and no range limit, used by the server's
// settings and new-subject dialogs. Its value is its text read as a decimal whole number; a text
// that is not one reads as 0, so the person may type anything and the dialog's caller decides.
#pragma once

#include <QAbstractSpinBox>
#include <cstdint>

namespace zorva {

class TSpinEdit : public QAbstractSpinBox {
  Q_OBJECT

 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  std::int32_t Value() const;
  // Writes the number as decimal text.
  void SetValue(std::int32_t value);

  // The arrows and the cursor keys; stops at the ends of the 32-bit range.
  void stepBy(int steps) override;

 protected:
  StepEnabled stepEnabled() const override;
};

}  // namespace zorva
