#include "ZorvaProtocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace zorva {
namespace {

TEST(SplitCommandTest, WordAndArguments) {
  EXPECT_EQ(SplitCommand("SEND|CHAT|a|b").Word, "SEND");
  EXPECT_EQ(SplitCommand("SEND|CHAT|a|b").Args, "CHAT|a|b");
  EXPECT_EQ(SplitCommand("BEGINSUBJECT").Word, "BEGINSUBJECT");
  EXPECT_EQ(SplitCommand("BEGINSUBJECT").Args, "");
  EXPECT_EQ(SplitCommand("PING\r").Word, "PING\r");
  EXPECT_EQ(SplitCommand("PING|\r").Args, "\r");
  EXPECT_EQ(SplitCommand("").Word, "");
}

TEST(MessageTest, ServerMessages) {
  EXPECT_EQ(Msg::Subjects(std::vector<std::string>{"Lobby Chat", "Game"}),
            "SUBJECTS|Lobby Chat|Game|");
  EXPECT_EQ(Msg::Subjects(std::vector<std::string>{}), "SUBJECTS|");
  std::string join = Msg::JoinSubjectHeader("Game");
  Msg::AppendField(join, "u1^");
  Msg::AppendField(join, "u2^");
  EXPECT_EQ(join, "JOINSUBJECT|Game|u1^|u2^");
  std::string ping = Msg::PingHeader();
  EXPECT_EQ(ping, "PING|");
  Msg::AppendPingEntry(ping, "ann", 12);
  Msg::AppendPingEntry(ping, "bob", 0);
  EXPECT_EQ(ping, "PING|ann|12|bob|0|");
  EXPECT_EQ(Msg::Relay("ann", "CHAT|a|b"), "SEND|ann|CHAT|a|b");
  EXPECT_EQ(Msg::AddGuest("ann", "ann^"), "ADDGUEST|ann|ann^");
  EXPECT_EQ(Msg::BeginSubject(), "BEGINSUBJECT|");
  EXPECT_EQ(Msg::ServerStats("0`"), "SERVERSTATS|0`|");
  EXPECT_EQ(Msg::UserInfo("u^"), "USERINFO|u^|");
  EXPECT_EQ(Msg::Shout("hi"), "SHOUT|hi|");
  EXPECT_EQ(Msg::Unrecognized("", ""), "ERROR|Unrecognized Server Command: |");
  EXPECT_EQ(Msg::Unrecognized("PING\r", ""), "ERROR|Unrecognized Server Command: PING\r|");
  EXPECT_EQ(Msg::LoginSuccess("u^"), "LOGIN|SUCCESS|u^");
}

TEST(MessageTest, ClientMessages) {
  EXPECT_EQ(Msg::Login("ann", "GAME", "pw|x"), "LOGIN|ann|GAME|pw|x");
  EXPECT_EQ(Msg::CreateSubject("Room", 0), "CREATESUBJECT|Room|0|");
  EXPECT_EQ(Msg::UserInfoRequest("ann"), "USERINFO|ann|");
  EXPECT_EQ(Msg::UserUpdate("ann", "u^"), "USERUPDATE|ann|u^|");
  EXPECT_EQ(Msg::ServerStatsRequest(), "SERVERSTATS|");
  EXPECT_EQ(Msg::PingReply(), "PING|");
  EXPECT_EQ(Msg::SendChat("a|b"), "SEND|CHAT|a|b");
  EXPECT_EQ(Msg::SendData("d"), "SEND|DATA|d");
  EXPECT_EQ(Msg::Feedback("f|g"), "FEEDBACK|f|g");
  EXPECT_EQ(Msg::Custom("kind", "x|y"), "CUSTOM|kind|x|y");
}

struct TName {
  const char* Label;
  std::string Text;
  bool UserId;
  bool SubjectName;
};

class NameTest : public ::testing::TestWithParam<TName> {};

TEST_P(NameTest, IsValid) {
  EXPECT_EQ(IsValidUserId(GetParam().Text), GetParam().UserId);
  EXPECT_EQ(IsValidSubjectName(GetParam().Text), GetParam().SubjectName);
}

// Bytes above 0x7F are text in some encoding and pass; the separators and control bytes do not.
INSTANTIATE_TEST_SUITE_P(
    Table, NameTest,
    ::testing::Values(
        TName{"plain", "Lobby Chat", true, true}, TName{"empty", "", false, false},
        TName{"one_byte", "a", true, true}, TName{"sixty_four", std::string(64, 'a'), true, true},
        TName{"sixty_five", std::string(65, 'a'), false, false}, TName{"bar", "a|b", false, false},
        TName{"caret", "a^b", false, true}, TName{"backquote", "a`b", false, true},
        TName{"nul", std::string("a\0b", 3), false, false},
        TName{"unit_separator", "a\x1f", false, false}, TName{"delete", "a\x7f", false, false},
        TName{"utf8", "J\xc3\xbcrgen", true, true}, TName{"blank_only", " ", true, true}),
    [](const auto& info) { return std::string(info.param.Label); });

}  // namespace
}  // namespace zorva
