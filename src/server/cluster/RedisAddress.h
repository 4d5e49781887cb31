// Where the cluster's Redis is: the address given as redis://HOST:PORT[/DB].
//
//   TRedisAddress address;
//   std::string error;
//   if (!ParseRedisUrl("redis://127.0.0.1:6379/2", address, error)) Fail(error);
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorva {

struct TRedisAddress {
  std::string Host;  // a name, an IPv4 address, or an IPv6 address without its brackets
  std::uint16_t Port = 6379;
  int Database = 0;
};

// False with a reason for the operator in `error` when `url` is not redis://HOST:PORT[/DB]
// with a port of 1..65535 and a database number of 0 or more; `address` is then unchanged.
bool ParseRedisUrl(std::string_view url, TRedisAddress& address, std::string& error);

}  // namespace zorva
