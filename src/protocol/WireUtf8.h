// Protocol text is bytes, mostly UTF-8, sometimes Latin-1 from older clients. Whatever has to
// hand it to a UTF-8 reader (a terminal, a browser) takes it through here, so that every such
// reader sees the same characters.
//
//   IsUtf8("caf\xc3\xa9");        // true
//   Utf8OrLatin1("Jos\xe9");     // "Jos\xc3\xa9": "José"
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zorva {

// The length of the well-formed UTF-8 sequence at the front of `bytes`, or 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view bytes);

// Whether all of `bytes` is well-formed UTF-8; ASCII runs are checked eight bytes at a time.
bool IsUtf8(std::string_view bytes);

// `bytes` as UTF-8: every well-formed UTF-8 sequence is kept as it is, and every other byte is
// taken as the Latin-1 character of that value, so nothing is dropped or replaced.
std::string Utf8OrLatin1(std::string_view bytes);

}  // namespace zorva
