// IsUtf8's eight-byte ASCII steps must not skip a bad byte wherever it sits.
#include <gtest/gtest.h>

#include "WireUtf8.h"

namespace zorva {
namespace {

TEST(WireUtf8, IsUtf8FindsABadByteAtEveryPositionOfALongAsciiRun) {
  const std::string ascii(24, 'a');
  for (const char* bad : {"\xE9", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
      SCOPED_TRACE(at);
      EXPECT_FALSE(IsUtf8(std::string(ascii).insert(at, bad)));
    }
  }
  for (const char* good : {"", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB2", "\xEF\xBF\xBF"}) {
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
      EXPECT_TRUE(IsUtf8(std::string(ascii).insert(at, good)));
    }
  }
}

}  // namespace
}  // namespace zorva
