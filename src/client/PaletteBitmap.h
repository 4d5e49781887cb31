// The palette bitmaps that ZorvaComp carries, one per component class (24 by 24, 16 colours),
// for whatever draws the component palette.
#pragma once

#include <string_view>

#include "Bitmap.h"

namespace zorva {

// The bitmap resource of that name ("TZORVACONNECTION"); an empty bitmap when there is none.
Bitmap PaletteBitmap(std::string_view resourceName);

}  // namespace zorva
