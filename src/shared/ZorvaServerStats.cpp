#include "ZorvaServerStats.h"

#include "ZorvaUtils.h"

namespace zorva {

namespace {

constexpr char kSep = '`';

// Appends "3 mins " for unit "min ": the plural "s" goes before a trailing blank.
void AppendCount(std::string& out, std::int64_t count, std::string_view unit) {
  out += std::to_string(count);
  out += ' ';
  const bool blank = unit.back() == ' ';
  if (blank) unit.remove_suffix(1);
  out += unit;
  if (count != 1) out += 's';
  if (blank) out += ' ';
}

}  // namespace

std::string TZorvaServerStats::toString() const {
  std::string out;
  for (const std::int32_t value :
       {FSecondsActive, FCurrentConnections, FTotalConnections, FCurrentSubjects,
        FTotalSubjectsCreated, FPeakClientsConnected}) {
    out += std::to_string(value);
    out += kSep;
  }
  out += FloatToStr(FBytesRead);
  out += kSep;
  out += FloatToStr(FBytesWritten);
  out += kSep;
  return out;
}

void TZorvaServerStats::fromString(std::string_view text) {
  SetSecondsActive(StrToInt(getToken(text, kSep), "SecondsActive"));
  SetCurrentConnections(StrToInt(getToken(text, kSep), "CurrentConnections"));
  SetTotalConnections(StrToInt(getToken(text, kSep), "TotalConnections"));
  SetCurrentSubjects(StrToInt(getToken(text, kSep), "CurrentSubjects"));
  SetTotalSubjectsCreated(StrToInt(getToken(text, kSep), "TotalSubjectsCreated"));
  SetPeakClientsConnected(StrToInt(getToken(text, kSep), "PeakClientsConnected"));
  SetBytesRead(StrToFloat(getToken(text, kSep), "BytesRead"));
  SetBytesWritten(StrToFloat(getToken(text, kSep), "BytesWritten"));
}

std::string TZorvaServerStats::GetTimeActiveDesc() const {
  const std::int64_t s = FSecondsActive;
  const std::int64_t days = s / 86400;
  const std::int64_t hours = (s - days * 86400) / 3600;
  const std::int64_t minutes = (s - days * 86400 - hours * 3600) / 60;
  const std::int64_t seconds = s - days * 86400 - hours * 3600 - minutes * 60;
  std::string out;
  if (days > 0) AppendCount(out, days, "day ");
  if (hours > 0) AppendCount(out, hours, "hr ");
  if (minutes > 0) AppendCount(out, minutes, "min ");
  AppendCount(out, seconds, "sec");
  return out;
}

}  // namespace zorva
