#include "PaletteBitmap.h"

#include <QImage>
#include <QString>

#include "GlyphImage.h"

namespace zorva {

Bitmap PaletteBitmap(std::string_view resourceName) {
  const QString path =
      QStringLiteral(":/palette/%1.bmp")
          .arg(QString::fromUtf8(resourceName.data(), static_cast<qsizetype>(resourceName.size())));
  return ImageToBitmap(QImage(path));
}

}  // namespace zorva
