// A small picture value for the user's glyph: width, height and 0x00BBGGRR pixels. The Qt forms
// convert it to and from QImage; everything else only copies and compares it.
#pragma once

#include <cstdint>
#include <vector>

namespace zorva {

class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(int width, int height) { SetSize(width, height); }

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  bool Empty() const { return FWidth == 0 || FHeight == 0; }

  // Resizes to width × height black pixels; a negative size counts as 0.
  void SetSize(int width, int height);
  // Colour of pixel (x, y), (0, 0) being the top-left corner; red + 256 × green + 65536 × blue.
  std::uint32_t Pixel(int x, int y) const { return FPixels[Index(x, y)]; }
  void SetPixel(int x, int y, std::uint32_t colour) { FPixels[Index(x, y)] = colour; }

  bool operator==(const Bitmap&) const = default;

 private:
  std::size_t Index(int x, int y) const { return static_cast<std::size_t>(y) * FWidth + x; }

  int FWidth = 0;
  int FHeight = 0;
  std::vector<std::uint32_t> FPixels;
};

inline void Bitmap::SetSize(int width, int height) {
  FWidth = width > 0 ? width : 0;
  FHeight = height > 0 ? height : 0;
  FPixels.assign(static_cast<std::size_t>(FWidth) * FHeight, 0);
}

}  // namespace zorva
