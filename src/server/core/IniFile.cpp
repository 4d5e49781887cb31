#include "IniFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zorva {

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(
      a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

// "[name]" gives name; any other line gives nothing.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return Trim(line.substr(1, line.size() - 2));
}

struct TEntry {
  std::string_view Key;
  std::string_view Value;
};

// "key=value" gives both trimmed; comments, blanks and sections give nothing.
std::optional<TEntry> Entry(std::string_view line) {
  const auto trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return std::nullopt;
  const auto equals = trimmed.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return TEntry{Trim(trimmed.substr(0, equals)), Trim(trimmed.substr(equals + 1))};
}

}  // namespace

TIniFile TIniFile::Load(const std::string& path) {
  std::string ignored;
  return TryLoad(path, ignored).value_or(TIniFile{});
}

std::optional<TIniFile> TIniFile::TryLoad(const std::string& path, std::string& error) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return TIniFile{};
  if (std::filesystem::is_directory(status)) {
    error = path + " is a folder, not a settings file";
    return std::nullopt;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  // A settings file never holds a zero byte; a file that does is something else.
  if (text.str().find('\0') != std::string::npos) {
    error = path + " is not a text file";
    return std::nullopt;
  }
  return Parse(text.str());
}

TIniFile TIniFile::Parse(std::string_view text) {
  TIniFile ini;
  if (text.empty()) return ini;
  ini.FFinalLineFeed = text.back() == '\n';
  if (ini.FFinalLineFeed) text.remove_suffix(1);
  while (true) {
    const auto lf = text.find('\n');
    ini.FLines.emplace_back(text.substr(0, lf));
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return ini;
}

std::optional<TIniFile::TPlace> TIniFile::Find(std::string_view section,
                                               std::string_view key) const {
  std::optional<TPlace> place;
  bool inSection = false;
  for (std::size_t i = 0; i < FLines.size(); ++i) {
    if (const auto name = SectionName(FLines[i])) {
      inSection = SameName(*name, section);
      if (inSection && !place) place = TPlace{i + 1, false};
      continue;
    }
    if (!inSection) continue;
    const auto entry = Entry(FLines[i]);
    if (entry && SameName(entry->Key, key)) return TPlace{i, true};
    // A new key goes after the section's last entry, before the blank lines that end it.
    if (!Trim(FLines[i]).empty() && !place->Found) place->Line = i + 1;
  }
  return place;
}

std::optional<std::string> TIniFile::Read(std::string_view section, std::string_view key) const {
  const auto place = Find(section, key);
  if (!place || !place->Found) return std::nullopt;
  return std::string(Entry(FLines[place->Line])->Value);
}

void TIniFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  // A file written with carriage returns keeps them on the lines we write.
  const std::string lineEnd = !FLines.empty() && FLines.front().ends_with('\r') ? "\r" : "";
  const auto line = std::string(key) + "=" + std::string(value) + lineEnd;
  const auto place = Find(section, key);
  if (place && place->Found) {
    FLines[place->Line] = line;
    return;
  }
  if (place) {
    FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(place->Line), line);
    return;
  }
  if (!FLines.empty() && !Trim(FLines.back()).empty()) FLines.push_back(lineEnd);
  FLines.push_back("[" + std::string(section) + "]" + lineEnd);
  FLines.push_back(line);
}

std::string TIniFile::Text() const {
  std::string text;
  for (std::size_t i = 0; i < FLines.size(); ++i) {
    text += FLines[i];
    if (i + 1 < FLines.size() || FFinalLineFeed) text += '\n';
  }
  return text;
}

bool TIniFile::Save(const std::string& path, std::string& error) const {
  const auto folder = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "Cannot create folder " + folder.string() + ": " + ec.message();
    return false;
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << Text();
  file.flush();
  if (file) return true;
  error = "Cannot write " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace zorva
