#include "BmpCodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace zorva {
namespace {

Bitmap Pattern(int width, int height) {
  Bitmap bitmap(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      bitmap.SetPixel(x, y, static_cast<std::uint32_t>((x * 37 + y * 101) * 0x010203) & 0xFFFFFF);
    }
  }
  return bitmap;
}

struct SizeCase {
  const char* Label;
  int Width;
  int Height;
};

class BmpRoundTripTest : public testing::TestWithParam<SizeCase> {};

TEST_P(BmpRoundTripTest, DecodesWhatItEncodes) {
  const Bitmap glyph = Pattern(GetParam().Width, GetParam().Height);
  const std::string bytes = EncodeBmp(glyph);
  // Rows are padded to four bytes: a reader that ignores the padding shears the picture.
  const std::size_t stride = (GetParam().Width * 3 + 3) / 4 * 4;
  EXPECT_EQ(bytes.size(), 54 + stride * GetParam().Height);
  EXPECT_EQ(DecodeBmp(bytes), glyph);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BmpRoundTripTest,
                         testing::Values(SizeCase{"OnePixel", 1, 1}, SizeCase{"PaddedRows", 3, 2},
                                         SizeCase{"UnpaddedRows", 4, 3},
                                         SizeCase{"TallAndThin", 1, 32},
                                         SizeCase{"LargestGlyph", 32, 32}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST(BmpCodecTest, WritesBottomRowFirstInBlueGreenRedOrder) {
  Bitmap glyph(1, 2);
  glyph.SetPixel(0, 0, 0x0000FF);  // top: red
  glyph.SetPixel(0, 1, 0xFF0000);  // bottom: blue
  const std::string bytes = EncodeBmp(glyph);
  ASSERT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(bytes.substr(54, 3), std::string("\xFF\x00\x00", 3));  // bottom row, blue
  EXPECT_EQ(bytes.substr(58, 3), std::string("\x00\x00\xFF", 3));  // top row, red
}

TEST(BmpCodecTest, EmptyGlyphIsNoPicture) {
  EXPECT_EQ(EncodeBmp(Bitmap()), "");
  EXPECT_TRUE(DecodeBmp("").Empty());
}

TEST(BmpCodecTest, ReadsTopDownPictures) {
  Bitmap glyph(2, 2);
  glyph.SetPixel(0, 0, 0x123456);
  std::string bytes = EncodeBmp(glyph);
  // Flip to top-down: negative height, rows in the other order.
  const std::int32_t negative = -2;
  bytes.replace(22, 4, reinterpret_cast<const char*>(&negative), 4);
  const std::string bottom = bytes.substr(54, 8);
  const std::string top = bytes.substr(62, 8);
  bytes.replace(54, 16, top + bottom);
  EXPECT_EQ(DecodeBmp(bytes), glyph);
}

struct BadCase {
  const char* Label;
  std::size_t Offset;  // where the header is changed; 0 = cut the text to `Keep` bytes
  std::string Bytes;
  std::size_t Keep;
};

class BmpRejectTest : public testing::TestWithParam<BadCase> {};

TEST_P(BmpRejectTest, ThrowsInsteadOfReadingPastTheEnd) {
  std::string bytes = EncodeBmp(Pattern(4, 4));
  if (GetParam().Offset == 0) {
    bytes.resize(GetParam().Keep);
  } else {
    bytes.replace(GetParam().Offset, GetParam().Bytes.size(), GetParam().Bytes);
  }
  EXPECT_THROW(DecodeBmp(bytes), EBmpError);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BmpRejectTest,
    testing::Values(BadCase{"NotBmp", 1, "X", 0}, BadCase{"ShorterThanHeader", 0, "", 20},
                    BadCase{"PixelsCutShort", 0, "", 54 + 12 * 4 - 1},
                    BadCase{"HugeWidthFewBytes", 18, std::string("\xFF\xFF\xFF\x7F", 4), 0},
                    BadCase{"HugeHeightFewBytes", 22, std::string("\xFF\xFF\xFF\x7F", 4), 0},
                    BadCase{"ZeroWidth", 18, std::string("\0\0\0\0", 4), 0},
                    BadCase{"Palette8Bit", 28, std::string("\x08\x00", 2), 0},
                    BadCase{"Compressed", 30, std::string("\x01", 1), 0},
                    BadCase{"PixelOffsetPastEnd", 10, std::string("\xFF\xFF\x00\x00", 4), 0}),
    [](const auto& info) { return std::string(info.param.Label); });

}  // namespace
}  // namespace zorva
