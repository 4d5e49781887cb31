#include "Endpoint.h"

namespace zorva {

std::string FormatEndpoint(std::string_view address, std::uint16_t port) {
  const bool isIPv6 = address.find(':') != std::string_view::npos;
  std::string text;
  text.reserve(address.size() + 8);
  if (isIPv6) text += '[';
  text += address;
  if (isIPv6) text += ']';
  text += ':';
  text += std::to_string(port);
  return text;
}

}  // namespace zorva
