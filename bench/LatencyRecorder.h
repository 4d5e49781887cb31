// Collects delivery latencies of one measured window and reports their percentiles. Memory is
// reserved up front and bounded: samples past the capacity are counted but not kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zorva {

class TLatencyRecorder {
 public:
  explicit TLatencyRecorder(std::size_t capacity);

  void Add(std::int64_t nanoseconds);
  std::size_t Count() const { return FSamples.size(); }
  std::uint64_t Dropped() const { return FDropped; }
  // The sample at `fraction` (0.5, 0.99, ...) of the sorted samples, in microseconds; 0 with no
  // samples. Reorders the samples.
  double PercentileMicros(double fraction);

 private:
  std::vector<std::uint32_t> FSamples;  // nanoseconds, clamped to 4.29 s
  std::size_t FCapacity;
  std::uint64_t FDropped = 0;
};

}  // namespace zorva
