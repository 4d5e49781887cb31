#include "ChatClient.h"

#include <QCoreApplication>
#include <QTimer>

#include "ChatInput.h"
#include "QtClientSocket.h"
#include "TerminalText.h"
#include "ZorvaProtocol.h"
#include "ZorvaUtils.h"

namespace zorva {

namespace {

// A server that never answers the closing statistics request must not keep the program alive.
constexpr int kQuitTimeoutMs = 5000;

// "/create Big Room 4" -> word "/create", rest "Big Room 4".
std::pair<std::string, std::string> SplitWord(const std::string& line) {
  const auto space = line.find(' ');
  if (space == std::string::npos) return {line, {}};
  return {line.substr(0, space), line.substr(space + 1)};
}

// "Big Room 4" -> "Big Room", limit 4: a last word that is a number is the member limit; the
// name may hold spaces.
std::pair<std::string, std::int32_t> SplitCreate(const std::string& rest) {
  const auto space = rest.rfind(' ');
  std::int32_t limit = 0;
  if (space == std::string::npos || !TryStrToInt(rest.substr(space + 1), limit)) return {rest, 0};
  return {rest.substr(0, space), limit};
}

std::string SubjectNameOf(const std::string& createArgs) {
  return SplitCreate(createArgs).first;
}

}  // namespace

TChatClient::TChatClient(TChatOptions options, std::ostream& out, std::ostream& err)
    : TChatClient(new QtClientSocket, std::move(options), out, err) {}

TChatClient::TChatClient(QtClientSocket* socket, TChatOptions options, std::ostream& out,
                         std::ostream& err)
    : TZorvaConnection(std::unique_ptr<IClientSocket>(socket)),
      FQtSocket(socket),
      FOptions(std::move(options)),
      FOut(out),
      FErr(err) {
  SetHost(FOptions.Host);
  SetPort(FOptions.Port);
  SetSubjectCode(FOptions.Code);
  SetUseTls(FOptions.Tls);
  SetTlsCaFile(FOptions.CaFile);
  SetTlsVerifyPeer(!FOptions.Insecure);
  BindEvents();
}

void TChatClient::Start() {
  SetActive(true);
}

void TChatClient::BindEvents() {
  SetOnConnected([this](auto&) {
    Line("* connected to " + Host() + ":" + std::to_string(Port()));
    if (!FOptions.Register) {
      Login(FOptions.User, FOptions.Password);
      return;
    }
    TZorvaUser user;
    user.SetId(FOptions.User);
    user.SetPassword(FOptions.Password);
    LoginNew(FOptions.User, user.toString());
  });
  SetOnLoginSuccess([this](auto&, TZorvaUser& user) { Line("* logged in as " + user.Id()); });
  SetOnLoginFailed([this](auto&, std::string_view reason) {
    Line("! login failed: " + std::string(reason));
    Finish(1);
  });
  SetOnAddSubject(
      [this](auto&, std::string_view name) { Line("* subject added: " + std::string(name)); });
  SetOnRemoveSubject(
      [this](auto&, std::string_view name) { Line("* subject removed: " + std::string(name)); });
  SetOnJoinSubject(
      [this](auto&, std::string_view name) { Line("* you joined " + std::string(name)); });
  SetOnAddUser([this](auto&, TZorvaUser& user) {
    if (&user == CurrentUser()) return;
    Line("* " + user.Id() + (FInJoinListing ? " is in " : " joined ") + CurrentSubject());
  });
  SetOnRemoveUser(
      [this](auto&, TZorvaUser& user) { Line("* " + user.Id() + " left " + CurrentSubject()); });
  SetOnBeginSubject([this](auto&) { Line("* " + CurrentSubject() + " is full"); });
  SetOnChatReceived([this](auto&, std::string_view text, std::string_view id) {
    Line("<" + std::string(id) + "> " + std::string(text));
  });
  SetOnDataReceived([this](auto&, std::string_view text, std::string_view id) {
    Line("[data] <" + std::string(id) + "> " + std::string(text));
  });
  SetOnCustomMessage([this](auto&, std::string_view type, std::string_view text) {
    Line("[" + std::string(type) + "] " + std::string(text));
  });
  SetOnShout([this](auto&, std::string_view text) { Line("! shout: " + std::string(text)); });
  SetOnServerError([this](auto&, std::string_view text) { Line("! " + std::string(text)); });
  SetOnServerStatus([this](auto&, const TZorvaServerStats& stats) {
    if (FStatsAsked > 0) {
      --FStatsAsked;
      PrintStats(stats);
      return;
    }
    if (FInputDone) Finish(0);
  });
  SetOnDisconnected([this](auto&) {
    Line("* disconnected by the server");
    Finish(1);
  });
  SetOnSocketError([this](auto&, int code, std::string_view text) {
    FErr << "zorva-chat: " << SocketErrorText(code, text, Host(), Port()) << std::endl;
    if (!Active()) Finish(1);
  });
  SetOnLineError([this](auto&, std::string_view line, std::string_view reason) {
    Line("! unreadable line from the server (" + std::string(reason) + "): " + std::string(line));
  });
}

void TChatClient::ProcessMessage(std::string_view args, std::string_view command) {
  if (command == Cmd::UserInfo) PrintUserInfo(args);
  FInJoinListing = command == Cmd::JoinSubject;
  TZorvaConnection::ProcessMessage(args, command);
  FInJoinListing = false;
  // Typed lines wait until the login has landed in the lobby, so that /who, /subjects and
  // /join see the server's state rather than an empty one.
  if (command == Cmd::JoinSubject && !FInLobby && LoggedIn()) {
    FInLobby = true;
    RunQueued();
  }
}

void TChatClient::Input(const std::string& line) {
  if (line.empty() || FInputDone) return;
  if (!FInLobby) {
    FQueued.push_back(line);
    return;
  }
  Execute(line);
}

void TChatClient::RunQueued() {
  while (!FQueued.empty() && !FInputDone) {
    const std::string line = std::move(FQueued.front());
    FQueued.pop_front();
    Execute(line);
  }
  FQueued.clear();
}

void TChatClient::EndOfInput() {
  if (FInputDone) return;
  FQueued.emplace_back("/quit");
  if (FInLobby) RunQueued();
}

void TChatClient::Execute(const std::string& line) {
  if (!line.starts_with('/')) {
    SendChatMessage(line);
    return;
  }
  const auto [word, rest] = SplitWord(line);
  if (!NameCanBeSent(word, rest)) return;
  if (word == "/quit") {
    BeginQuit();
  } else if (word == "/help") {
    PrintHelp();
  } else if (word == "/subjects") {
    PrintSubjects();
  } else if (word == "/who") {
    PrintMembers();
  } else if (word == "/join" && !rest.empty()) {
    JoinSubject(rest);
  } else if (word == "/create" && !rest.empty()) {
    const auto [name, limit] = SplitCreate(rest);
    CreateSubject(name, limit);
  } else if (word == "/info" && !rest.empty()) {
    RequestUserInfo(rest);
  } else if (word == "/stats") {
    ++FStatsAsked;
    RequestStatistics();
  } else if (word == "/feedback" && !rest.empty()) {
    SendFeedback(rest);
  } else {
    Line("! unknown or incomplete command " + line + " (try /help)");
  }
}

// A subject name or id the protocol cannot carry would reach the server as other fields.
bool TChatClient::NameCanBeSent(const std::string& word, const std::string& name) {
  if (word != "/join" && word != "/create" && word != "/info") return true;
  if (name.empty()) return true;  // reported as an incomplete command
  const auto problem = NameProblem(word == "/create" ? SubjectNameOf(name) : name);
  if (!problem) return true;
  Line("! " + word + ": " + *problem);
  return false;
}

// The answer to a last statistics request comes after the answers to everything asked before
// it, so its arrival means all output is in.
void TChatClient::BeginQuit() {
  if (FInputDone) return;
  FInputDone = true;
  FQueued.clear();
  RequestStatistics();
  QTimer::singleShot(kQuitTimeoutMs, FQtSocket, [this] { Finish(0); });
}

void TChatClient::Finish(int exitCode) {
  if (FFinishing) return;
  FFinishing = true;
  FOut.flush();
  SetActive(false);
  if (!FQtSocket->Closing()) {
    QCoreApplication::exit(exitCode);
    return;
  }
  QObject::connect(FQtSocket, &QtClientSocket::allClosed,
                   [exitCode] { QCoreApplication::exit(exitCode); });
}

void TChatClient::PrintHelp() {
  Line(
      "* commands: /subjects, /create NAME [LIMIT], /join NAME, /who, /info ID, /stats, "
      "/feedback TEXT, /quit, /help; any other line is sent as chat");
}

void TChatClient::PrintSubjects() {
  std::string names;
  for (const auto& name : SubjectNames()) names += (names.empty() ? "" : ", ") + name;
  Line("* subjects: " + names);
}

void TChatClient::PrintMembers() {
  std::string members;
  for (int i = 0; i < GetUserCount(); ++i) {
    const auto& user = GetUser(i);
    members += (members.empty() ? "" : ", ") + user.Id();
    if (&user == CurrentUser()) members += " (you)";
    if (const auto ping = user.GetConnectionQuality(); ping > 0) {
      members += " " + std::to_string(ping) + " ms";
    }
  }
  Line("* in " + CurrentSubject() + ": " + members);
}

void TChatClient::PrintUserInfo(std::string_view userText) {
  TZorvaUser user;
  try {
    user.fromString(getToken(userText, kFieldSeparator));
  } catch (const EConvertError&) {
    return;  // the connection reports the line itself
  }
  Line("* info " + user.Id() + ": " + user.GetFullName() + ", " + user.City() + ", " +
       user.Country() + ", " + user.EMail() + ", " + std::to_string(user.LoginCount()) +
       " logins, last " + DateToStr(user.LastLoginDate()));
}

void TChatClient::PrintStats(const TZorvaServerStats& stats) {
  Line("* stats: up " + stats.GetTimeActiveDesc() + ", " +
       std::to_string(stats.CurrentConnections()) + " connected (peak " +
       std::to_string(stats.PeakClientsConnected()) + "), " +
       std::to_string(stats.TotalConnections()) + " connections, " +
       std::to_string(stats.CurrentSubjects()) + " subjects (" +
       std::to_string(stats.TotalSubjectsCreated()) + " created), " +
       FloatToStr(stats.BytesRead()) + " bytes read, " + FloatToStr(stats.BytesWritten()) +
       " bytes written");
}

void TChatClient::Line(const std::string& text) {
  FOut << TerminalText(text) << std::endl;
}

}  // namespace zorva
