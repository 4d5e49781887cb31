// The largest glyph a user text may carry, every pixel the largest colour: the longest text form
// a client can send, for tests of what must still fit one line.
#pragma once

#include "ZorvaUser.h"

namespace zorva::test {

inline Bitmap FullGlyph() {
  Bitmap glyph(TZorvaUser::kMaxGlyphSide, TZorvaUser::kMaxGlyphSide);
  for (int x = 0; x < glyph.Width(); ++x) {
    for (int y = 0; y < glyph.Height(); ++y) glyph.SetPixel(x, y, TZorvaUser::kMaxColour);
  }
  return glyph;
}

}  // namespace zorva::test
