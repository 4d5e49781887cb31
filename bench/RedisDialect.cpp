#include "RedisDialect.h"

#include <initializer_list>

namespace zorva {

namespace {

// A command as a RESP array of bulk strings.
std::string Command(std::initializer_list<std::string_view> words) {
  std::string out = "*" + std::to_string(words.size()) + "\r\n";
  for (const auto word : words) {
    out += "$" + std::to_string(word.size()) + "\r\n";
    out += word;
    out += "\r\n";
  }
  return out;
}

}  // namespace

IBenchDialect::TSetup TRedisDialect::Begin(TBenchMember& member) {
  if (!member.Role.Receives) return TSetup::Ready;
  member.Connection.Append(Command({"SUBSCRIBE", member.Subject.Name}));
  member.Connection.Flush();
  return TSetup::Pending;
}

IBenchDialect::TSetup TRedisDialect::OnSetupLine(TBenchMember&, std::string_view line) {
  // The subscription count closes the SUBSCRIBE reply; "-" starts an error reply.
  if (line.starts_with(':')) return TSetup::Ready;
  if (line.starts_with('-')) return TSetup::Failed;
  return TSetup::Pending;
}

std::string TRedisDialect::PublishBytes(const TBenchMember& member,
                                        std::string_view payload) const {
  return Command({"PUBLISH", member.Subject.Name, payload});
}

}  // namespace zorva
