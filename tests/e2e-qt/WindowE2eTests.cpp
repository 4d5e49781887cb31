// The window program ZorvaServer, started with --start on the offscreen platform, passes the
// same end-to-end tests as the daemon: the Qt transport and the window in front of the core
// change nothing a client can see; with --users it is the store window, with --tls-port it
// serves TLS as the daemon does.
#include "E2eSupport.h"
#include "ServerTlsE2eTest.h"
#include "UserStoreE2eTest.h"

namespace zorva::test {
namespace {

const TServerCommand kWindow{"window", {ZORVA_WINDOW_BINARY, "--start"}};

INSTANTIATE_TEST_SUITE_P(Window, ServerE2eTest, testing::Values(kWindow),
                         [](const auto& info) { return info.param.Label; });
INSTANTIATE_TEST_SUITE_P(Window, UserStoreE2eTest, testing::Values(kWindow),
                         [](const auto& info) { return info.param.Label; });
INSTANTIATE_TEST_SUITE_P(Window, ServerTlsE2eTest, testing::Values(kWindow),
                         [](const auto& info) { return info.param.Label; });
INSTANTIATE_TEST_SUITE_P(Window, ServerTlsStartTest, testing::Values(kWindow),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
