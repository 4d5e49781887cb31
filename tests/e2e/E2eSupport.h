// Support for end-to-end tests: a server program started as a child process in a scratch
// folder, and a fixture whose parameter is that program's command line, so that the daemon
// and the window program (started with "--start") run the same tests. The program must
// accept --bind, --port, --ini, --timeout, --ping-interval-ms and --lobby-name, and print
// "Listening on ADDRESS:PORT" as the first line of its stdout. DaemonE2eTest, at the end, is
// the fixture for what the daemon alone has (its log, further listeners, signals).
//
//   INSTANTIATE_TEST_SUITE_P(Daemon, ServerE2eTest,
//                            testing::Values(TServerCommand{"daemon", {ZORVA_SERVER_BINARY}}));
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LineClient.h"

extern char** environ;

namespace zorva::test {

struct TServerCommand {
  std::string Label;
  std::vector<std::string> Argv;  // the program and the options it always needs
};

inline void PrintTo(const TServerCommand& command, std::ostream* os) {
  *os << command.Label;
}

// Polls `done` for up to three seconds: the test reads what another process writes.
inline bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 300; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A folder of its own under the system's temporary folder, removed with the object.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorva-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) FPath = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return FPath / name; }

 private:
  std::filesystem::path FPath;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The warning and error lines of a text-format log: what an operator would have to look at.
inline std::vector<std::string> ProblemLines(const std::string& log) {
  std::vector<std::string> problems;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const auto level = line.substr(line.find(' ') + 1);
    if (level.starts_with("warn ") || level.starts_with("error ")) problems.push_back(line);
  }
  return problems;
}

// A server program run as a child, its stdout and stderr going to files in the scratch folder
// (files never fill up and block the child as a pipe would). Killed when the object ends.
class ServerProcess {
 public:
  using Ms = std::chrono::milliseconds;

  explicit ServerProcess(const ScratchFolder& folder)
      : FStdout(folder / "stdout.txt"), FStderr(folder / "stderr.txt") {}
  ~ServerProcess() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool Spawn(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, FStdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, FStderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int failed = ::posix_spawn(&FPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) FPid = -1;
    return failed == 0;
  }

  // Waits for the first line of stdout; for "Listening on ADDRESS:PORT" returns the port.
  std::optional<std::uint16_t> WaitListening(Ms timeout = Ms(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto out = Stdout();
      const auto lf = out.find('\n');
      if (lf != std::string::npos) {
        FirstLine = out.substr(0, lf);
        const auto colon = FirstLine.rfind(':');
        if (!FirstLine.starts_with("Listening on ") || colon == std::string::npos) return {};
        return static_cast<std::uint16_t>(std::stoi(FirstLine.substr(colon + 1)));
      }
      if (HasExited()) return {};
      std::this_thread::sleep_for(Ms(10));
    }
    return {};
  }

  // The rest of the stdout line that starts with `prefix` ("TLS on "), waited for while the
  // program starts its listeners; empty when none comes.
  std::string WaitAnnounced(const std::string& prefix, Ms timeout = Ms(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto out = Stdout();
      const auto at = out.find(prefix);
      const auto end = out.find('\n', at);
      if (at != std::string::npos && end != std::string::npos)
        return out.substr(at + prefix.size(), end - at - prefix.size());
      if (std::chrono::steady_clock::now() > deadline || HasExited()) return {};
      std::this_thread::sleep_for(Ms(10));
    }
  }

  // Nothing once the program has ended: kill(-1, ...) would signal every process we may.
  void Signal(int signal) const {
    if (FPid > 0) ::kill(FPid, signal);
  }

  // The exit code, 128 + signal when a signal ended it, or nullopt while it still runs.
  std::optional<int> WaitExit(Ms timeout = Ms(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!HasExited()) {
      if (std::chrono::steady_clock::now() > deadline) return {};
      std::this_thread::sleep_for(Ms(10));
    }
    return FExitCode;
  }

  std::string Stdout() const { return ReadFile(FStdout); }
  std::string Stderr() const { return ReadFile(FStderr); }

  std::string FirstLine;

 private:
  bool HasExited() {
    if (FPid <= 0) return true;
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) != FPid) return false;
    FPid = -1;
    FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  std::filesystem::path FStdout;
  std::filesystem::path FStderr;
  pid_t FPid = -1;
  std::optional<int> FExitCode;
};

// Starts the parameter's server on 127.0.0.1 and an ephemeral port, with its settings file
// in a scratch folder, so no test touches the real configuration.
class ServerE2eTest : public testing::TestWithParam<TServerCommand> {
 protected:
  // Starts the server with `options` added; fails the test unless it listens.
  void StartServer(const std::vector<std::string>& options = {}) {
    FServer.emplace(FFolder);
    ASSERT_TRUE(FServer->Spawn(CommandLine(options)));
    const auto port = FServer->WaitListening();
    ASSERT_TRUE(port.has_value()) << "first line: " << FServer->FirstLine
                                  << "\nstderr: " << FServer->Stderr();
    FPort = *port;
  }

  std::vector<std::string> CommandLine(const std::vector<std::string>& options) const {
    auto argv = GetParam().Argv;
    for (const auto& option : {"--bind", "127.0.0.1", "--port", "0", "--ini"}) {
      argv.emplace_back(option);
    }
    argv.push_back(IniPath().string());
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
  }

  std::filesystem::path IniPath() const { return FFolder / "Win.ini"; }

  // The port of a further listener the program announces ("TLS on 127.0.0.1:PORT"); 0 when it
  // announces none.
  std::uint16_t AnnouncedPort(const std::string& prefix) {
    const auto address = FServer->WaitAnnounced(prefix);
    const auto colon = address.rfind(':');
    if (colon == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::stoi(address.substr(colon + 1)));
  }

  // Connects and logs in; the three lines of a successful login are read and checked.
  void Login(LineClient& client, const std::string& id, const std::string& code = "GAME") {
    ASSERT_TRUE(client.Connect(FPort));
    ASSERT_TRUE(client.WriteLine("LOGIN|" + id + "|" + code + "|pw"));
    const auto success = client.ReadLine();
    ASSERT_TRUE(success && success->starts_with("LOGIN|SUCCESS|" + id + "^")) << *success;
    ASSERT_TRUE(client.ReadLine().has_value());  // SUBJECTS|
    ASSERT_TRUE(client.ReadLine().has_value());  // JOINSUBJECT|
  }

  ScratchFolder FFolder;
  std::optional<ServerProcess> FServer;
  std::uint16_t FPort = 0;
};

#ifdef ZORVA_SERVER_BINARY
// The daemon alone, for what the window program does not have: its log, its TLS and admin
// listeners, its signals.
//
//   class DaemonTlsTest : public DaemonE2eTest { ... };
//   INSTANTIATE_TEST_SUITE_P(Daemon, DaemonTlsTest, testing::Values(kDaemon));
inline const TServerCommand kDaemon{"daemon", {ZORVA_SERVER_BINARY}};

class DaemonE2eTest : public ServerE2eTest {
 protected:
  // SIGTERM, as a service manager stops it; fails the test unless the daemon exits cleanly.
  void StopDaemon() {
    FServer->Signal(SIGTERM);
    ASSERT_EQ(FServer->WaitExit(), 0);
  }
};
#endif

}  // namespace zorva::test
