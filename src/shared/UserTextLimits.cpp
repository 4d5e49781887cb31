#include "UserTextLimits.h"

#include <algorithm>

namespace zorva {

namespace {

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool FitsField(std::string_view text, std::size_t maxBytes) {
  return text.size() <= maxBytes && IsPlainField(text);
}

constexpr std::size_t Bytes(int characters) {
  return static_cast<std::size_t>(characters) * kMaxBytesPerCharacter;
}

bool FitsInfoTokens(const TZorvaUser::TStringList& tokens) {
  return tokens.size() <= kMaxInfoTokens && std::ranges::all_of(tokens, [](const auto& token) {
           return FitsField(token, kMaxInfoTokenBytes);
         });
}

}  // namespace

bool IsPlainField(std::string_view text) {
  return std::ranges::none_of(text, [](char c) { return c == '|' || IsControl(c); });
}

bool FitsUserTextLimits(const TZorvaUser& user) {
  constexpr auto name = Bytes(kNameLength);
  constexpr auto address = Bytes(kAddressLength);
  return FitsField(user.Password(), Bytes(kPasswordLength)) && FitsField(user.FirstName(), name) &&
         FitsField(user.LastName(), name) && FitsField(user.City(), name) &&
         FitsField(user.Country(), name) && FitsField(user.EMail(), address) &&
         FitsField(user.HomePage(), address) &&
         FitsField(user.AdditionalInfo(), kMaxCommentBytes) && FitsInfoTokens(user.InfoTokens());
}

}  // namespace zorva
