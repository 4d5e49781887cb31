#include "ServerSettings.h"

#include <cstdlib>

#include "IniFile.h"
#include "ZorvaUtils.h"

namespace zorva {

namespace {

constexpr std::string_view kSection = "ZorvaServer";
constexpr std::string_view kLobbyName = "LobbyName";
constexpr std::string_view kTimeout = "Timeout";
constexpr std::string_view kPort = "Port";

std::int32_t ReadInteger(const TIniFile& ini, std::string_view key, std::int32_t fallback) {
  const auto text = ini.Read(kSection, key);
  std::int32_t value = 0;
  return text && TryStrToInt(*text, value) ? value : fallback;
}

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

TServerSettings ReadSettings(const std::string& path) {
  const auto ini = TIniFile::Load(path);
  TServerSettings settings;
  if (const auto lobby = ini.Read(kSection, kLobbyName)) settings.LobbyName = *lobby;
  settings.Timeout = ReadInteger(ini, kTimeout, settings.Timeout);
  settings.Port = ReadInteger(ini, kPort, settings.Port);
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
