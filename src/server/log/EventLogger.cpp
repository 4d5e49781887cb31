#include "EventLogger.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/sink.h>

#include <array>
#include <memory>
#include <utility>

#include "LogText.h"

namespace zorva {

namespace {

using spdlog::level::level_enum;

constexpr const char* kTime = "%Y-%m-%dT%H:%M:%S.%eZ";

// The words --log-level takes, which are also the words the lines carry.
constexpr std::array<std::pair<std::string_view, level_enum>, 4> kLevels{
    {{"debug", level_enum::debug},
     {"info", level_enum::info},
     {"warn", level_enum::warn},
     {"error", level_enum::err}}};

// spdlog's own word for warn is "warning", which --log-level would not take back.
class LevelWord : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& message, const std::tm&,
              spdlog::memory_buf_t& dest) override {
    const auto own = spdlog::level::to_string_view(message.level);
    std::string_view word(own.data(), own.size());
    for (const auto& [name, level] : kLevels) {
      if (level == message.level) word = name;
    }
    dest.append(word.data(), word.data() + word.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override {
    return std::make_unique<LevelWord>();
  }
};

std::string EventPattern(TLogFormat format) {
  if (format == TLogFormat::Json) {
    return std::string(R"({"time":")") + kTime + R"(","level":"%L",%v})";
  }
  return std::string(kTime) + " %L %v";
}

void SetPattern(const std::vector<spdlog::sink_ptr>& sinks, const std::string& pattern) {
  for (const auto& sink : sinks) {
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::utc);
    formatter->add_flag<LevelWord>('L').set_pattern(pattern);
    sink->set_formatter(std::move(formatter));
  }
}

// Leaving is routine unless the connection misbehaved or broke.
level_enum LeaveLevel(TDropReason reason) {
  switch (reason) {
    case TDropReason::SlowReader:
    case TDropReason::LineTooLong:
    case TDropReason::SocketError:
      return level_enum::warn;
    default:
      return level_enum::info;
  }
}

// An operator's shout is kept short in the log: its start tells what it was about.
constexpr std::size_t kMaxLoggedText = 80;

std::string ShortText(std::string_view text) {
  if (text.size() <= kMaxLoggedText) return std::string(text);
  auto end = kMaxLoggedText;
  // Never inside a UTF-8 letter: back up past its continuation bytes.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) --end;
  return std::string(text.substr(0, end)) + "...";
}

}  // namespace

std::optional<TLogFormat> ParseLogFormat(std::string_view name) {
  if (name == "text") return TLogFormat::Text;
  if (name == "json") return TLogFormat::Json;
  return std::nullopt;
}

std::optional<level_enum> ParseLogLevel(std::string_view name) {
  for (const auto& [word, level] : kLevels) {
    if (word == name) return level;
  }
  return std::nullopt;
}

EventLogger::EventLogger(TLogFormat format, level_enum level,
                         std::vector<spdlog::sink_ptr> eventSinks,
                         std::vector<spdlog::sink_ptr> traceSinks)
    : FFormat(format),
      FEvents("events", eventSinks.begin(), eventSinks.end()),
      FTrace("trace", traceSinks.begin(), traceSinks.end()) {
  SetPattern(eventSinks, EventPattern(format));
  SetPattern(traceSinks, "%v");
  FEvents.set_level(level);
  FTrace.set_level(level_enum::trace);
}

void EventLogger::Log(level_enum level, std::string_view event,
                      std::initializer_list<TLogField> fields) {
  Log(level, event, std::span<const TLogField>(fields.begin(), fields.size()));
}

void EventLogger::Log(level_enum level, std::string_view event, std::span<const TLogField> fields) {
  if (!FEvents.should_log(level)) return;
  FEvents.log(level, Fields(event, fields));
}

std::string EventLogger::Fields(std::string_view event, std::span<const TLogField> fields) const {
  const bool json = FFormat == TLogFormat::Json;
  std::string line = json ? R"("event":)" + JsonString(event) : EscapeText(event);
  for (const auto& field : fields) {
    if (json) {
      line += ',' + JsonString(field.Key) + ':' + JsonString(field.Value);
    } else {
      line += ' ' + EscapeText(field.Key) + '=' + TextValue(field.Value);
    }
  }
  return line;
}

void EventLogger::Event(const TServerEvent& event) {
  const auto name = EventName(event.Kind);
  const auto connection = std::to_string(event.Connection);
  switch (event.Kind) {
    case TServerEventKind::Login:
      return Log(level_enum::info, name,
                 {{"id", event.UserId},
                  {"code", event.SubjectCode},
                  {"address", event.Address},
                  {"connection", connection}});
    case TServerEventKind::Logout:
    case TServerEventKind::Drop: {
      const auto error = std::to_string(event.ErrorCode);
      std::vector<TLogField> fields{{"id", event.UserId},
                                    {"code", event.SubjectCode},
                                    {"address", event.Address},
                                    {"connection", connection},
                                    {"reason", ReasonName(event.Drop)}};
      if (event.Drop == TDropReason::SocketError) {
        fields.push_back({"error", error});
        fields.push_back({"error_text", event.Error});
      }
      return Log(LeaveLevel(event.Drop), name, fields);
    }
    case TServerEventKind::Refusal:
      return Log(level_enum::warn, name,
                 {{"address", event.Address},
                  {"connection", connection},
                  {"reason", ReasonName(event.Refusal)}});
    case TServerEventKind::SubjectCreated:
    case TServerEventKind::SubjectRemoved:
      return Log(level_enum::info, name, {{"code", event.SubjectCode}, {"subject", event.Subject}});
    case TServerEventKind::Operator:
      return OperatorAction(event);
  }
}

// Only what the action has: a kill names its guest, a shout its target and text, a trace switch
// its direction and state.
void EventLogger::OperatorAction(const TServerEvent& event) {
  const auto connection = event.Connection == 0 ? std::string() : std::to_string(event.Connection);
  const auto state = event.Action != TOperatorAction::Trace ? "" : event.On ? "on" : "off";
  const auto text = ShortText(event.Text);
  std::vector<TLogField> fields{{"action", ActionName(event.Action)}};
  for (const TLogField& field :
       {TLogField{"target", event.Target}, TLogField{"state", state}, TLogField{"id", event.UserId},
        TLogField{"code", event.SubjectCode}, TLogField{"subject", event.Subject},
        TLogField{"address", event.Address}, TLogField{"connection", connection},
        TLogField{"text", text}}) {
    if (!field.Value.empty()) fields.push_back(field);
  }
  Log(level_enum::info, EventName(event.Kind), fields);
}

// A leave's alarm lines are left out: its logout or drop line already names the connection, the
// address, the reason and the error. Notes are the core's words to the operator, such as the
// cluster lost or back.
void EventLogger::ExceptionLine(std::string_view text, TExceptionKind kind) {
  switch (kind) {
    case TExceptionKind::Alarm:
      return Log(level_enum::err, "exception", {{"text", text}});
    case TExceptionKind::Note:
      return Log(level_enum::info, "note", {{"text", text}});
    case TExceptionKind::LeaveAlarm:
      return;
  }
}

void EventLogger::Trace(std::string_view prefix, std::string_view text) {
  if (FTrace.sinks().empty()) return;
  FTrace.log(level_enum::info, std::string(prefix) + EscapeText(text));
}

}  // namespace zorva
