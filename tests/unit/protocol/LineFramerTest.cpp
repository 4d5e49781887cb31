#include "LineFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zorva {
namespace {

struct FramerCase {
  const char* label;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;
  std::string buffered;
};

void PrintTo(const FramerCase& c, std::ostream* os) {
  *os << c.label;
}

// Feeds the chunks as given, then the same bytes one at a time: both must give the same lines.
class LineFramerTableTest : public testing::TestWithParam<FramerCase> {};

std::vector<std::string> FeedAll(LineFramer& framer, const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  for (const auto& chunk : chunks) {
    const auto status = framer.Feed(chunk, [&](std::string_view line) {
      lines.emplace_back(line);
      return true;
    });
    EXPECT_EQ(status, LineFramer::Status::Ok);
  }
  return lines;
}

TEST_P(LineFramerTableTest, WholeAndByteByByte) {
  const auto& c = GetParam();
  LineFramer whole;
  EXPECT_EQ(FeedAll(whole, c.chunks), c.lines);
  EXPECT_EQ(whole.Buffered(), c.buffered.size());

  std::vector<std::string> bytes;
  for (const auto& chunk : c.chunks) {
    for (const char ch : chunk) bytes.emplace_back(1, ch);
  }
  LineFramer single;
  EXPECT_EQ(FeedAll(single, bytes), c.lines);
  EXPECT_EQ(single.Buffered(), c.buffered.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineFramerTableTest,
    testing::Values(
        FramerCase{"one_line", {"PING|\n"}, {"PING|"}, ""},
        FramerCase{"split_inside_word", {"PI", "NG|\n"}, {"PING|"}, ""},
        FramerCase{"three_in_one_chunk", {"A|1\nB|2\nC|3\n"}, {"A|1", "B|2", "C|3"}, ""},
        FramerCase{"carriage_return_kept", {"PING|\r\nPING\r\n"}, {"PING|\r", "PING\r"}, ""},
        FramerCase{"empty_lines", {"\n\n"}, {"", ""}, ""},
        FramerCase{"partial_waits", {"SEND|CHAT|hi\nSEND|CH"}, {"SEND|CHAT|hi"}, "SEND|CH"},
        FramerCase{"partial_completed", {"SEND|CH", "AT|x\nY"}, {"SEND|CHAT|x"}, "Y"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(LineFramerTest, LineAtTheLimitPassesOneMoreByteFails) {
  LineFramer framer(8);
  std::vector<std::string> lines;
  auto collect = [&](std::string_view line) {
    lines.emplace_back(line);
    return true;
  };
  EXPECT_EQ(framer.Feed("12345678\n", collect), LineFramer::Status::Ok);
  EXPECT_EQ(framer.Feed("123456789\n", collect), LineFramer::Status::TooLong);
  EXPECT_EQ(lines, std::vector<std::string>{"12345678"});
  EXPECT_EQ(framer.Buffered(), 0u);
}

TEST(LineFramerTest, UnterminatedTextPastTheLimitFailsWithoutGrowing) {
  LineFramer framer(8);
  auto ignore = [](std::string_view) { return true; };
  EXPECT_EQ(framer.Feed("12345", ignore), LineFramer::Status::Ok);
  EXPECT_EQ(framer.Feed("6789", ignore), LineFramer::Status::TooLong);
  EXPECT_EQ(framer.Buffered(), 0u);

  LineFramer split(8);
  EXPECT_EQ(split.Feed("1234", ignore), LineFramer::Status::Ok);
  EXPECT_EQ(split.Feed("56789\n", ignore), LineFramer::Status::TooLong);
}

TEST(LineFramerTest, PauseKeepsTheRestInOrder) {
  LineFramer framer;
  std::vector<std::string> lines;
  bool paused = false;
  auto pauseAfterLogin = [&](std::string_view line) {
    lines.emplace_back(line);
    return !(paused = line.starts_with("LOGIN"));
  };
  EXPECT_EQ(framer.Feed("LOGIN|a\nSEND|1\nSE", pauseAfterLogin), LineFramer::Status::Paused);
  EXPECT_EQ(framer.Append("ND|2\n"), LineFramer::Status::Ok);
  EXPECT_EQ(lines, std::vector<std::string>{"LOGIN|a"});
  EXPECT_EQ(framer.Drain(pauseAfterLogin), LineFramer::Status::Ok);
  EXPECT_EQ(lines, (std::vector<std::string>{"LOGIN|a", "SEND|1", "SEND|2"}));
}

TEST(LineFramerTest, LargeLineByteByByteStaysLinear) {
  // 60,000 single-byte feeds: a framer that rescans its buffer would do 1.8e9 byte compares.
  LineFramer framer;
  int count = 0;
  auto counter = [&](std::string_view line) {
    EXPECT_EQ(line.size(), 60000u);
    ++count;
    return true;
  };
  for (int i = 0; i < 60000; ++i) ASSERT_EQ(framer.Feed("x", counter), LineFramer::Status::Ok);
  framer.Feed("\n", counter);
  EXPECT_EQ(count, 1);
}

}  // namespace
}  // namespace zorva
