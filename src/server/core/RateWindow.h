// TRateWindow: at most a number of events per key within a sliding window, for the budgets the
// core keeps per user or per address (feedback, registrations). Time comes from the caller.
//
//   TRateWindow feedback(10, 60'000);
//   if (!feedback.TryCount(userId, clock.NowMs())) refuse();
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

namespace zorva {

class TRateWindow {
 public:
  // A limit of 0 lets every event through.
  TRateWindow(std::size_t limit, std::uint64_t windowMs) : FLimit(limit), FWindowMs(windowMs) {}
  void SetLimit(std::size_t limit) { FLimit = limit; }

  // Counts an event of `key` and returns true; false, counting nothing, when the key already
  // had the limit's number of events within the window before `nowMs`.
  bool TryCount(const std::string& key, std::uint64_t nowMs);
  // Forgets the keys whose events have all left the window, so that keys do not pile up.
  void Prune(std::uint64_t nowMs);

 private:
  void Expire(std::deque<std::uint64_t>& times, std::uint64_t nowMs) const;

  std::size_t FLimit;
  std::uint64_t FWindowMs;
  // Per key its counted times, oldest first; never more than the limit.
  std::unordered_map<std::string, std::deque<std::uint64_t>> FEvents;
};

}  // namespace zorva
