// TServerCounters: what a running server counts (connections, client-created subjects, bytes,
// time listening) and the activity series of the last 20 ping intervals. ServerCore feeds it at
// fixed points and copies it into a TZorvaServerStats on demand. TLifetimeCounters keeps the
// totals of the whole process for monitoring: a restart of the listener never lowers them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ServerEvents.h"
#include "ZorvaServerStats.h"

namespace zorva {

// Why a guest left; the last one counts guests closed by the operator.

// Counts observations at or below each bound (not cumulative), the rest in an overflow bucket.
class THistogram {
 public:
  explicit THistogram(std::vector<double> bounds);
  void Observe(double value);
  const std::vector<double>& Bounds() const { return FBounds; }
  // One more entry than Bounds(): the last counts values past every bound.
  const std::vector<std::uint64_t>& Counts() const { return FCounts; }
  double Sum() const { return FSum; }

 private:
  std::vector<double> FBounds;
  std::vector<std::uint64_t> FCounts;
  double FSum = 0;
};

struct TLifetimeCounters {
  std::uint64_t LinesRead = 0;
  std::uint64_t LinesWritten = 0;
  std::uint64_t BytesRead = 0;
  std::uint64_t BytesWritten = 0;
  std::uint64_t Logins = 0;
  std::uint64_t FailedLogins = 0;
  std::array<std::uint64_t, kDropReasons> Drops{};
  // Milliseconds from a login request to the user store's decision.
  THistogram LoginDecisionMs{{1, 5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000}};
  // Milliseconds from a ping to its answer.
  THistogram RoundTripMs{{5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000}};
};

class TServerCounters {
 public:
  static constexpr std::size_t kActivityPoints = 20;
  using TSeries = std::array<double, kActivityPoints>;

  // Listening began: a new statistics period. The stop time and the series stay.
  void Reset(std::int64_t nowSeconds);
  void Stopped(std::int64_t nowSeconds) { FStopSeconds = nowSeconds; }

  void ConnectionAccepted(std::size_t guestCount);
  void Read(std::size_t bytes);
  void Written(std::size_t bytes, std::size_t lines = 1);
  void LineRead() { ++FLifetime.LinesRead; }
  void LoginDecided(bool accepted, std::uint64_t elapsedMs);
  void RoundTripMeasured(std::uint64_t ms) {
    FLifetime.RoundTripMs.Observe(static_cast<double>(ms));
  }
  void Dropped(TDropReason reason) { ++FLifetime.Drops[static_cast<std::size_t>(reason)]; }
  const TLifetimeCounters& Lifetime() const { return FLifetime; }
  void SubjectCreated();
  void SubjectRemoved() { --FCurrentSubjects; }

  // Moves both series one place to the left and appends the interval just ended.
  void StepActivity();
  // Oldest first, always exactly kActivityPoints values.
  const TSeries& ActivityBytesRead() const { return FActivityRead; }
  const TSeries& ActivityBytesWritten() const { return FActivityWritten; }

  void Fill(TZorvaServerStats& stats, bool listening, std::int64_t nowSeconds,
            std::size_t guestCount) const;

 private:
  std::int64_t FStartSeconds = 0;
  std::int64_t FStopSeconds = 0;
  std::int32_t FTotalConnections = 0;
  std::int32_t FPeakConnections = 0;
  std::int32_t FTotalSubjectsCreated = 0;
  double FBytesRead = 0;
  double FBytesWritten = 0;
  double FIntervalBytesRead = 0;
  double FIntervalBytesWritten = 0;
  std::int32_t FCurrentSubjects = 0;
  TSeries FActivityRead{};
  TSeries FActivityWritten{};
  TLifetimeCounters FLifetime;
};

}  // namespace zorva
