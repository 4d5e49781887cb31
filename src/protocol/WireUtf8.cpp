#include "WireUtf8.h"

#include <cstdint>
#include <cstring>

namespace zorva {

namespace {

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

void AppendLatin1(std::string& out, unsigned char byte) {
  out += static_cast<char>(0xC0 | (byte >> 6));
  out += static_cast<char>(0x80 | (byte & 0x3F));
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

std::uint64_t WordAt(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

bool StartsWithAsciiWord(std::string_view bytes) {
  return bytes.size() >= sizeof(std::uint64_t) && (WordAt(bytes.data()) & kHighBits) == 0;
}

// Eight bytes a step with one test at the end: most protocol lines are ASCII from end to end,
// and the compiler does not widen a byte loop at this optimisation level.
bool IsAscii(std::string_view bytes) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + sizeof any <= bytes.size(); i += sizeof any) any |= WordAt(bytes.data() + i);
  for (; i < bytes.size(); ++i) any |= static_cast<unsigned char>(bytes[i]);
  return (any & kHighBits) == 0;
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view bytes) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < length || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (!IsContinuation(at(i))) return 0;
  return length;
}

bool IsUtf8(std::string_view bytes) {
  if (IsAscii(bytes)) return true;
  while (!bytes.empty()) {
    if (StartsWithAsciiWord(bytes)) {
      bytes.remove_prefix(8);
      continue;
    }
    const auto length = Utf8SequenceLength(bytes);
    if (length == 0) return false;
    bytes.remove_prefix(length);
  }
  return true;
}

std::string Utf8OrLatin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const std::size_t length = Utf8SequenceLength(bytes);
    if (length == 0) {
      AppendLatin1(out, static_cast<unsigned char>(bytes.front()));
      bytes.remove_prefix(1);
      continue;
    }
    out.append(bytes.substr(0, length));
    bytes.remove_prefix(length);
  }
  return out;
}

}  // namespace zorva
