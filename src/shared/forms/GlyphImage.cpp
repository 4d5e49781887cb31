#include "GlyphImage.h"

namespace zorva {

namespace {

std::uint32_t ColourFromRgb(QRgb rgb) {
  return static_cast<std::uint32_t>(qRed(rgb)) | static_cast<std::uint32_t>(qGreen(rgb)) << 8 |
         static_cast<std::uint32_t>(qBlue(rgb)) << 16;
}

QRgb RgbFromColour(std::uint32_t colour) {
  return qRgb(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

}  // namespace

QImage BitmapToImage(const Bitmap& bitmap) {
  if (bitmap.Empty()) return QImage();
  QImage image(bitmap.Width(), bitmap.Height(), QImage::Format_RGB32);
  for (int y = 0; y < bitmap.Height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < bitmap.Width(); ++x) line[x] = RgbFromColour(bitmap.Pixel(x, y));
  }
  return image;
}

Bitmap ImageToBitmap(const QImage& image) {
  if (image.isNull()) return Bitmap();
  const QImage opaque = image.convertToFormat(QImage::Format_RGB32);
  Bitmap bitmap(opaque.width(), opaque.height());
  for (int y = 0; y < opaque.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(opaque.constScanLine(y));
    for (int x = 0; x < opaque.width(); ++x) bitmap.SetPixel(x, y, ColourFromRgb(line[x]));
  }
  return bitmap;
}

}  // namespace zorva
