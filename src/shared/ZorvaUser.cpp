#include "ZorvaUser.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace zorva {

namespace {

constexpr char kFieldSep = '^';
constexpr char kItemSep = '`';

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

void AppendField(std::string& out, std::string_view value) {
  out += value;
  out += kFieldSep;
}

void AppendItem(std::string& out, std::string_view value) {
  out += value;
  out += kItemSep;
}

// Pixel entries actually present in a glyph field, so that a declared size is checked against
// the text before anything is allocated for it.
std::size_t CountItems(std::string_view text) {
  const auto seps = static_cast<std::size_t>(std::count(text.begin(), text.end(), kItemSep));
  return seps + (!text.empty() && text.back() != kItemSep ? 1 : 0);
}

// A glyph side beyond the form's limit would make every later toString walk it, even with the
// other side 0.
bool IsGlyphSide(int value) {
  return value >= 0 && value <= TZorvaUser::kMaxGlyphSide;
}

}  // namespace

void TZorvaUser::SetInfoToken(std::string_view tag, std::string_view value) {
  const int found = FindInfoToken(tag);
  if (value.empty()) {
    if (found >= 0) FInfoTokens.erase(FInfoTokens.begin() + found);
    return;
  }
  std::string entry = std::string(tag) + "=" + std::string(value);
  if (found >= 0) {
    FInfoTokens[found] = std::move(entry);
  } else {
    FInfoTokens.push_back(std::move(entry));
  }
}

int TZorvaUser::FindInfoToken(std::string_view tag) const {
  for (std::size_t i = 0; i < FInfoTokens.size(); ++i) {
    const auto eq = FInfoTokens[i].find('=');
    if (eq != std::string::npos &&
        SameTextIgnoringCase(std::string_view(FInfoTokens[i]).substr(0, eq), tag)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string TZorvaUser::GetInfoTokenTag(int index) const {
  const std::string& entry = FInfoTokens.at(static_cast<std::size_t>(index));
  return entry.substr(0, entry.find('='));
}

std::string TZorvaUser::GetInfoTokenValue(int index) const {
  const std::string& entry = FInfoTokens.at(static_cast<std::size_t>(index));
  const auto eq = entry.find('=');
  return eq == std::string::npos ? std::string() : entry.substr(eq + 1);
}

std::string TZorvaUser::GetInfoToken(std::string_view tag) const {
  const int found = FindInfoToken(tag);
  return found < 0 ? std::string() : GetInfoTokenValue(found);
}

void TZorvaUser::recordPing(std::int32_t value) {
  std::rotate(FPingHistory.begin(), FPingHistory.begin() + 1, FPingHistory.end());
  FPingHistory.back() = value;
}

std::int32_t TZorvaUser::GetConnectionQuality() const {
  std::int64_t sum = 0;
  std::int32_t count = 0;
  for (const auto sample : FPingHistory) {
    if (sample > 0) {
      sum += sample;
      ++count;
    }
  }
  return count == 0 ? 0 : static_cast<std::int32_t>(sum / count);
}

std::string TZorvaUser::toString() const {
  return TextForm(FPassword);
}

std::string TZorvaUser::toWireString() const {
  return TextForm({});
}

std::string TZorvaUser::TextForm(std::string_view password) const {
  std::string out;
  out.reserve(128 + static_cast<std::size_t>(FGlyph.Width()) * FGlyph.Height() * 9);
  AppendField(out, FId);
  AppendField(out, password);
  AppendField(out, FFirstName);
  AppendField(out, FLastName);
  AppendField(out, FCity);
  AppendField(out, FCountry);
  AppendField(out, FEMail);
  AppendField(out, FHomePage);
  AppendField(out, FAdditionalInfo);
  AppendField(out, DateToStr(FCreationDate));
  AppendField(out, DateToStr(FLastLoginDate));
  AppendField(out, std::to_string(FLoginCount));
  for (const auto& token : FInfoTokens) AppendItem(out, token);
  out += kFieldSep;
  AppendItem(out, std::to_string(FGlyph.Width()));
  AppendItem(out, std::to_string(FGlyph.Height()));
  for (int x = 0; x < FGlyph.Width(); ++x) {
    for (int y = 0; y < FGlyph.Height(); ++y) AppendItem(out, std::to_string(FGlyph.Pixel(x, y)));
  }
  out += kFieldSep;
  return out;
}

void TZorvaUser::fromString(std::string_view text) {
  std::string* const strings[] = {&FId,      &FPassword, &FFirstName, &FLastName,      &FCity,
                                  &FCountry, &FEMail,    &FHomePage,  &FAdditionalInfo};
  for (auto* field : strings) *field = std::string(getToken(text, kFieldSep));
  FCreationDate = StrToDate(getToken(text, kFieldSep), "CreationDate");
  FLastLoginDate = StrToDate(getToken(text, kFieldSep), "LastLoginDate");
  FLoginCount = StrToInt(getToken(text, kFieldSep), "LoginCount");

  FInfoTokens.clear();
  for (auto tokens = getToken(text, kFieldSep); !tokens.empty();) {
    FInfoTokens.emplace_back(getToken(tokens, kItemSep));
  }

  auto glyph = getToken(text, kFieldSep);
  const int width = StrToInt(getToken(glyph, kItemSep), "Glyph width");
  const int height = StrToInt(getToken(glyph, kItemSep), "Glyph height");
  if (!IsGlyphSide(width) || !IsGlyphSide(height) ||
      static_cast<std::size_t>(width * height) > CountItems(glyph)) {
    throw EConvertError("Glyph size", std::to_string(width) + "x" + std::to_string(height));
  }
  FGlyph.SetSize(width, height);
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      const auto item = getToken(glyph, kItemSep);
      std::int32_t value = 0;
      if (!TryStrToInt(item, value) || value < 0 || value > kMaxColour) {
        throw EConvertError("Glyph pixel", item);
      }
      FGlyph.SetPixel(x, y, static_cast<std::uint32_t>(value));
    }
  }
}

}  // namespace zorva
