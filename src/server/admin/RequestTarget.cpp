#include "RequestTarget.h"

namespace zorva {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Calls `each` for every piece of `text` between separators, empty pieces included.
template <class Each>
bool ForEachPiece(std::string_view text, char separator, Each&& each) {
  for (;;) {
    const auto end = text.find(separator);
    if (!each(text.substr(0, end))) return false;
    if (end == std::string_view::npos) return true;
    text.remove_prefix(end + 1);
  }
}

bool AddQueryPair(std::string_view pair, std::map<std::string, std::string>& query) {
  if (pair.empty()) return true;
  const auto equals = pair.find('=');
  auto key = PercentDecode(pair.substr(0, equals), true);
  auto value = PercentDecode(equals == std::string_view::npos ? "" : pair.substr(equals + 1), true);
  if (!key || !value) return false;
  query[*key] = std::move(*value);
  return true;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (plusIsSpace && text[i] == '+') {
      decoded += ' ';
      continue;
    }
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

std::optional<TRequestTarget> ParseRequestTarget(std::string_view target) {
  if (target.empty() || target.front() != '/') return std::nullopt;
  const auto question = target.find('?');
  const auto path =
      target.substr(1, question == std::string_view::npos ? target.npos : question - 1);
  TRequestTarget parsed;
  const bool pathDecoded = path.empty() || ForEachPiece(path, '/', [&](std::string_view piece) {
                             auto segment = PercentDecode(piece, false);
                             if (segment) parsed.Segments.push_back(std::move(*segment));
                             return segment.has_value();
                           });
  if (!pathDecoded) return std::nullopt;
  if (question == std::string_view::npos) return parsed;
  const bool queryDecoded = ForEachPiece(target.substr(question + 1), '&', [&](auto pair) {
    return AddQueryPair(pair, parsed.Query);
  });
  if (!queryDecoded) return std::nullopt;
  return parsed;
}

}  // namespace zorva
