// The component palette: the component classes a package offers, grouped by page, each with the
// name of its palette bitmap. It stands in for a development environment's palette; each
// component's Register puts its class here (ZorvaComp's RegisterZorvaComp runs all three).
//
//   RegisterComponents(kZorvaPalettePage, {"TZorvaConnection"});
//   for (const TPaletteEntry& entry : ComponentPalette().Components("Zorva")) ...
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorva {

// The page that ZorvaComp's components go on.
inline constexpr std::string_view kZorvaPalettePage = "Zorva";

struct TPaletteEntry {
  std::string ClassName;
  // The class name in capitals ("TZORVACONNECTION").
  std::string BitmapResource;

  bool operator==(const TPaletteEntry&) const = default;
};

class TComponentPalette {
 public:
  // Adds the classes to the page, creating the page on first use. A class already on the page
  // stays where it is, so running a package's registration again changes nothing.
  void RegisterComponents(std::string_view page,
                          std::initializer_list<std::string_view> classNames);

  // Page names in order of creation.
  std::vector<std::string> Pages() const;
  // The classes of a page in order of registration, until the next registration; none for an
  // unknown page.
  const std::vector<TPaletteEntry>& Components(std::string_view page) const;

 private:
  using TEntries = std::vector<TPaletteEntry>;
  using TPage = std::pair<std::string, TEntries>;

  // A palette holds a handful of pages: a list beats a map here.
  std::vector<TPage> FPages;
};

// The palette that the components' Register functions fill.
TComponentPalette& ComponentPalette();
// Registers into ComponentPalette().
void RegisterComponents(std::string_view page, std::initializer_list<std::string_view> classNames);

}  // namespace zorva
