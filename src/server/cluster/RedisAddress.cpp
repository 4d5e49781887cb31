#include "RedisAddress.h"

#include <charconv>

namespace zorva {
namespace {

constexpr std::string_view kScheme = "redis://";

template <class Number>
bool ParseWhole(std::string_view text, Number& value) {
  const auto* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && stop == end;
}

// "[::1]:6379" keeps the brackets off the host; "host:6379" splits at the last colon.
bool SplitHostPort(std::string_view authority, std::string_view& host, std::string_view& port) {
  if (authority.starts_with('[')) {
    const auto close = authority.find("]:");
    if (close == std::string_view::npos) return false;
    host = authority.substr(1, close - 1);
    port = authority.substr(close + 2);
    return true;
  }
  const auto colon = authority.rfind(':');
  if (colon == std::string_view::npos) return false;
  host = authority.substr(0, colon);
  port = authority.substr(colon + 1);
  return host.find(':') == std::string_view::npos;
}

}  // namespace

bool ParseRedisUrl(std::string_view url, TRedisAddress& address, std::string& error) {
  const auto fail = [&] {
    error = "expected redis://HOST:PORT[/DB], got \"" + std::string(url) + "\"";
    return false;
  };
  if (!url.starts_with(kScheme)) return fail();
  auto rest = url.substr(kScheme.size());
  std::string_view database;
  if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
    database = rest.substr(slash + 1);
    rest = rest.substr(0, slash);
  }
  std::string_view host, portText;
  if (!SplitHostPort(rest, host, portText) || host.empty()) return fail();
  std::uint16_t port = 0;
  int number = 0;
  if (!ParseWhole(portText, port) || port == 0) return fail();
  if (!database.empty() && (!ParseWhole(database, number) || number < 0)) return fail();
  address = {.Host = std::string(host), .Port = port, .Database = number};
  return true;
}

}  // namespace zorva
