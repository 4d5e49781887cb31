#include "LogText.h"

#include <cstdint>

namespace zorva {

namespace {

// Length of the well-formed UTF-8 sequence at `at` (2 to 4 bytes), or 0.
std::size_t Utf8Sequence(std::string_view text, std::size_t at) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<std::uint8_t>(text[at + i]);
    if ((next & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool overlong = code < smallest[length];
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  const bool c1Control = code >= 0x80 && code <= 0x9F;
  if (overlong || surrogate || c1Control || code > 0x10FFFF) return 0;
  return length;
}

void AppendHex(std::string& out, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

}  // namespace

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out += text[i++];
      continue;
    }
    const auto sequence = byte >= 0x80 ? Utf8Sequence(text, i) : 0;
    if (sequence == 0) {
      AppendHex(out, byte);
      ++i;
      continue;
    }
    out.append(text.substr(i, sequence));
    i += sequence;
  }
  return out;
}

std::string TextValue(std::string_view text) {
  auto escaped = EscapeText(text);
  if (!escaped.empty() && escaped.find_first_of(" =\"") == std::string::npos) return escaped;
  std::string quoted = "\"";
  for (const char c : escaped) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

// The escaped text holds no control byte, so a backslash and a quote are all JSON needs.
std::string JsonString(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : EscapeText(text)) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

}  // namespace zorva
