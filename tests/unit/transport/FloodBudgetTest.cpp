// The flood budget as a transcript: chunks offered at given times, how much of each may pass,
// and how long the connection then waits.
#include "FloodBudget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zorva {
namespace {

using namespace std::chrono_literals;
using Clock = FloodBudget::Clock;

std::string Lines(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += "x\n";
  return text;
}

std::string Bytes(std::size_t count) {
  return std::string(count, 'b');
}

constexpr std::size_t kMiB = 1024 * 1024;

struct TStep {
  std::chrono::milliseconds At;  // since the budget was made
  std::string Input;
  std::size_t Passes;
};

struct TBudgetCase {
  const char* Label;
  TFloodLimits Limits;
  std::vector<TStep> Steps;
  std::chrono::microseconds Wait;  // TimeToRefill after the last step
};

void PrintTo(const TBudgetCase& c, std::ostream* os) {
  *os << c.Label;
}

class FloodBudgetTest : public testing::TestWithParam<TBudgetCase> {};

TEST_P(FloodBudgetTest, PassesWhatTheBucketsHold) {
  const auto& c = GetParam();
  const auto start = Clock::now();
  FloodBudget budget(c.Limits, start);
  for (std::size_t i = 0; i < c.Steps.size(); ++i) {
    const auto& step = c.Steps[i];
    EXPECT_EQ(budget.Take(c.Limits, step.Input, start + step.At), step.Passes) << "step " << i;
  }
  EXPECT_EQ(std::chrono::round<std::chrono::microseconds>(budget.TimeToRefill(c.Limits)), c.Wait);
}

const TFloodLimits kDefaults;

INSTANTIATE_TEST_SUITE_P(
    Table, FloodBudgetTest,
    testing::Values(
        TBudgetCase{
            "burst_of_1000_lines_passes_at_once", kDefaults, {{0ms, Lines(1000), 2000}}, 5000us},
        TBudgetCase{"line_1001_waits_its_bytes_before_the_feed_pass",
                    kDefaults,
                    {{0ms, Lines(1001), 2001}},
                    5000us},
        TBudgetCase{"refills_200_lines_a_second",
                    kDefaults,
                    {{0ms, Lines(1000), 2000}, {1000ms, Lines(300), 401}, {1000ms, "x\n", 1}},
                    5000us},
        TBudgetCase{"a_long_quiet_spell_refills_only_the_burst",
                    kDefaults,
                    {{0ms, Lines(1000), 2000}, {3600s, Lines(1500), 2001}},
                    5000us},
        TBudgetCase{"partial_line_costs_bytes_only",
                    kDefaults,
                    {{0ms, Lines(1000), 2000}, {0ms, "abc\ndef", 3}, {0ms, "\n", 0}},
                    5000us},
        TBudgetCase{"one_mebibyte_a_second",
                    kDefaults,
                    {{0ms, Bytes(2 * kMiB), kMiB}, {500ms, Bytes(kMiB), kMiB / 2}},
                    1us},
        TBudgetCase{"bytes_and_lines_both_bind",
                    TFloodLimits{.LinesPerSecond = 10, .LineBurst = 5, .BytesPerSecond = 7},
                    {{0ms, "a\nb\nc\nd\n", 7}, {100ms, "d\n", 0}, {200ms, "d\n", 1}},
                    85714us},
        TBudgetCase{"limits_off_pass_everything",
                    TFloodLimits{.LinesPerSecond = 0, .LineBurst = 1, .BytesPerSecond = 0},
                    {{0ms, Lines(100000), 200000}, {0ms, Bytes(8 * kMiB), 8 * kMiB}},
                    0us},
        TBudgetCase{"lines_off_bytes_on",
                    TFloodLimits{.LinesPerSecond = 0, .LineBurst = 1, .BytesPerSecond = 1000},
                    {{0ms, Lines(1000), 1000}},
                    1000us},
        TBudgetCase{"burst_below_one_still_lets_a_line_through",
                    TFloodLimits{.LinesPerSecond = 1, .LineBurst = 0, .BytesPerSecond = 0},
                    {{0ms, Lines(2), 3}, {1000ms, "\n", 1}},
                    1000000us},
        TBudgetCase{"time_going_backwards_refills_nothing",
                    kDefaults,
                    {{1000ms, Lines(1000), 2000}, {500ms, "x\n", 1}},
                    5000us}),
    [](const auto& info) { return std::string(info.param.Label); });

}  // namespace
}  // namespace zorva
