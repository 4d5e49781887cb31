// TIniFile: a small INI reader and editor that keeps the file as its lines, so that writing a
// few keys leaves every other section, key, comment and blank line as it was. The server's
// settings use it for "Win.ini".
//
//   TIniFile ini = TIniFile::Load(path);        // a missing file reads as empty
//   ini.Read("ZorvaServer", "Port");            // std::nullopt when absent
//   ini.Write("ZorvaServer", "Port", "4000");   // replaces, or adds to the section / file
//   ini.Save(path, error);
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

class TIniFile {
 public:
  // A missing file reads as empty; so does one that cannot be read.
  static TIniFile Load(const std::string& path);
  // As Load, but a file that exists and cannot be read (no permission, a folder, not text)
  // gives nothing and the reason.
  static std::optional<TIniFile> TryLoad(const std::string& path, std::string& error);
  static TIniFile Parse(std::string_view text);

  // Section and key names compare without regard to case; the value is trimmed of blanks.
  std::optional<std::string> Read(std::string_view section, std::string_view key) const;
  void Write(std::string_view section, std::string_view key, std::string_view value);

  std::string Text() const;
  // Creates the folder when missing. On failure returns false with the reason.
  bool Save(const std::string& path, std::string& error) const;

 private:
  struct TPlace {
    std::size_t Line;  // the key's line, or where a new key goes
    bool Found;
  };
  std::optional<TPlace> Find(std::string_view section, std::string_view key) const;

  std::vector<std::string> FLines;  // without line feeds; a carriage return stays
  bool FFinalLineFeed = true;
};

}  // namespace zorva
