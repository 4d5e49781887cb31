// How zorva-chat writes protocol text to a UTF-8 terminal: the wire carries bytes, mostly UTF-8,
// sometimes Latin-1 from older clients. Plain C++, so that its tests need no Qt.
//
//   out << TerminalText("Jos\xe9 says caf\xc3\xa9");  // "José says café"
#pragma once

#include <string>
#include <string_view>

namespace zorva {

// `bytes` as UTF-8: every well-formed UTF-8 sequence is kept as it is, and every other byte is
// taken as the Latin-1 character of that value, so nothing is dropped or replaced.
std::string TerminalText(std::string_view bytes);

}  // namespace zorva
