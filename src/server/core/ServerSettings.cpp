#include "ServerSettings.h"

#include <charconv>
#include <cstdlib>

#include "IniFile.h"

namespace zorva {

namespace {

constexpr std::string_view kSection = "ZorvaServer";
constexpr std::string_view kLobbyName = "LobbyName";
constexpr std::string_view kTimeout = "Timeout";
constexpr std::string_view kPort = "Port";

// A decimal whole number and nothing else; no sign "+", no blanks, no fraction.
std::optional<std::int64_t> WholeNumber(std::string_view text) {
  std::int64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || stop != end || error != std::errc()) return std::nullopt;
  return value;
}

// A number too long for 64 bits is still a number, only out of any range.
bool AllDigits(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

struct TFileReader {
  const TIniFile& Ini;
  const std::string& Path;
  std::vector<std::string>* Warnings;

  std::int32_t Integer(std::string_view key, const TNumberRange& range,
                       std::int32_t fallback) const {
    const auto text = Ini.Read(kSection, key);
    if (!text) return fallback;
    if (const auto problem = NumberProblem(*text, range)) {
      if (Warnings) {
        Warnings->push_back(SettingWarning(Path, key, *text, *problem, std::to_string(fallback)));
      }
      return fallback;
    }
    return static_cast<std::int32_t>(*WholeNumber(*text));
  }
};

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string DefaultIniPath() {
  if (const auto config = EnvOrEmpty("XDG_CONFIG_HOME"); !config.empty()) {
    return config + "/zorva/Win.ini";
  }
  if (const auto home = EnvOrEmpty("HOME"); !home.empty()) return home + "/.config/zorva/Win.ini";
  return "Win.ini";
}

std::optional<std::string> NumberProblem(std::string_view text, const TNumberRange& range) {
  if (!AllDigits(text)) return "'" + std::string(text) + "' is not a number";
  const auto value = WholeNumber(text);
  if (!value || *value < range.Min || *value > range.Max) {
    std::string allowed = std::to_string(range.Min) + " to " + std::to_string(range.Max);
    if (!range.Unit.empty()) allowed += " " + std::string(range.Unit);
    return std::string(text) + " is out of range; give " + allowed;
  }
  return std::nullopt;
}

std::string SettingWarning(std::string_view path, std::string_view key, std::string_view value,
                           std::string_view problem, std::string_view used) {
  return std::string(path) + ": " + std::string(key) + "=" + std::string(value) + ": " +
         std::string(problem) + "; using " + std::string(used) + " instead";
}

TServerSettings ReadSettings(const std::string& path, std::vector<std::string>* warnings) {
  const auto ini = TIniFile::Load(path);
  const TFileReader file{ini, path, warnings};
  TServerSettings settings;
  if (const auto lobby = ini.Read(kSection, kLobbyName)) settings.LobbyName = *lobby;
  settings.Timeout = file.Integer(kTimeout, kTimeoutRange, settings.Timeout);
  settings.Port = file.Integer(kPort, kPortRange, settings.Port);
  return settings;
}

bool WriteSettings(const std::string& path, const TServerSettings& settings, std::string* error) {
  auto ini = TIniFile::Load(path);
  ini.Write(kSection, kLobbyName, settings.LobbyName);
  ini.Write(kSection, kTimeout, std::to_string(settings.Timeout));
  ini.Write(kSection, kPort, std::to_string(settings.Port));
  std::string reason;
  if (ini.Save(path, reason)) return true;
  if (error) *error = reason;
  return false;
}

TServerSettings ApplyOverrides(TServerSettings settings, const TSettingsOverrides& overrides) {
  if (overrides.LobbyName) settings.LobbyName = *overrides.LobbyName;
  if (overrides.Timeout) settings.Timeout = *overrides.Timeout;
  if (overrides.Port) settings.Port = *overrides.Port;
  return settings;
}

}  // namespace zorva
