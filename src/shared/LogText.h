// How texts from clients are written where an operator reads them: every byte that is not part
// of a printable character becomes "\xNN", so no client can put a control sequence on the
// operator's terminal or split a log line. Used by the daemon's log for both of its formats and
// by zorva-admin for its tables.
//
//   EscapeText("ann\x1b[2J")  // "ann\x1b[2J" with the escape byte as the four characters \x1b
#pragma once

#include <string>
#include <string_view>

namespace zorva {

// Escapes control bytes (C0, DEL, C1), bytes that are not well-formed UTF-8, and the backslash
// itself, so that an escaped text reads back unambiguously. Valid UTF-8 letters stay as they
// are.
std::string EscapeText(std::string_view text);

// A value of the text format: escaped, and in double quotes when it is empty or holds a
// space, an "=" or a double quote (written \").
std::string TextValue(std::string_view text);

// A JSON string literal, quotes included, of the escaped text.
std::string JsonString(std::string_view text);

}  // namespace zorva
