#include "LatencyRecorder.h"

#include <algorithm>
#include <limits>

namespace zorva {

TLatencyRecorder::TLatencyRecorder(std::size_t capacity) : FCapacity(capacity) {
  FSamples.reserve(capacity);
}

void TLatencyRecorder::Add(std::int64_t nanoseconds) {
  if (FSamples.size() == FCapacity) {
    ++FDropped;
    return;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::uint32_t>::max();
  FSamples.push_back(static_cast<std::uint32_t>(std::clamp<std::int64_t>(nanoseconds, 0, kMax)));
}

double TLatencyRecorder::PercentileMicros(double fraction) {
  if (FSamples.empty()) return 0;
  const auto last = FSamples.size() - 1;
  const auto rank = std::min(last, static_cast<std::size_t>(fraction * static_cast<double>(last)));
  std::nth_element(FSamples.begin(), FSamples.begin() + static_cast<std::ptrdiff_t>(rank),
                   FSamples.end());
  return FSamples[rank] / 1000.0;
}

}  // namespace zorva
