// TZorvaUser: the one description of a user (identity, profile, glyph, info tokens, account
// dates, ping history) and its one-line text form, which travels inside protocol messages.
//
//   TZorvaUser user;
//   user.SetId("ann");
//   user.SetInfoToken("Level", "3");
//   std::string text = user.toString();   // "ann^^^...^Level=3`^0`0`^"
//   TZorvaUser copy;
//   copy.fromString(text);                 // throws EConvertError naming a bad field
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Bitmap.h"
#include "ZorvaUtils.h"

namespace zorva {

class TZorvaUser {
 public:
  using TStringList = std::vector<std::string>;
  static constexpr int kPingSlots = 5;
  // The text form carries glyphs up to this size; pixels are 0x00BBGGRR colours.
  static constexpr int kMaxGlyphSide = 32;
  static constexpr std::int32_t kMaxColour = 0xFFFFFF;

  const std::string& Id() const { return FId; }
  const std::string& LastName() const { return FLastName; }
  const std::string& City() const { return FCity; }
  const std::string& Country() const { return FCountry; }
  const std::string& Password() const { return FPassword; }
  const std::string& FirstName() const { return FFirstName; }
  const std::string& EMail() const { return FEMail; }
  const TStringList& InfoTokens() const { return FInfoTokens; }
  const std::string& AdditionalInfo() const { return FAdditionalInfo; }
  const std::string& HomePage() const { return FHomePage; }
  const Bitmap& Glyph() const { return FGlyph; }
  // Slots 1..5 are indexes 0..4: oldest first, newest last; 0 means no sample.
  const std::array<std::int32_t, kPingSlots>& PingHistory() const { return FPingHistory; }
  std::int32_t LoginCount() const { return FLoginCount; }
  TDateTime LastLoginDate() const { return FLastLoginDate; }
  TDateTime CreationDate() const { return FCreationDate; }

  void SetId(std::string value) { FId = std::move(value); }
  void SetPassword(std::string value) { FPassword = std::move(value); }
  // Where the password lies, so that a store can zero it in place once it is hashed or checked.
  std::string& PasswordStorage() { return FPassword; }
  void SetFirstName(std::string value) { FFirstName = std::move(value); }
  void SetLastName(std::string value) { FLastName = std::move(value); }
  void SetCity(std::string value) { FCity = std::move(value); }
  void SetCountry(std::string value) { FCountry = std::move(value); }
  void SetEMail(std::string value) { FEMail = std::move(value); }
  void SetHomePage(std::string value) { FHomePage = std::move(value); }
  void SetAdditionalInfo(std::string value) { FAdditionalInfo = std::move(value); }
  void SetCreationDate(TDateTime value) { FCreationDate = value; }
  void SetLastLoginDate(TDateTime value) { FLastLoginDate = value; }
  void SetLoginCount(std::int32_t value) { FLoginCount = value; }
  void SetGlyph(const Bitmap& value) { FGlyph = value; }
  void SetInfoTokens(const TStringList& value) { FInfoTokens = value; }
  // Replaces the first entry whose tag matches (case-insensitively), appends when none does;
  // an empty value deletes the matching entry.
  void SetInfoToken(std::string_view tag, std::string_view value);

  std::string GetFullName() const { return FFirstName + " " + FLastName; }
  int GetInfoTokenCount() const { return static_cast<int>(FInfoTokens.size()); }
  // Both throw std::out_of_range for an index outside 0 .. count-1.
  std::string GetInfoTokenTag(int index) const;
  std::string GetInfoTokenValue(int index) const;
  std::string GetInfoToken(std::string_view tag) const;

  void recordPing(std::int32_t value);
  // Integer average of the positive slots; 0 when there are none.
  std::int32_t GetConnectionQuality() const;

  std::string toString() const;
  // The text form with an empty password field: what the server puts on the wire.
  std::string toWireString() const;
  // Overwrites every field of the text form. On a bad date or number throws EConvertError;
  // fields read before the bad one keep their new values, later ones their old values.
  void fromString(std::string_view text);

  bool operator==(const TZorvaUser&) const = default;

 private:
  std::string TextForm(std::string_view password) const;
  int FindInfoToken(std::string_view tag) const;

  std::string FId;
  std::string FLastName;
  std::string FCity;
  std::string FCountry;
  std::string FPassword;
  std::string FFirstName;
  std::string FEMail;
  TStringList FInfoTokens;
  std::string FAdditionalInfo;
  std::string FHomePage;
  Bitmap FGlyph;
  std::array<std::int32_t, kPingSlots> FPingHistory{};
  std::int32_t FLoginCount = 0;
  TDateTime FLastLoginDate = 0;
  TDateTime FCreationDate = 0;
};

}  // namespace zorva
