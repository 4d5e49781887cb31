// The server's three settings and their INI file: read when the server program starts, written
// back when it ends. The section and key names are those of the original "Win.ini" layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

struct TServerSettings {
  std::string LobbyName = "Lobby Chat";
  std::int32_t Timeout = 60;  // seconds without a ping answer before a guest is dropped
  std::int32_t Port = 4000;
};

// What one address or one user may take of the server; 0 turns a limit off.
struct TClientLimits {
  std::size_t MaxClientsPerAddress = 100;
  std::int32_t LoginTimeoutSeconds = 120;  // from connecting to a completed login
  std::size_t RegistrationsPerHour = 20;   // "LOGINNEW" requests per address
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

// The whole numbers a setting accepts, and the unit that its messages name.
struct TNumberRange {
  std::int64_t Min;
  std::int64_t Max;
  std::string_view Unit;  // "seconds"; empty when the number has none
};
inline constexpr TNumberRange kPortRange{0, 65535, ""};
// A guest's timeout becomes milliseconds in a 32-bit number.
inline constexpr TNumberRange kTimeoutRange{1, 2147483, "seconds"};

// Why `text` is not a number in `range`, in words for a person ("0 is out of range; give 1 to
// 2147483 seconds", "'abc' is not a number"); nothing when it is one.
std::optional<std::string> NumberProblem(std::string_view text, const TNumberRange& range);

// "FILE: KEY=VALUE: PROBLEM; using USED instead", the line that reports a setting in error.
std::string SettingWarning(std::string_view path, std::string_view key, std::string_view value,
                           std::string_view problem, std::string_view used);

// A missing file, section or key gives the default. So does a number that is not a whole
// decimal or is out of range; each such value adds a line to `warnings` naming the file, the
// key, the value and the value used instead.
TServerSettings ReadSettings(const std::string& path, std::vector<std::string>* warnings = nullptr);

// Writes the three keys, keeping everything else in the file; creates folder and file when
// missing. On failure returns false and, when asked, the reason.
bool WriteSettings(const std::string& path, const TServerSettings& settings,
                   std::string* error = nullptr);

}  // namespace zorva
