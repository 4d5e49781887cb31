// RecordingObserver: keeps what the server core tells the window (trace lines and exception
// lines), so that tests can read it back; every exception line must ask for the alarm but the
// cluster's notes (lost, back), which are kept apart. The alarms about a leave are in Exceptions
// and, again, in LeaveAlarms.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "ServerInterfaces.h"

namespace zorva::test {

class RecordingObserver : public IServerObserver {
 public:
  void TraceIncoming(std::string_view text) override { Incoming.emplace_back(text); }
  void TraceOutgoing(std::string_view text) override { Outgoing.emplace_back(text); }
  void ExceptionLine(std::string_view text, TExceptionKind kind) override {
    if (kind == TExceptionKind::Note && text.starts_with("Cluster")) {
      Notes.emplace_back(text);
      return;
    }
    Exceptions.emplace_back(text);
    EXPECT_NE(kind, TExceptionKind::Note) << text;
    if (kind == TExceptionKind::LeaveAlarm) LeaveAlarms.emplace_back(text);
  }

  std::vector<std::string> Incoming;
  std::vector<std::string> Outgoing;
  std::vector<std::string> Exceptions;
  std::vector<std::string> Notes;
  std::vector<std::string> LeaveAlarms;
};

}  // namespace zorva::test
