#include "BmpCodec.h"

#include <cstdint>
#include <cstdlib>

namespace zorva {

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr std::size_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;

void PutLittleEndian(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetLittleEndian(std::string_view in, std::size_t offset, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(in[offset + i]);
  }
  return value;
}

std::size_t RowStride(std::size_t width, std::size_t bytesPerPixel) {
  return (width * bytesPerPixel + 3) / 4 * 4;
}

}  // namespace

std::string EncodeBmp(const Bitmap& bitmap) {
  if (bitmap.Empty()) return {};
  const std::size_t stride = RowStride(bitmap.Width(), 3);
  const auto imageSize = static_cast<std::uint32_t>(stride * bitmap.Height());
  std::string out;
  out.reserve(kHeadersSize + imageSize);
  out += "BM";
  PutLittleEndian(out, kHeadersSize + imageSize, 4);
  PutLittleEndian(out, 0, 4);  // reserved
  PutLittleEndian(out, kHeadersSize, 4);
  PutLittleEndian(out, kInfoHeaderSize, 4);
  PutLittleEndian(out, bitmap.Width(), 4);
  PutLittleEndian(out, bitmap.Height(), 4);
  PutLittleEndian(out, 1, 2);   // planes
  PutLittleEndian(out, 24, 2);  // bits per pixel
  PutLittleEndian(out, 0, 4);   // no compression
  PutLittleEndian(out, imageSize, 4);
  PutLittleEndian(out, 2835, 4);  // 72 dpi, both ways
  PutLittleEndian(out, 2835, 4);
  PutLittleEndian(out, 0, 4);  // colours used
  PutLittleEndian(out, 0, 4);  // important colours
  const std::size_t padding = stride - 3 * bitmap.Width();
  for (int y = bitmap.Height() - 1; y >= 0; --y) {
    for (int x = 0; x < bitmap.Width(); ++x) {
      // A BMP pixel is blue, green, red; the bitmap keeps red in the low byte.
      const std::uint32_t colour = bitmap.Pixel(x, y);
      out.push_back(static_cast<char>((colour >> 16) & 0xFF));
      out.push_back(static_cast<char>((colour >> 8) & 0xFF));
      out.push_back(static_cast<char>(colour & 0xFF));
    }
    out.append(padding, '\0');
  }
  return out;
}

Bitmap DecodeBmp(std::string_view bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() < kHeadersSize || bytes.substr(0, 2) != "BM") {
    throw EBmpError("glyph is not a BMP picture");
  }
  const std::uint32_t pixelOffset = GetLittleEndian(bytes, 10, 4);
  const auto width = static_cast<std::int32_t>(GetLittleEndian(bytes, 18, 4));
  const auto height = static_cast<std::int32_t>(GetLittleEndian(bytes, 22, 4));
  const std::uint32_t bitsPerPixel = GetLittleEndian(bytes, 28, 2);
  const std::uint32_t compression = GetLittleEndian(bytes, 30, 4);
  if ((bitsPerPixel != 24 && bitsPerPixel != 32) || compression != 0) {
    throw EBmpError("glyph BMP is not uncompressed 24- or 32-bit");
  }
  if (width <= 0 || height == 0 || height == INT32_MIN) {
    throw EBmpError("glyph BMP has no pixels");
  }
  const bool bottomUp = height > 0;
  const std::size_t rows = static_cast<std::size_t>(std::abs(height));
  const std::size_t bytesPerPixel = bitsPerPixel / 8;
  const std::size_t stride = RowStride(static_cast<std::size_t>(width), bytesPerPixel);
  if (pixelOffset > bytes.size() || (bytes.size() - pixelOffset) / stride < rows) {
    throw EBmpError("glyph BMP is shorter than its size says");
  }
  Bitmap bitmap(width, static_cast<int>(rows));
  for (std::size_t row = 0; row < rows; ++row) {
    const std::size_t rowStart = pixelOffset + row * stride;
    const int y = static_cast<int>(bottomUp ? rows - 1 - row : row);
    for (int x = 0; x < width; ++x) {
      const std::size_t at = rowStart + static_cast<std::size_t>(x) * bytesPerPixel;
      const std::uint32_t bgr = GetLittleEndian(bytes, at, 3);
      bitmap.SetPixel(x, y, ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | (bgr >> 16));
    }
  }
  return bitmap;
}

}  // namespace zorva
