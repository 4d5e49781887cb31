// zorva-chat's checks before it connects: names the protocol cannot carry, and where the
// password comes from.
#include <gtest/gtest.h>

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

TEST(ChatInputTest, SocketErrorsAreWords) {
  EXPECT_EQ(SocketErrorText(0, "Connection refused", "127.0.0.1", 4000),
            "connection refused by 127.0.0.1:4000");
  EXPECT_EQ(SocketErrorText(2, "Host not found", "nohost", 4000), "host nohost not found");
  EXPECT_EQ(SocketErrorText(99, "Odd", "h", 1), "Odd (h:1)");
}

}  // namespace
}  // namespace zorva
