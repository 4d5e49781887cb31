#include "FloodBudget.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zorva {

namespace {

double LineCapacity(const TFloodLimits& limits) {
  // A burst below one line would never let a line through.
  return std::max<double>(limits.LineBurst, 1);
}

std::size_t Whole(double tokens) {
  return tokens < 1 ? 0 : static_cast<std::size_t>(std::floor(tokens));
}

// Where the (count + 1)th line feed of `input` is, or its size when it has fewer.
std::size_t BeforeLineFeed(std::string_view input, std::size_t count) {
  std::size_t at = 0;
  for (std::size_t seen = 0; at < input.size(); ++seen, ++at) {
    const void* found = std::memchr(input.data() + at, '\n', input.size() - at);
    if (found == nullptr) return input.size();
    at = static_cast<std::size_t>(static_cast<const char*>(found) - input.data());
    if (seen == count) return at;
  }
  return input.size();
}

}  // namespace

FloodBudget::FloodBudget(const TFloodLimits& limits, Clock::time_point now)
    : FLines(LineCapacity(limits)), FBytes(limits.BytesPerSecond), FRefilled(now) {}

void FloodBudget::Refill(const TFloodLimits& limits, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - FRefilled).count();
  if (seconds <= 0) return;
  FRefilled = now;
  FLines = std::min(LineCapacity(limits), FLines + seconds * limits.LinesPerSecond);
  FBytes = std::min<double>(limits.BytesPerSecond, FBytes + seconds * limits.BytesPerSecond);
}

std::size_t FloodBudget::Take(const TFloodLimits& limits, std::string_view input,
                              Clock::time_point now) {
  Refill(limits, now);
  if (limits.BytesPerSecond > 0) input = input.substr(0, Whole(FBytes));
  if (limits.LinesPerSecond > 0) {
    input = input.substr(0, BeforeLineFeed(input, Whole(FLines)));
    FLines -= static_cast<double>(std::count(input.begin(), input.end(), '\n'));
  }
  if (limits.BytesPerSecond > 0) FBytes -= static_cast<double>(input.size());
  return input.size();
}

FloodBudget::Clock::duration FloodBudget::TimeToRefill(const TFloodLimits& limits) const {
  double seconds = 0;
  if (limits.LinesPerSecond > 0 && FLines < 1) {
    seconds = std::max(seconds, (1 - FLines) / limits.LinesPerSecond);
  }
  if (limits.BytesPerSecond > 0 && FBytes < 1) {
    seconds = std::max(seconds, (1 - FBytes) / limits.BytesPerSecond);
  }
  return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace zorva
