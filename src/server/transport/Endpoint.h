// Endpoint: how the server writes a listening or peer address with its port, the same for every
// transport: "127.0.0.1:4000", and IPv6 in brackets so the port stays apart, "[::1]:4000".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorva {

std::string FormatEndpoint(std::string_view address, std::uint16_t port);

}  // namespace zorva
