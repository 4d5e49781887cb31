#include "WebRoot.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

namespace zorva {

namespace {

namespace fs = std::filesystem;

constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kContentTypes{{
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".json", "application/json"},
    {".png", "image/png"},
    {".svg", "image/svg+xml"},
    {".ico", "image/x-icon"},
}};
constexpr std::string_view kOtherContent = "application/octet-stream";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Nothing for a broken escape or an encoded NUL, which no file name holds.
std::optional<std::string> PercentDecoded(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return decoded;
}

std::string_view ContentTypeOf(const fs::path& file) {
  const auto extension = file.extension().string();
  for (const auto& [known, type] : kContentTypes) {
    if (extension == known) return type;
  }
  return kOtherContent;
}

// Whether `path` is `root` itself or lies below it; both are canonical.
bool IsUnder(const fs::path& path, const fs::path& root) {
  const auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return rootEnd == root.end();
}

std::optional<std::string> ReadWhole(const fs::path& file, std::size_t maxBytes) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec || size > maxBytes) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return body;
}

}  // namespace

std::optional<TWebFile> FindWebFile(const std::string& root, std::string_view target,
                                    std::size_t maxBytes) {
  if (!target.starts_with('/')) return std::nullopt;
  const auto decoded = PercentDecoded(target.substr(1));
  if (!decoded) return std::nullopt;
  std::error_code ec;
  const auto base = fs::canonical(root, ec);
  if (ec) return std::nullopt;
  // Resolving the links before comparing is what keeps a link that points out of the folder
  // from serving what it points at.
  auto file = fs::canonical(base / fs::path(*decoded).relative_path(), ec);
  if (ec || !IsUnder(file, base)) return std::nullopt;
  if (fs::is_directory(file, ec)) file /= "index.html";
  file = fs::canonical(file, ec);
  if (ec || !IsUnder(file, base) || !fs::is_regular_file(file, ec)) return std::nullopt;
  auto body = ReadWhole(file, maxBytes);
  if (!body) return std::nullopt;
  return TWebFile{std::move(*body), ContentTypeOf(file)};
}

}  // namespace zorva
