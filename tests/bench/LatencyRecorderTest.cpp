#include "LatencyRecorder.h"

#include <gtest/gtest.h>

namespace zorva {
namespace {

TEST(LatencyRecorder, PercentilesOfOneToThousandMicros) {
  TLatencyRecorder recorder(1000);
  // Added in descending order so that the ranking, not the order of arrival, decides.
  for (int micros = 1000; micros >= 1; --micros) recorder.Add(micros * 1000);
  EXPECT_DOUBLE_EQ(recorder.PercentileMicros(0.5), 500);
  EXPECT_DOUBLE_EQ(recorder.PercentileMicros(0.99), 990);
  EXPECT_DOUBLE_EQ(recorder.PercentileMicros(0.999), 999);
  EXPECT_DOUBLE_EQ(recorder.PercentileMicros(1.0), 1000);
}

TEST(LatencyRecorder, EmptyReportsZero) {
  TLatencyRecorder recorder(10);
  EXPECT_EQ(recorder.PercentileMicros(0.99), 0);
}

TEST(LatencyRecorder, KeepsNoMoreThanItsCapacityAndClampsOutliers) {
  TLatencyRecorder recorder(2);
  recorder.Add(-5);                 // a clock step backwards reads as zero
  recorder.Add(1'000'000'000'000);  // 1000 s does not wrap to a small number
  recorder.Add(7);
  EXPECT_EQ(recorder.Count(), 2u);
  EXPECT_EQ(recorder.Dropped(), 1u);
  EXPECT_DOUBLE_EQ(recorder.PercentileMicros(0), 0);
  EXPECT_GT(recorder.PercentileMicros(1.0), 4'000'000);
}

}  // namespace
}  // namespace zorva
