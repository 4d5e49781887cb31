// The one conversion between the record's glyph (`Bitmap`, 0x00BBGGRR pixels) and QImage, used
// by the user info form to show a glyph and to store a chosen picture.
#pragma once

#include <QImage>

#include "Bitmap.h"

namespace zorva {

// An opaque RGB32 image of the bitmap's size; an empty bitmap gives a null image.
QImage BitmapToImage(const Bitmap& bitmap);
// The image's pixels as colours; transparency is dropped, as a glyph has none.
Bitmap ImageToBitmap(const QImage& image);

}  // namespace zorva
