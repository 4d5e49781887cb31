// The window program ZorvaServer, started with --start on the offscreen platform, passes the
// same end-to-end tests as the daemon: the Qt transport and the window in front of the core
// change nothing a client can see; with --users it is the store window, with --tls-port it
// serves TLS as the daemon does.
#include <gmock/gmock.h>

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

// Only the daemon serves browsers and joins a cluster: the window refuses those options rather
// than leave what was asked for undone without a word.
TEST(WindowOptionsTest, DaemonOnlyOptionsAreRefusedNamingTheDaemon) {
  const std::vector<std::vector<std::string>> asked = {
      {"--ws-port", "0"},           {"--web-root", "."},
      {"--ws-origins", "http://a"}, {"--cluster", "redis://127.0.0.1:6379"},
      {"--node-id", "a"},           {"--cluster-heartbeat-ms", "1000"}};
  ScratchFolder folder;
  for (const auto& options : asked) {
    SCOPED_TRACE(options.front());
    ServerProcess window(folder);
    auto argv = kWindow.Argv;
    argv.insert(argv.end(), {"--port", "0", "--ini", (folder / "Win.ini").string()});
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(window.Spawn(argv));
    EXPECT_EQ(window.WaitExit(), 1);
    EXPECT_THAT(window.Stderr(), testing::HasSubstr("served by zorva-server only"));
  }
}

}  // namespace
}  // namespace zorva::test
