// The admin API's bearer token: read from a file, or made and written there (mode 0600) when the
// file is missing, and compared in constant time. Used by the daemon and by zorva-admin.
//
//   std::string error;
//   const auto token = LoadOrCreateToken(DefaultTokenPath(iniPath), error);
//   if (!token) report(error);
//   TokensEqual(*token, presented);
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zorva {

// "admin-token" beside the settings file.
std::string DefaultTokenPath(const std::string& iniPath);

// The file's first line; a missing file is created with 32 random bytes in hex. Fails (nullopt
// with a message in `error`) when the file cannot be read or written, or holds no token.
std::optional<std::string> LoadOrCreateToken(const std::string& path, std::string& error);

// Reads an existing token file only (the command-line client never makes one).
std::optional<std::string> ReadToken(const std::string& path, std::string& error);

// Takes as long for every `presented` of the same length, wherever the first difference is.
bool TokensEqual(std::string_view expected, std::string_view presented);

}  // namespace zorva
