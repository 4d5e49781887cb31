// "ADDRESS:PORT" as given to --admin: an IPv4 address or a host name, or an IPv6 address in
// brackets ("[::1]:8089"), and a port 0..65535 (0 = any free port).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorva {

struct TListenAddress {
  std::string Host;
  std::uint16_t Port = 0;
};

std::optional<TListenAddress> ParseListenAddress(std::string_view text);

// "http://HOST:PORT", with brackets around an IPv6 host.
std::string HttpUrl(const TListenAddress& address);

}  // namespace zorva
