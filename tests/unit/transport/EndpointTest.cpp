// The one endpoint format: an IPv6 address keeps its colons apart from the port's.
#include "Endpoint.h"

#include <gtest/gtest.h>

namespace zorva {
namespace {

struct EndpointCase {
  const char* label;
  const char* address;
  std::uint16_t port;
  const char* expected;
};

class FormatEndpointTest : public testing::TestWithParam<EndpointCase> {};

TEST_P(FormatEndpointTest, WritesAddressAndPort) {
  EXPECT_EQ(FormatEndpoint(GetParam().address, GetParam().port), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatEndpointTest,
    testing::Values(EndpointCase{"ipv4", "127.0.0.1", 4000, "127.0.0.1:4000"},
                    EndpointCase{"ipv4_any_port_zero", "0.0.0.0", 0, "0.0.0.0:0"},
                    EndpointCase{"ipv6_loopback", "::1", 4000, "[::1]:4000"},
                    EndpointCase{"ipv6_any", "::", 65535, "[::]:65535"},
                    EndpointCase{"ipv6_with_scope", "fe80::1%lo", 80, "[fe80::1%lo]:80"},
                    EndpointCase{"ipv4_mapped_stays_ipv6", "::ffff:10.0.0.1", 1,
                                 "[::ffff:10.0.0.1]:1"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zorva
