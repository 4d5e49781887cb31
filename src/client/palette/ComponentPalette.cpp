#include "ComponentPalette.h"

#include <algorithm>
#include <cctype>

namespace zorva {

namespace {

std::string InCapitals(std::string_view text) {
  std::string capitals(text);
  std::transform(capitals.begin(), capitals.end(), capitals.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return capitals;
}

}  // namespace

void TComponentPalette::RegisterComponents(std::string_view page,
                                           std::initializer_list<std::string_view> classNames) {
  auto found = std::ranges::find(FPages, page, &TPage::first);
  if (found == FPages.end()) found = FPages.emplace(FPages.end(), std::string(page), TEntries{});
  TEntries& entries = found->second;
  for (std::string_view className : classNames) {
    if (std::ranges::find(entries, className, &TPaletteEntry::ClassName) != entries.end()) continue;
    entries.push_back({std::string(className), InCapitals(className)});
  }
}

std::vector<std::string> TComponentPalette::Pages() const {
  std::vector<std::string> names;
  names.reserve(FPages.size());
  for (const auto& [name, entries] : FPages) names.push_back(name);
  return names;
}

const std::vector<TPaletteEntry>& TComponentPalette::Components(std::string_view page) const {
  static const TEntries kNone;
  const auto found = std::ranges::find(FPages, page, &TPage::first);
  return found == FPages.end() ? kNone : found->second;
}

TComponentPalette& ComponentPalette() {
  static TComponentPalette palette;
  return palette;
}

void RegisterComponents(std::string_view page, std::initializer_list<std::string_view> classNames) {
  ComponentPalette().RegisterComponents(page, classNames);
}

}  // namespace zorva
