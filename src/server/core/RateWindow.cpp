#include "RateWindow.h"

#include <iterator>

namespace zorva {

bool TRateWindow::TryCount(const std::string& key, std::uint64_t nowMs) {
  if (FLimit == 0) return true;
  auto& times = FEvents[key];
  Expire(times, nowMs);
  if (times.size() >= FLimit) return false;
  times.push_back(nowMs);
  return true;
}

void TRateWindow::Prune(std::uint64_t nowMs) {
  for (auto entry = FEvents.begin(); entry != FEvents.end();) {
    Expire(entry->second, nowMs);
    entry = entry->second.empty() ? FEvents.erase(entry) : std::next(entry);
  }
}

void TRateWindow::Expire(std::deque<std::uint64_t>& times, std::uint64_t nowMs) const {
  while (!times.empty() && nowMs - times.front() >= FWindowMs) times.pop_front();
}

}  // namespace zorva
