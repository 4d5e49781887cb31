// The server's three settings and their INI file: read when the server program starts, written
// back when it ends. The section and key names are those of the original "Win.ini" layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zorva {

struct TServerSettings {
  std::string LobbyName = "Lobby Chat";
  std::int32_t Timeout = 60;  // seconds without a ping answer before a guest is dropped
  std::int32_t Port = 4000;
};

// Settings given on the command line: they hold for this run and are not written back.
struct TSettingsOverrides {
  std::optional<std::string> LobbyName;
  std::optional<std::int32_t> Timeout;
  std::optional<std::int32_t> Port;
};

// `settings` with every given override in place of its own value.
TServerSettings ApplyOverrides(TServerSettings settings, const TSettingsOverrides& overrides);

// $XDG_CONFIG_HOME/zorva/Win.ini, else $HOME/.config/zorva/Win.ini, else "Win.ini".
std::string DefaultIniPath();

// A missing file, section or key, or a number that is not a whole decimal, gives the default.
TServerSettings ReadSettings(const std::string& path);

// Writes the three keys, keeping everything else in the file; creates folder and file when
// missing. On failure returns false and, when asked, the reason.
bool WriteSettings(const std::string& path, const TServerSettings& settings,
                   std::string* error = nullptr);

}  // namespace zorva
