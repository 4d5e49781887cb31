// The node id a daemon goes by in a cluster: given, or made of the host's name and the port.
#include <gtest/gtest.h>
#include <unistd.h>

#include "ServerOptions.h"

namespace zorva {
namespace {

std::string HostName() {
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  return host;
}

TEST(ClusterNodeIdTest, AGivenIdWinsAndTheDefaultNeedsAKnownPort) {
  struct Case {
    const char* Label;
    std::string Given;
    int Port;
    std::string Id;  // empty: refused
  };
  const Case cases[] = {
      {"given", "a", 4001, "a"},
      {"given_with_any_port", "a", 0, "a"},
      {"default", "", 4001, HostName() + ":4001"},
      // Port 0 is chosen only when listening starts: two such nodes would share one id.
      {"default_with_any_port", "", 0, ""},
  };
  for (const auto& c : cases) {
    TClusterOptions options;
    options.NodeId = c.Given;
    std::string error;
    EXPECT_EQ(ClusterNodeId(options, c.Port, error), c.Id) << c.Label;
    EXPECT_EQ(error.empty(), !c.Id.empty()) << c.Label << ": " << error;
  }
}

}  // namespace
}  // namespace zorva
