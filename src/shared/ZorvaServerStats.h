// TZorvaServerStats: the counters of a running server and their text form. The server fills
// one from its counters for "SERVERSTATS" answers and its statistics form; the client reads the
// text back and hands the record to its program and to the statistics dialog.
//
//   TZorvaServerStats stats;
//   stats.SetSecondsActive(61);
//   stats.GetTimeActiveDesc();  // "1 min 1 sec"
//   stats.toString();           // "61`0`0`0`0`0`0`0`"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zorva {

class TZorvaServerStats {
 public:
  // Byte totals are whole numbers kept in a double: exact up to 2^53 bytes.
  double BytesRead() const { return FBytesRead; }
  double BytesWritten() const { return FBytesWritten; }
  std::int32_t TotalConnections() const { return FTotalConnections; }
  std::int32_t PeakClientsConnected() const { return FPeakClientsConnected; }
  std::int32_t TotalSubjectsCreated() const { return FTotalSubjectsCreated; }
  std::int32_t SecondsActive() const { return FSecondsActive; }
  std::int32_t CurrentSubjects() const { return FCurrentSubjects; }
  std::int32_t CurrentConnections() const { return FCurrentConnections; }

  void SetBytesRead(double value) { FBytesRead = value; }
  void SetBytesWritten(double value) { FBytesWritten = value; }
  void SetTotalConnections(std::int32_t value) { FTotalConnections = value; }
  void SetPeakClientsConnected(std::int32_t value) { FPeakClientsConnected = value; }
  void SetTotalSubjectsCreated(std::int32_t value) { FTotalSubjectsCreated = value; }
  void SetSecondsActive(std::int32_t value) { FSecondsActive = value; }
  void SetCurrentSubjects(std::int32_t value) { FCurrentSubjects = value; }
  void SetCurrentConnections(std::int32_t value) { FCurrentConnections = value; }

  std::string toString() const;
  // Throws EConvertError naming the first field that is not a number; fields before it keep
  // their new values.
  void fromString(std::string_view text);
  // "2 hrs 2 mins 2 secs": zero units are left out, the seconds are always there.
  std::string GetTimeActiveDesc() const;

  bool operator==(const TZorvaServerStats&) const = default;

 private:
  double FBytesRead = 0;
  double FBytesWritten = 0;
  std::int32_t FTotalConnections = 0;
  std::int32_t FPeakClientsConnected = 0;
  std::int32_t FTotalSubjectsCreated = 0;
  std::int32_t FSecondsActive = 0;
  std::int32_t FCurrentSubjects = 0;
  std::int32_t FCurrentConnections = 0;
};

}  // namespace zorva
