#include "ServerCounters.h"

#include <algorithm>
#include <utility>

namespace zorva {

THistogram::THistogram(std::vector<double> bounds)
    : FBounds(std::move(bounds)), FCounts(FBounds.size() + 1, 0) {}

void THistogram::Observe(double value) {
  const auto bucket = std::lower_bound(FBounds.begin(), FBounds.end(), value) - FBounds.begin();
  ++FCounts[static_cast<std::size_t>(bucket)];
  FSum += value;
}

void TServerCounters::Reset(std::int64_t nowSeconds) {
  FStartSeconds = nowSeconds;
  FTotalConnections = FPeakConnections = FTotalSubjectsCreated = FCurrentSubjects = 0;
  FBytesRead = FIntervalBytesRead = FBytesWritten = FIntervalBytesWritten = 0;
}

void TServerCounters::ConnectionAccepted(std::size_t guestCount) {
  ++FTotalConnections;
  FPeakConnections = std::max(FPeakConnections, static_cast<std::int32_t>(guestCount));
}

void TServerCounters::Read(std::size_t bytes) {
  FLifetime.BytesRead += bytes;
  FBytesRead += static_cast<double>(bytes);
  FIntervalBytesRead += static_cast<double>(bytes);
}

void TServerCounters::Written(std::size_t bytes, std::size_t lines) {
  FLifetime.BytesWritten += bytes;
  FLifetime.LinesWritten += lines;
  FBytesWritten += static_cast<double>(bytes);
  FIntervalBytesWritten += static_cast<double>(bytes);
}

void TServerCounters::LoginDecided(bool accepted, std::uint64_t elapsedMs) {
  ++(accepted ? FLifetime.Logins : FLifetime.FailedLogins);
  FLifetime.LoginDecisionMs.Observe(static_cast<double>(elapsedMs));
}

void TServerCounters::SubjectCreated() {
  ++FTotalSubjectsCreated;
  ++FCurrentSubjects;
}

void TServerCounters::StepActivity() {
  std::shift_left(FActivityRead.begin(), FActivityRead.end(), 1);
  std::shift_left(FActivityWritten.begin(), FActivityWritten.end(), 1);
  FActivityRead.back() = FIntervalBytesRead;
  FActivityWritten.back() = FIntervalBytesWritten;
  FIntervalBytesRead = FIntervalBytesWritten = 0;
}

void TServerCounters::Fill(TZorvaServerStats& stats, bool listening, std::int64_t nowSeconds,
                           std::size_t guestCount) const {
  const auto end = listening ? nowSeconds : FStopSeconds;
  stats.SetSecondsActive(static_cast<std::int32_t>(end - FStartSeconds));
  stats.SetCurrentConnections(static_cast<std::int32_t>(guestCount));
  stats.SetTotalConnections(FTotalConnections);
  stats.SetCurrentSubjects(FCurrentSubjects);
  stats.SetTotalSubjectsCreated(FTotalSubjectsCreated);
  stats.SetPeakClientsConnected(FPeakConnections);
  stats.SetBytesRead(FBytesRead);
  stats.SetBytesWritten(FBytesWritten);
}

}  // namespace zorva
