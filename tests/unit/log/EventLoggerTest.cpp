// The log's lines in both formats: time, level, event and fields; levels filter; the trace
// keeps its own format.
#include <gmock/gmock.h>
#include <spdlog/sinks/ostream_sink.h>

#include <regex>
#include <sstream>

#include "EventLogger.h"

namespace zorva {
namespace {

using spdlog::level::level_enum;

struct Captured {
  std::ostringstream Events;
  std::ostringstream Trace;
};

EventLogger MakeLogger(Captured& out, TLogFormat format, level_enum level, bool trace = false) {
  std::vector<spdlog::sink_ptr> traceSinks;
  if (trace) traceSinks.push_back(std::make_shared<spdlog::sinks::ostream_sink_st>(out.Trace));
  return EventLogger(format, level, {std::make_shared<spdlog::sinks::ostream_sink_st>(out.Events)},
                     traceSinks);
}

// Every time stamp, in UTC to the millisecond, as "T".
std::string WithoutTime(const std::string& lines) {
  static const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  return std::regex_replace(lines, stamp, "T");
}

TServerEvent SocketErrorLeave() {
  TServerEvent event;
  event.Kind = TServerEventKind::Logout;
  event.Connection = 7;
  event.UserId = "a\x1b[2Jn";
  event.SubjectCode = "Chess Club";
  event.Address = "10.0.0.1";
  event.Drop = TDropReason::SocketError;
  event.ErrorCode = 104;
  event.Error = "Connection reset by peer";
  return event;
}

TEST(EventLoggerTest, TextLinesCarryTimeLevelEventAndEscapedFields) {
  Captured out;
  auto log = MakeLogger(out, TLogFormat::Text, level_enum::info);
  log.Event(SocketErrorLeave());
  EXPECT_EQ(WithoutTime(out.Events.str()),
            "T warn logout id=a\\x1b[2Jn code=\"Chess Club\" address=10.0.0.1 connection=7 "
            "reason=socket-error error=104 error_text=\"Connection reset by peer\"\n");
}

TEST(EventLoggerTest, JsonLinesAreOneObjectEach) {
  Captured out;
  auto log = MakeLogger(out, TLogFormat::Json, level_enum::info);
  log.Event(SocketErrorLeave());
  log.ExceptionLine("bad \"quote\"\n", TExceptionKind::Alarm);
  EXPECT_EQ(WithoutTime(out.Events.str()),
            R"({"time":"T","level":"warn","event":"logout","id":"a\\x1b[2Jn",)"
            R"("code":"Chess Club","address":"10.0.0.1","connection":"7",)"
            R"("reason":"socket-error","error":"104","error_text":"Connection reset by peer"})"
            "\n"
            R"({"time":"T","level":"error","event":"exception","text":"bad \"quote\"\\x0a"})"
            "\n");
}

// A socket error's alarm lines describe the leave that its logout line already carries whole.
TEST(EventLoggerTest, ALeaveIsOneLineWithoutItsAlarmLines) {
  Captured out;
  auto log = MakeLogger(out, TLogFormat::Text, level_enum::debug);
  log.ExceptionLine("Client Socket Error: 104", TExceptionKind::LeaveAlarm);
  log.ExceptionLine("User gil has been disconnected", TExceptionKind::LeaveAlarm);
  log.Event(SocketErrorLeave());
  const auto text = out.Events.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_THAT(text, testing::HasSubstr(" logout "));
}

// An operator line names what the action aimed at, and no more; a shout's text is cut short
// (at a letter's start) and escaped.
TEST(EventLoggerTest, OperatorLinesNameTheirAimAndKeepTheTextShort) {
  Captured out;
  auto log = MakeLogger(out, TLogFormat::Text, level_enum::info);
  auto shout = OperatorEvent(TOperatorAction::Shout, "GAME", "Big Room");
  shout.Target = "subject";
  const std::string text = "\x1b" + std::string(78, 'a') + "\xc3\xa9" + "zzz";  // é at 79-80
  shout.Text = text;
  log.Event(shout);
  auto trace = OperatorEvent(TOperatorAction::Trace);
  trace.Target = "incoming";
  trace.On = true;
  log.Event(trace);
  auto kill = OperatorEvent(TOperatorAction::Kill);
  kill.UserId = "gil";
  kill.Address = "10.0.0.1";
  kill.Connection = 7;
  log.Event(kill);
  log.Event(OperatorEvent(TOperatorAction::ShutDown));
  EXPECT_EQ(
      WithoutTime(out.Events.str()),
      "T info operator action=shout target=subject code=GAME subject=\"Big Room\" text=\\x1b" +
          std::string(78, 'a') +
          "...\n"
          "T info operator action=trace target=incoming state=on\n"
          "T info operator action=kill id=gil address=10.0.0.1 connection=7\n"
          "T info operator action=shut-down\n");
}

TEST(EventLoggerTest, LevelLeavesOutWhatIsBelowIt) {
  struct Case {
    const char* Label;
    level_enum Level;
    int Lines;  // of: an info login, a warn refusal, an error exception, an info note
  };
  for (const auto& c : {Case{"debug", level_enum::debug, 4}, Case{"info", level_enum::info, 4},
                        Case{"warn", level_enum::warn, 2}, Case{"error", level_enum::err, 1}}) {
    Captured out;
    auto log = MakeLogger(out, TLogFormat::Text, c.Level);
    TServerEvent login;
    TServerEvent refusal;
    refusal.Kind = TServerEventKind::Refusal;
    log.Event(login);
    log.Event(refusal);
    log.ExceptionLine("x", TExceptionKind::Alarm);
    log.ExceptionLine("Cluster back", TExceptionKind::Note);
    const auto text = out.Events.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.Lines) << c.Label;
  }
}

TEST(EventLoggerTest, TraceLinesKeepTheirFormatEscapedAndOnlyWhenAsked) {
  Captured quiet;
  auto without = MakeLogger(quiet, TLogFormat::Json, level_enum::err);
  without.TraceIncoming("ann: SEND|CHAT|hi");
  EXPECT_EQ(quiet.Events.str() + quiet.Trace.str(), "");

  Captured out;
  auto log = MakeLogger(out, TLogFormat::Json, level_enum::err, true);
  log.TraceIncoming("10.0.0.1: LOGIN|a\x07n|G|***");
  log.TraceOutgoing("ann: SUBJECTS|Lobby Chat|");
  EXPECT_EQ(out.Trace.str(),
            "Rcvd From 10.0.0.1: LOGIN|a\\x07n|G|***\nSent To ann: SUBJECTS|Lobby Chat|\n");
  EXPECT_EQ(out.Events.str(), "");
}

TEST(EventLoggerTest, NamesOfFormatsAndLevels) {
  EXPECT_EQ(ParseLogFormat("json"), TLogFormat::Json);
  EXPECT_EQ(ParseLogFormat("text"), TLogFormat::Text);
  EXPECT_EQ(ParseLogFormat("JSON"), std::nullopt);
  EXPECT_EQ(ParseLogLevel("warn"), level_enum::warn);
  EXPECT_EQ(ParseLogLevel("error"), level_enum::err);
  EXPECT_EQ(ParseLogLevel("trace"), std::nullopt);
}

}  // namespace
}  // namespace zorva
