#include "StallRuns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "LatencyRecorder.h"
#include "ZorvaProtocol.h"
#include "ZorvaUser.h"

namespace zorva {

namespace {

using TClock = std::chrono::steady_clock;

std::int64_t MillisSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

double MicrosSince(TClock::time_point start) {
  return std::chrono::duration<double, std::micro>(TClock::now() - start).count();
}

// One client socket, non-blocking once connected; every wait is bounded by the caller.
class TLineSocket {
 public:
  ~TLineSocket() {
    if (FFd >= 0) ::close(FFd);
  }
  bool Open(const TBenchOptions& options, const char* from, std::string& error) {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(options.Port);
    if (::inet_pton(AF_INET, options.Host.c_str(), &server.sin_addr) != 1) {
      error = "the host must be an IPv4 address";
      return false;
    }
    // The port is chosen at connect, knowing the server: thousands of clients from one address
    // beside earlier runs' closing sockets otherwise meet a port whose pair is still taken.
    const int one = 1;
    if (FFd >= 0) ::setsockopt(FFd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(FFd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
      error = std::string("connect from ") + from + ": " + std::strerror(errno);
      return false;
    }
    ::fcntl(FFd, F_SETFL, ::fcntl(FFd, F_GETFL) | O_NONBLOCK);
    return true;
  }
  int Fd() const { return FFd; }
  bool WriteLine(std::string line) {
    line += '\n';
    std::size_t done = 0;
    for (int waits = 0; done < line.size() && waits < 1000; ++waits) {
      const auto count = ::send(FFd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (count > 0) done += static_cast<std::size_t>(count);
      if (count < 0 && errno != EAGAIN) return false;
      if (done < line.size()) WaitFor(POLLOUT, 10);
    }
    return done == line.size();
  }
  // Reads what is there; false once the server has closed.
  bool ReadAvailable() {
    char buffer[65536];
    for (;;) {
      const auto count = ::recv(FFd, buffer, sizeof buffer, 0);
      if (count > 0) {
        FBuffer.append(buffer, static_cast<std::size_t>(count));
        continue;
      }
      return count < 0 && errno == EAGAIN;
    }
  }
  std::optional<std::string> NextLine() {
    const auto end = FBuffer.find('\n', FTaken);
    if (end == std::string::npos) {
      FBuffer.erase(0, FTaken);
      FTaken = 0;
      return std::nullopt;
    }
    std::string line = FBuffer.substr(FTaken, end - FTaken);
    FTaken = end + 1;
    return line;
  }
  // The next line whose command word is `word`, within `timeoutMs`; pings are answered.
  std::optional<std::string> Await(std::string_view word, int timeoutMs) {
    const auto start = TClock::now();
    while (MillisSince(start) < timeoutMs) {
      while (auto line = NextLine()) {
        if (SplitCommand(*line).Word == Cmd::Ping) WriteLine(Msg::PingReply());
        if (SplitCommand(*line).Word == word) return line;
      }
      WaitFor(POLLIN, 10);
      if (!ReadAvailable()) return std::nullopt;
    }
    return std::nullopt;
  }

 private:
  void WaitFor(short events, int timeoutMs) {
    pollfd entry{FFd, events, 0};
    ::poll(&entry, 1, timeoutMs);
  }

  int FFd = -1;
  std::string FBuffer;
  std::size_t FTaken = 0;
};

using TSockets = std::vector<std::unique_ptr<TLineSocket>>;

bool OpenAll(const TBenchOptions& options, int count, const char* from, TSockets& sockets,
             std::string& error) {
  for (int i = 0; i < count; ++i) {
    sockets.push_back(std::make_unique<TLineSocket>());
    if (!sockets.back()->Open(options, from, error)) return false;
  }
  return true;
}

// Every socket's lines as they come, until `done` says so or the time is up.
template <class OnLine, class Done>
bool Pump(TSockets& sockets, int timeoutMs, OnLine onLine, Done done) {
  std::vector<pollfd> entries;
  for (const auto& socket : sockets) entries.push_back({socket->Fd(), POLLIN, 0});
  const auto start = TClock::now();
  while (!done()) {
    if (MillisSince(start) > timeoutMs) return false;
    ::poll(entries.data(), entries.size(), 10);
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (!(entries[i].revents & POLLIN)) continue;
      sockets[i]->ReadAvailable();
      while (auto line = sockets[i]->NextLine()) onLine(i, *line);
    }
  }
  return true;
}

std::string Register(TLineSocket& socket, const std::string& id, const std::string& code) {
  TZorvaUser user;
  user.SetId(id);
  user.SetPassword("right-" + id);
  socket.WriteLine(Msg::LoginNew(id, code, user.toString()));
  const auto answer = socket.Await(Cmd::Login, 30000);
  return answer.value_or("no answer");
}

// Time from LOGIN to its answer, in microseconds; negative when it was not a success.
double TimedLogin(const TBenchOptions& options, const std::string& id, std::string& error) {
  TLineSocket socket;
  if (!socket.Open(options, "127.0.0.2", error)) return -1;
  const auto start = TClock::now();
  socket.WriteLine(Msg::Login(id, "GUESS", "right-" + id));
  const auto answer = socket.Await(Cmd::Login, 60000);
  const double micros = MicrosSince(start);
  if (!answer || !answer->starts_with("LOGIN|SUCCESS|")) {
    error = "the real user's login got: " + answer.value_or("no answer");
    return -1;
  }
  return micros;
}

}  // namespace

bool RunLobby(const TBenchOptions& options, std::string& result, std::string& error) {
  TSockets members;
  const int count = options.Connections;
  const auto start = TClock::now();
  if (!OpenAll(options, count, "127.0.0.1", members, error)) return false;
  for (int i = 0; i < count; ++i) {
    members[i]->WriteLine(Msg::Login("m" + std::to_string(i), "LOBBY", "x"));
  }
  std::size_t longest = 0;
  std::size_t pingBytes = 0;
  int joined = 0;
  const auto onLine = [&](std::size_t i, const std::string& line) {
    longest = std::max(longest, line.size());
    const auto word = SplitCommand(line).Word;
    if (word == Cmd::JoinSubject) ++joined;
    if (word != Cmd::Ping) return;
    members[i]->WriteLine(Msg::PingReply());
    // Only a ping sent once everyone is in carries the whole lobby.
    if (joined == count && i == 0) pingBytes = line.size() + 1;
  };
  const bool done = Pump(members, options.SetupTimeoutMs + options.MeasureMs, onLine,
                         [&] { return joined == count && pingBytes > 0; });
  if (!done) {
    error = "lobby: " + std::to_string(joined) + " of " + std::to_string(count) +
            " joined, ping bytes " + std::to_string(pingBytes);
    return false;
  }
  std::ostringstream out;
  out << "mode=lobby members=" << count << " setup_s=" << MillisSince(start) / 1000.0
      << " longest_line_bytes=" << longest << " ping_bytes_per_member=" << pingBytes;
  result = out.str();
  return true;
}

// Registers `id` from 127.0.0.2 and leaves again, so that the id is free to log in.
bool RegisterAndLeave(const TBenchOptions& options, const std::string& id, std::string& error) {
  TLineSocket socket;
  if (!socket.Open(options, "127.0.0.2", error)) return false;
  const std::string answer = Register(socket, id, "GUESS");
  if (answer.starts_with("LOGIN|SUCCESS|")) return true;
  error = "registering " + id + " got: " + answer;
  return false;
}

bool RunGuessing(const TBenchOptions& options, std::string& result, std::string& error) {
  // The guesses aim at another user: the throttle locks a guessed id, which is its purpose.
  const auto stamp = std::to_string(TClock::now().time_since_epoch().count());
  const std::string real = "real" + stamp;
  const std::string target = "target" + stamp;
  if (!RegisterAndLeave(options, real, error) || !RegisterAndLeave(options, target, error)) {
    return false;
  }
  ::usleep(200'000);  // the server sees the leave and frees the id
  const double alone = TimedLogin(options, real, error);
  if (alone < 0) return false;

  TSockets guessers;
  if (!OpenAll(options, options.Members, "127.0.0.1", guessers, error)) return false;
  // All at once: each connection's guesses wait in the server behind its pending check.
  for (int i = 0; i < options.Attempts; ++i) {
    guessers[static_cast<std::size_t>(i) % guessers.size()]->WriteLine(
        Msg::Login(target, "GUESS", "wrong" + std::to_string(i)));
  }
  ::usleep(200'000);  // the guesses are under way, and the first login has left
  const double contended = TimedLogin(options, real, error);
  if (contended < 0) return false;
  int answered = 0;
  const auto onLine = [&](std::size_t, const std::string& line) {
    if (SplitCommand(line).Word == Cmd::Login) ++answered;
  };
  const bool done =
      Pump(guessers, options.SetupTimeoutMs, onLine, [&] { return answered == options.Attempts; });
  std::ostringstream out;
  out.precision(1);
  out << std::fixed << "mode=guessing attempts=" << options.Attempts << " answered=" << answered
      << " all_answered=" << (done ? 1 : 0) << " alone_us=" << alone
      << " during_guesses_us=" << contended << " ratio=" << contended / alone;
  result = out.str();
  return true;
}

namespace {

// One job for the user store, sent while the store may be locked, and its answer: an error
// line, or "ok" once the statistics request sent behind it is answered first.
class TStoreProbe {
 public:
  TStoreProbe(std::string name, std::string request)
      : FName(std::move(name)), FRequest(std::move(request)) {}

  TLineSocket& Socket() { return FSocket; }
  void Send() {
    FSent = TClock::now();
    FSocket.WriteLine(FRequest + "\n" + Msg::ServerStatsRequest());
  }
  bool Answered() const { return !FAnswer.empty(); }
  // Takes what has come, without waiting.
  void Look() {
    if (Answered() || !FSocket.ReadAvailable()) return;
    while (auto line = FSocket.NextLine()) {
      const auto word = SplitCommand(*line).Word;
      if (word == Cmd::Error || word == Cmd::Login) FAnswer = *line;
      if (word == Cmd::ServerStats) FAnswer = "ok";
      if (!Answered()) continue;
      FMillis = MillisSince(FSent);
      return;
    }
  }
  // "feedback=ERROR|The_user_store_is_unavailable feedback_ms=5003"
  std::string Result() const {
    std::string answer = Answered() ? FAnswer : "none";
    std::replace(answer.begin(), answer.end(), ' ', '_');
    return " " + FName + "=" + answer + " " + FName + "_ms=" + std::to_string(FMillis);
  }

 private:
  TLineSocket FSocket;
  std::string FName;
  std::string FRequest;
  TClock::time_point FSent;
  std::string FAnswer;
  std::int64_t FMillis = -1;
};

using TStoreProbes = std::vector<std::unique_ptr<TStoreProbe>>;

// The store's lock is taken 2 s after the daemon starts (scripts/bench).
constexpr std::int64_t kProbeAfterMs = 3000;

// Registers `id` from 127.0.0.2 in a lobby of its own and stays.
bool JoinStoreLobby(const TBenchOptions& options, TLineSocket& socket, const std::string& id,
                    std::string& error) {
  if (!socket.Open(options, "127.0.0.2", error)) return false;
  const auto answer = Register(socket, id, "STORE");
  if (answer.starts_with("LOGIN|SUCCESS|") && socket.Await(Cmd::JoinSubject, 30000)) return true;
  error = "store prober " + id + ": " + answer;
  return false;
}

// A feedback, an update with a new password and a login: each needs the store, so each waits
// out the store's lock on a worker while the chat goes on.
bool PrepareStoreProbes(const TBenchOptions& options, const std::string& stamp,
                        TStoreProbes& probes, std::string& error) {
  const std::string writer = "c" + stamp + "f";
  const std::string updater = "c" + stamp + "u";
  const std::string comer = "c" + stamp + "l";
  TZorvaUser changed;
  changed.SetId(updater);
  changed.SetPassword("new-" + updater);
  probes.push_back(std::make_unique<TStoreProbe>("feedback", Msg::Feedback("while locked")));
  probes.push_back(
      std::make_unique<TStoreProbe>("update", Msg::UserUpdate(updater, changed.toString())));
  probes.push_back(
      std::make_unique<TStoreProbe>("login", Msg::Login(comer, "GUESS", "right-" + comer)));
  return JoinStoreLobby(options, probes[0]->Socket(), writer, error) &&
         JoinStoreLobby(options, probes[1]->Socket(), updater, error) &&
         RegisterAndLeave(options, comer, error) &&
         probes[2]->Socket().Open(options, "127.0.0.2", error);
}

}  // namespace

bool RunChatPair(const TBenchOptions& options, std::string& result, std::string& error) {
  TLineSocket sender;
  TLineSocket receiver;
  if (!sender.Open(options, "127.0.0.1", error) || !receiver.Open(options, "127.0.0.1", error)) {
    return false;
  }
  const auto stamp = std::to_string(TClock::now().time_since_epoch().count());
  for (auto* member : {&sender, &receiver}) {
    const auto answer = Register(*member, "c" + stamp + (member == &sender ? "s" : "r"), "CHAT");
    if (!answer.starts_with("LOGIN|SUCCESS|") || !member->Await(Cmd::JoinSubject, 30000)) {
      error = "chat member: " + answer;
      return false;
    }
  }
  TStoreProbes probes;
  if (!PrepareStoreProbes(options, stamp, probes, error)) return false;
  // The store may be locked from now on; the probes go once it surely is.
  TLatencyRecorder latencies(1 << 20);
  int lost = 0;
  bool probed = false;
  const auto start = TClock::now();
  while (MillisSince(start) < options.MeasureMs) {
    if (!probed && MillisSince(start) >= kProbeAfterMs) {
      for (auto& probe : probes) probe->Send();
      probed = true;
    }
    if (probed) {
      for (auto& probe : probes) probe->Look();
    }
    const auto sent = TClock::now();
    sender.WriteLine(Msg::SendChat("t"));
    if (!receiver.Await(Cmd::Send, 1000)) {
      ++lost;
      continue;
    }
    latencies.Add(
        std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - sent).count());
    ::usleep(1000);
  }
  std::ostringstream out;
  out.precision(1);
  out << std::fixed << "mode=chat samples=" << latencies.Count() << " lost=" << lost
      << " p50_us=" << latencies.PercentileMicros(0.5)
      << " p99_us=" << latencies.PercentileMicros(0.99)
      << " max_us=" << latencies.PercentileMicros(1.0);
  for (const auto& probe : probes) out << probe->Result();
  result = out.str();
  return true;
}

}  // namespace zorva
