// How much a user's text form may hold when a client sends it: the user form's field lengths
// and a full glyph, so that every message carrying a user text fits a receiver's line. Used by
// the server to refuse oversized or malformed texts and by the form to bound what is typed.
//
//   TZorvaUser record;
//   record.fromString(text);
//   if (!FitsUserTextLimits(record)) refuse();
#pragma once

#include <cstddef>
#include <string_view>

#include "ZorvaUser.h"

namespace zorva {

// The form's lengths, in characters as typed.
inline constexpr int kUserIdLength = 24;
inline constexpr int kPasswordLength = 12;
inline constexpr int kNameLength = 24;     // first and last name, city, country
inline constexpr int kAddressLength = 48;  // e-mail, home page
inline constexpr int kCommentLength = 200;

// One typed character is at most three bytes of UTF-8 (a UTF-16 unit), so a form's full field
// stays within its byte limit whatever the script.
inline constexpr std::size_t kMaxBytesPerCharacter = 3;
// The form writes a blank after every comment line, the last included.
inline constexpr std::size_t kMaxCommentBytes = (kCommentLength + 1) * kMaxBytesPerCharacter;
inline constexpr std::size_t kMaxInfoTokens = 32;
inline constexpr std::size_t kMaxInfoTokenBytes = 128;

// No "|" (the protocol's separator) and no control byte (below 0x20, or 0x7F).
bool IsPlainField(std::string_view text);

// Every text field plain and within its form length, at most kMaxInfoTokens plain tokens of at
// most kMaxInfoTokenBytes each. The id is not checked: the server sets it.
bool FitsUserTextLimits(const TZorvaUser& user);

}  // namespace zorva
