// TLoginThrottle: slows password guessing. Failed logins are counted per key (an address, an
// id) over a quiet minute; past the free ones, each further try must wait twice as long after
// the last failure as the one before, up to a cap. Times are the caller's clock milliseconds.
//
//   TLoginThrottle throttle({5, 30000});
//   if (!throttle.Allows(key, now)) refuse();
//   ... throttle.Failed(key, now);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace zorva {

struct TLoginThrottleLimits {
  std::uint32_t FreeFailures = 5;    // failures in a minute that cost nothing
  std::uint64_t MaxDelayMs = 30000;  // the longest wait; 0 turns the throttle off
};

// How many password checks may wait for the user store, and how repeated failures slow down.
struct TLoginLimits {
  std::size_t MaxPending = 256;          // at once, from everyone; 0 = no limit
  std::size_t MaxPendingPerAddress = 0;  // 0 = no limit
  TLoginThrottleLimits Throttle;         // per address and per id
};

class TLoginThrottle {
 public:
  explicit TLoginThrottle(TLoginThrottleLimits limits = {}) : FLimits(limits) {}
  void SetLimits(TLoginThrottleLimits limits) { FLimits = limits; }

  bool Allows(const std::string& key, std::uint64_t nowMs) const;
  void Failed(const std::string& key, std::uint64_t nowMs);
  // The right password for an id forgives that id's failures.
  void Forgive(const std::string& key) { FFailures.erase(key); }

  // A minute without a failure forgets a key.
  static constexpr std::uint64_t kQuietMs = 60000;

 private:
  struct TFailures {
    std::uint32_t Count = 0;
    std::uint64_t LastMs = 0;
  };
  std::uint64_t DelayAfter(std::uint32_t failures) const;
  void ForgetQuietKeys(std::uint64_t nowMs);

  TLoginThrottleLimits FLimits;
  std::unordered_map<std::string, TFailures> FFailures;
  std::size_t FNextSweep = 1024;
};

}  // namespace zorva
