// The trace never shows a password: the one field of "LOGIN", "LOGINNEW" and "USERUPDATE" that
// holds it reads "***", and every other byte is kept.
#include <gtest/gtest.h>

#include "TraceLog.h"

namespace zorva {
namespace {

struct MaskCase {
  const char* Label;
  std::string Line;
  std::string Expected;
};

TEST(TraceMaskTest, OnlyThePasswordFieldIsMasked) {
  const MaskCase cases[] = {
      {"login", "LOGIN|ann|Game|secret", "LOGIN|ann|Game|***"},
      {"login_password_with_bars", "LOGIN|ann|Game|se|cr^et", "LOGIN|ann|Game|***"},
      {"login_empty_password", "LOGIN|ann|Game|", "LOGIN|ann|Game|"},
      {"login_without_password", "LOGIN|ann|Game", "LOGIN|ann|Game"},
      {"login_word_only", "LOGIN", "LOGIN"},
      {"loginnew", "LOGINNEW|ann|Game|ann^secret^Ann^Lee^", "LOGINNEW|ann|Game|ann^***^Ann^Lee^"},
      {"loginnew_password_last", "LOGINNEW|ann|Game|ann^secret", "LOGINNEW|ann|Game|ann^***"},
      {"loginnew_id_only", "LOGINNEW|ann|Game|ann", "LOGINNEW|ann|Game|ann"},
      {"loginnew_empty_password", "LOGINNEW|ann|Game|ann^^x^", "LOGINNEW|ann|Game|ann^^x^"},
      {"userupdate", "USERUPDATE|ann|ann^secret^Ann^", "USERUPDATE|ann|ann^***^Ann^"},
      {"userupdate_fields_after", "USERUPDATE|ann|ann^secret^Ann^|tail^x^y",
       "USERUPDATE|ann|ann^***^Ann^|tail^x^y"},
      {"userupdate_no_user_text", "USERUPDATE|ann", "USERUPDATE|ann"},
      {"userupdate_caret_only_after_bar", "USERUPDATE|ann|ann|x^pw^", "USERUPDATE|ann|ann|x^pw^"},
      {"other_command", "SEND|CHAT|my password^is^here", "SEND|CHAT|my password^is^here"},
      {"word_is_a_prefix", "LOGINX|ann|Game|secret", "LOGINX|ann|Game|secret"},
      {"lower_case_is_another_word", "login|ann|Game|secret", "login|ann|Game|secret"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskPasswords(c.Line), c.Expected) << c.Label;
}

}  // namespace
}  // namespace zorva
