// A request target ("/v1/subjects/GAME/Room%201?code=X") split into percent-decoded path
// segments and query parameters. Decoding happens per segment, so an encoded "/" stays inside
// its segment.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

struct TRequestTarget {
  std::vector<std::string> Segments;  // "/v1/users" -> {"v1", "users"}
  std::map<std::string, std::string> Query;
};

// Nullopt for a target that is not a path or holds a broken percent escape.
std::optional<TRequestTarget> ParseRequestTarget(std::string_view target);

// "%41" -> "A"; with `plusIsSpace` (query text) "+" -> " ". Nullopt for a broken escape.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);

}  // namespace zorva
