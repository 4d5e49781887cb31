// FloodBudget: two token buckets, lines and bytes per second, that keep one connection's input
// within its share. A transport holds one per connection and, when a read holds more
// than the budget allows, hands on only what it allows and stops reading from that connection
// until the buckets refill: a flooding client is slowed down, never dropped for it.
//
//   TFloodLimits limits;                        // 200 lines/s, bursts of 1,000, 1 MiB/s
//   FloodBudget budget(limits, now);
//   auto allowed = budget.Take(limits, chunk, now);   // hand on chunk.substr(0, allowed)
//   if (allowed < chunk.size()) wait(budget.TimeToRefill(limits));
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zorva {

// Shared by every connection of a transport, so that a connection carries only its buckets.
struct TFloodLimits {
  // 0 turns that limit off.
  std::uint32_t LinesPerSecond = 200;
  std::uint32_t LineBurst = 1000;  // lines a quiet connection may send at once
  // The byte bucket holds one second's worth.
  std::uint32_t BytesPerSecond = 1024 * 1024;

  bool Any() const { return LinesPerSecond > 0 || BytesPerSecond > 0; }
};

class FloodBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts with full buckets.
  FloodBudget(const TFloodLimits& limits, Clock::time_point now);

  // How many bytes from the front of `input` may be handed on now; they are spent. Each line
  // feed costs a line and each byte a byte; the bytes after the last line feed it can pay for
  // go too, up to the next line feed, since a partial line costs no line yet.
  std::size_t Take(const TFloodLimits& limits, std::string_view input, Clock::time_point now);

  // How long until Take lets at least one more line and one more byte through; zero when it
  // would now.
  Clock::duration TimeToRefill(const TFloodLimits& limits) const;

 private:
  void Refill(const TFloodLimits& limits, Clock::time_point now);

  double FLines;
  double FBytes;
  Clock::time_point FRefilled;
};

}  // namespace zorva
