#include "ListenAddress.h"

#include <charconv>

namespace zorva {

std::optional<TListenAddress> ParseListenAddress(std::string_view text) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  auto host = text.substr(0, colon);
  const auto portText = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  unsigned port = 0;
  const auto [end, failed] =
      std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (portText.empty() || failed != std::errc() || end != portText.data() + portText.size() ||
      port > 65535) {
    return std::nullopt;
  }
  return TListenAddress{std::string(host), static_cast<std::uint16_t>(port)};
}

std::string HttpUrl(const TListenAddress& address) {
  const bool ipv6 = address.Host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + address.Host + "]" : address.Host) + ":" +
         std::to_string(address.Port);
}

}  // namespace zorva
