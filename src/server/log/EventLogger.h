// EventLogger: the daemon's log. One line per event — the core's (IServerObserver::Event and
// its exception lines) and the daemon's own (start, stop) — with an ISO-8601 UTC time and a
// level, as text ("key=value") or as JSON lines; and, when asked, the protocol trace lines in
// their own format ("Rcvd From who: line"). Every text from a client is escaped (LogText.h).
//
//   EventLogger log(TLogFormat::Json, spdlog::level::info, {stderrSink}, {});
//   core.SetObserver(&log);
//   log.Log(spdlog::level::info, "start", {{"address", "0.0.0.0:4000"}});
//   // {"time":"2024-05-01T09:30:00.123Z","level":"info","event":"start","address":"0.0.0.0:4000"}
#pragma once

#include <spdlog/logger.h>

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ServerEvents.h"
#include "ServerInterfaces.h"

namespace zorva {

enum class TLogFormat { Text, Json };

struct TLogField {
  std::string_view Key;
  std::string_view Value;
};

// "text" or "json"; nullopt for anything else.
std::optional<TLogFormat> ParseLogFormat(std::string_view name);
// "debug", "info", "warn" or "error"; nullopt for anything else.
std::optional<spdlog::level::level_enum> ParseLogLevel(std::string_view name);

class EventLogger : public IServerObserver {
 public:
  // Sets the sinks' formats: the event sinks get the time, level and fields of `format`, the
  // trace sinks the bare trace line. No trace sink, no trace.
  EventLogger(TLogFormat format, spdlog::level::level_enum level,
              std::vector<spdlog::sink_ptr> eventSinks, std::vector<spdlog::sink_ptr> traceSinks);

  void Log(spdlog::level::level_enum level, std::string_view event,
           std::initializer_list<TLogField> fields);
  void Log(spdlog::level::level_enum level, std::string_view event,
           std::span<const TLogField> fields);

  // IServerObserver
  void Event(const TServerEvent& event) override;
  void ExceptionLine(std::string_view text, TExceptionKind kind) override;
  void TraceIncoming(std::string_view text) override { Trace("Rcvd From ", text); }
  void TraceOutgoing(std::string_view text) override { Trace("Sent To ", text); }

 private:
  std::string Fields(std::string_view event, std::span<const TLogField> fields) const;
  void OperatorAction(const TServerEvent& event);
  void Trace(std::string_view prefix, std::string_view text);

  TLogFormat FFormat;
  spdlog::logger FEvents;
  spdlog::logger FTrace;
};

}  // namespace zorva
