#include "ZorvaDialect.h"

#include "ZorvaProtocol.h"

namespace zorva {

namespace {

constexpr std::string_view kPassword = "pw";

// The first field after the command word.
std::string_view FirstField(std::string_view args) {
  return args.substr(0, args.find(kFieldSeparator));
}

}  // namespace

IBenchDialect::TSetup TZorvaDialect::Begin(TBenchMember& member) {
  SendLine(member, Msg::Login(member.Id, member.Subject.Code, kPassword));
  return TSetup::Pending;
}

IBenchDialect::TSetup TZorvaDialect::OnSetupLine(TBenchMember& member, std::string_view line) {
  if (AnswerPing(member, line)) return TSetup::Pending;
  const auto command = SplitCommand(line);
  if (command.Word == Cmd::JoinSubject) return OnJoined(member, FirstField(command.Args));
  const bool refused = command.Word == Cmd::Error ||
                       (command.Word == Cmd::Login && FirstField(command.Args) != Cmd::Success);
  return refused ? TSetup::Failed : TSetup::Pending;
}

IBenchDialect::TSetup TZorvaDialect::OnJoined(TBenchMember& member, std::string_view subjectName) {
  auto& subject = member.Subject;
  if (subjectName == subject.Name) {
    if (!member.Role.Creator) return TSetup::Ready;
    subject.Created = true;
    for (auto* joiner : subject.WaitingJoiners) SendLine(*joiner, Msg::JoinSubject(subject.Name));
    subject.WaitingJoiners.clear();
    return TSetup::Ready;
  }
  // Joined the lobby of the code: logged in.
  if (!member.Role.JoinsSubject) return TSetup::Ready;
  if (member.Role.Creator) {
    SendLine(member, Msg::CreateSubject(subject.Name, 0));
  } else if (subject.Created) {
    SendLine(member, Msg::JoinSubject(subject.Name));
  } else {
    subject.WaitingJoiners.push_back(&member);
  }
  return TSetup::Pending;
}

bool TZorvaDialect::IsDelivery(TBenchMember& member, std::string_view line) {
  // Checked on every received line, so a prefix test rather than a split.
  if (line.starts_with("SEND|")) return true;
  AnswerPing(member, line);
  return false;
}

std::string TZorvaDialect::PublishBytes(const TBenchMember&, std::string_view payload) const {
  return Msg::SendChat(payload) + kLineFeed;
}

void TZorvaDialect::SendLine(TBenchMember& member, std::string_view line) {
  member.Connection.Append(line);
  member.Connection.Append(std::string_view(&kLineFeed, 1));
  member.Connection.Flush();
}

bool TZorvaDialect::AnswerPing(TBenchMember& member, std::string_view line) {
  if (!line.starts_with("PING|")) return false;
  SendLine(member, Msg::PingReply());
  return true;
}

}  // namespace zorva
