// zorva-chat's checks before it connects: names the protocol cannot carry, and where the
// password comes from.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "ChatInput.h"

namespace zorva {
namespace {

TEST(ChatInputTest, NamesThatWouldBendTheLineAreRefused) {
  struct Case {
    std::string name;
    bool refused;
  };
  const Case cases[] = {
      {"ann", false}, {"Big Room", false}, {"Zoë", false},    {"", true},
      {"x|y", true},  {"x^y", true},       {"x`y", true},     {"x\ny", true},
      {"x\ry", true}, {"tab\there", true}, {"del\x7f", true}, {std::string("nul\0", 4), true},
  };
  for (const auto& c : cases) EXPECT_EQ(NameProblem(c.name).has_value(), c.refused) << c.name;
  EXPECT_EQ(NameProblem("x|y"), "'x|y' holds '|', which the server cannot take");
}

TEST(ChatInputTest, PasswordComesFromTheFirstSourceGiven) {
  const std::string path = ::testing::TempDir() + "zorva-chat-password";
  std::ofstream(path, std::ios::binary) << "from-file\r\nsecond line\n";
  struct Case {
    const char* label;
    TPasswordSources sources;
    std::optional<std::string> password;
  };
  const Case cases[] = {
      {"option first", {"given", path, "env", false}, "given"},
      {"file before environment", {std::nullopt, path, "env", false}, "from-file"},
      {"environment", {std::nullopt, std::nullopt, "env", false}, "env"},
      {"nothing, no terminal", {}, ""},
      {"unreadable file", {std::nullopt, path + ".missing", "env", false}, std::nullopt},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(ChoosePassword(c.sources, error), c.password) << c.label;
    EXPECT_EQ(error.empty(), c.password.has_value()) << c.label;
  }
  std::remove(path.c_str());
}

TEST(ChatInputTest, SocketErrorsAreWordsWithTheirNumberAndText) {
  struct Case {
    int code;
    const char* text;
    const char* host;
    const char* expected;
  };
  const Case cases[] = {
      {ECONNREFUSED, "Connection refused", "127.0.0.1",
       "connection refused by 127.0.0.1:4000 (error 111: Connection refused)"},
      {ECONNRESET, "Connection reset", "h",
       "connection reset by h:4000 (error 104: Connection reset)"},
      {ETIMEDOUT, "Timed out", "h", "no answer from h:4000 (error 110: Timed out)"},
      {ENETUNREACH, "Network unreachable", "h",
       "cannot reach h:4000 (error 101: Network unreachable)"},
      {EHOSTUNREACH, "No route to host", "h", "cannot reach h:4000 (error 113: No route to host)"},
      // A name that does not resolve has no errno: the text says what happened.
      {0, "Host not found", "no-such-host.invalid",
       "cannot connect to no-such-host.invalid:4000 (error 0: Host not found)"},
      // A certificate file that is missing is no unknown host.
      {ENOENT, "ca.pem: no PEM certificate could be read", "h",
       "cannot connect to h:4000 (error 2: ca.pem: no PEM certificate could be read)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SocketErrorText(c.code, c.text, c.host, 4000), c.expected);
  }
}

}  // namespace
}  // namespace zorva
