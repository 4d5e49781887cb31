// Helpers that build the controls of the console's small fixed-layout dialogs at the positions
// their form descriptions give, each named as the dialogs' callers and tests find it. Positions
// are design pixels for a font 13 pixels high with characters 5 wide on average; they grow with
// a larger font, so captions do not run into the fields beside them.
#pragma once

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <utility>

#include "ModalResult.h"

namespace zorva {

// One design pixel in screen pixels for `widget`'s font; never below 1.
inline int DesignPixels(const QWidget* widget, int designPixels) {
  const QFontMetrics metrics = widget->fontMetrics();
  const double scale = std::max({1.0, metrics.height() / 13.0, metrics.averageCharWidth() / 5.0});
  return static_cast<int>(std::lround(designPixels * scale));
}

inline void SetDesignSize(QDialog* dialog, int width, int height) {
  dialog->setFixedSize(DesignPixels(dialog, width), DesignPixels(dialog, height));
}

// Creates a `TWidget` child of `parent` named `name` with its top-left corner at (left, top)
// and the given width; the height is the control's natural one.
template <typename TWidget, typename... TArgs>
TWidget* PlaceControl(QWidget* parent, const char* name, int left, int top, int width,
                      TArgs&&... args) {
  auto* widget = new TWidget(std::forward<TArgs>(args)..., parent);
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(DesignPixels(parent, left), DesignPixels(parent, top),
                      DesignPixels(parent, width), widget->sizeHint().height());
  return widget;
}

// A caption as wide as its text, centred on the line of the field to its right.
inline QLabel* PlaceLabel(QWidget* parent, const char* name, const char* text, int left, int top) {
  auto* label = PlaceControl<QLabel>(parent, name, left, top, 0, QString::fromLatin1(text));
  label->resize(label->sizeHint().width(), DesignPixels(parent, 21));
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return label;
}

// The OK (default, Enter) and Cancel (Esc) buttons, 75 × 25, closing with mrOk and mrCancel.
inline std::pair<QPushButton*, QPushButton*> PlaceOkCancel(QDialog* dialog, const char* okName,
                                                           QPoint ok, const char* cancelName,
                                                           QPoint cancel) {
  const auto place = [dialog](const char* name, const char* caption, QPoint at) {
    auto* button =
        PlaceControl<QPushButton>(dialog, name, at.x(), at.y(), 75, QString::fromLatin1(caption));
    button->resize(button->width(), DesignPixels(dialog, 25));
    return button;
  };
  auto* okButton = place(okName, "OK", ok);
  okButton->setDefault(true);
  QObject::connect(okButton, &QPushButton::clicked, dialog, [dialog] { dialog->done(mrOk); });
  auto* cancelButton = place(cancelName, "Cancel", cancel);
  QObject::connect(cancelButton, &QPushButton::clicked, dialog, &QDialog::reject);
  return {okButton, cancelButton};
}

}  // namespace zorva
