// TServerCounters: what a running server counts (connections, client-created subjects, bytes,
// time listening) and the activity series of the last 20 ping intervals. ServerCore feeds it at
// fixed points and copies it into a TZorvaServerStats on demand.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ZorvaServerStats.h"

namespace zorva {

class TServerCounters {
 public:
  static constexpr std::size_t kActivityPoints = 20;
  using TSeries = std::array<double, kActivityPoints>;

  // Listening began: a new statistics period. The stop time and the series stay.
  void Reset(std::int64_t nowSeconds);
  void Stopped(std::int64_t nowSeconds) { FStopSeconds = nowSeconds; }

  void ConnectionAccepted(std::size_t guestCount);
  void Read(std::size_t bytes);
  void Written(std::size_t bytes);
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
};

}  // namespace zorva
