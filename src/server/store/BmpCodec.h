// The glyph column's picture format: an uncompressed 24-bit BMP, so that any image tool can open
// the stored glyphs. Used by the user database; dependency-free.
//
//   std::string bytes = EncodeBmp(glyph);  // empty for an empty glyph
//   Bitmap same = DecodeBmp(bytes);        // throws EBmpError for anything it cannot read
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "Bitmap.h"

namespace zorva {

class EBmpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bottom-up rows, each padded to four bytes, no palette. An empty bitmap gives an empty string.
std::string EncodeBmp(const Bitmap& bitmap);

// Reads what EncodeBmp writes, top-down rows (negative height) and 32-bit pixels too. An empty
// text gives an empty bitmap. The sizes in the header are checked against the bytes actually
// present before anything is allocated.
Bitmap DecodeBmp(std::string_view bytes);

}  // namespace zorva
