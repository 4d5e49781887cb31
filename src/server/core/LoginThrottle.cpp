#include "LoginThrottle.h"

#include <algorithm>

namespace zorva {

namespace {

constexpr std::uint64_t kFirstDelayMs = 1000;
// 2^20 seconds is past any sensible cap: the doubling stops there.
constexpr std::uint32_t kMaxDoublings = 20;

bool Quiet(std::uint64_t lastMs, std::uint64_t nowMs) {
  return nowMs - lastMs >= TLoginThrottle::kQuietMs;
}

}  // namespace

std::uint64_t TLoginThrottle::DelayAfter(std::uint32_t failures) const {
  if (failures < FLimits.FreeFailures) return 0;
  const auto doublings = std::min(failures - FLimits.FreeFailures, kMaxDoublings);
  return std::min(kFirstDelayMs << doublings, FLimits.MaxDelayMs);
}

bool TLoginThrottle::Allows(const std::string& key, std::uint64_t nowMs) const {
  if (FLimits.MaxDelayMs == 0) return true;
  const auto found = FFailures.find(key);
  if (found == FFailures.end() || Quiet(found->second.LastMs, nowMs)) return true;
  return nowMs - found->second.LastMs >= DelayAfter(found->second.Count);
}

void TLoginThrottle::Failed(const std::string& key, std::uint64_t nowMs) {
  if (FLimits.MaxDelayMs == 0) return;
  auto& failures = FFailures[key];
  if (Quiet(failures.LastMs, nowMs)) failures.Count = 0;
  if (failures.Count < UINT32_MAX) ++failures.Count;
  failures.LastMs = nowMs;
  if (FFailures.size() >= FNextSweep) ForgetQuietKeys(nowMs);
}

// Keeps the table to the keys that failed in the last minute.
void TLoginThrottle::ForgetQuietKeys(std::uint64_t nowMs) {
  std::erase_if(FFailures,
                [nowMs](const auto& entry) { return Quiet(entry.second.LastMs, nowMs); });
  FNextSweep = std::max<std::size_t>(1024, 2 * FFailures.size());
}

}  // namespace zorva
