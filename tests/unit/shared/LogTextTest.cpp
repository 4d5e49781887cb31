// Client texts in the log: nothing that could steer a terminal or break a line or a JSON
// string gets through as it is.
#include <gtest/gtest.h>

#include "LogText.h"

namespace zorva {
namespace {

struct EscapeCase {
  const char* Label;
  std::string Text;
  std::string Escaped;
  std::string Value;  // text format
  std::string Json;
};

TEST(LogTextTest, EscapesWhatIsNotAPrintableCharacter) {
  using namespace std::string_literals;
  const EscapeCase cases[] = {
      {"plain", "ann", "ann", "ann", R"("ann")"},
      {"empty", "", "", R"("")", R"("")"},
      {"escape_sequence", "a\x1b[2Jb", R"(a\x1b[2Jb)", R"(a\x1b[2Jb)", R"("a\\x1b[2Jb")"},
      {"line_breaks", "a\r\nb", R"(a\x0d\x0ab)", R"(a\x0d\x0ab)", R"("a\\x0d\\x0ab")"},
      {"nul_and_del", "a\0b\x7f"s, R"(a\x00b\x7f)", R"(a\x00b\x7f)", R"("a\\x00b\\x7f")"},
      {"backslash_is_escaped_too", R"(a\x41)", R"(a\x5cx41)", R"(a\x5cx41)", R"("a\\x5cx41")"},
      {"space_quotes", "Lobby Chat", "Lobby Chat", R"("Lobby Chat")", R"("Lobby Chat")"},
      {"equals_quotes", "a=b", "a=b", R"("a=b")", R"("a=b")"},
      {"double_quote", R"(say "hi")", R"(say "hi")", R"("say \"hi\"")", R"("say \"hi\"")"},
      {"utf8_kept", "J\xc3\xbcrgen \xe2\x82\xac", "J\xc3\xbcrgen \xe2\x82\xac",
       "\"J\xc3\xbcrgen \xe2\x82\xac\"", "\"J\xc3\xbcrgen \xe2\x82\xac\""},
      {"c1_control_as_utf8",
       "a\xc2\x9b"
       "b",
       R"(a\xc2\x9bb)", R"(a\xc2\x9bb)", R"("a\\xc2\\x9bb")"},
      {"latin1_byte", "J\xfcrgen", R"(J\xfcrgen)", R"(J\xfcrgen)", R"("J\\xfcrgen")"},
      {"truncated_sequence", "a\xe2\x82", R"(a\xe2\x82)", R"(a\xe2\x82)", R"("a\\xe2\\x82")"},
      {"overlong_slash", "\xc0\xaf", R"(\xc0\xaf)", R"(\xc0\xaf)", R"("\\xc0\\xaf")"},
      {"surrogate", "\xed\xa0\x80", R"(\xed\xa0\x80)", R"(\xed\xa0\x80)", R"("\\xed\\xa0\\x80")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeText(c.Text), c.Escaped) << c.Label;
    EXPECT_EQ(TextValue(c.Text), c.Value) << c.Label;
    EXPECT_EQ(JsonString(c.Text), c.Json) << c.Label;
  }
}

}  // namespace
}  // namespace zorva
