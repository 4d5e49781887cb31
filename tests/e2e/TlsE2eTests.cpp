// The daemon's TLS port beyond what both server programs share: failed handshakes in its log,
// a certificate renewed on SIGHUP while clients stay, and zorva-chat against it.
#include <gmock/gmock.h>

#include <sys/wait.h>

#include <thread>

#include "ServerTlsE2eTest.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

class DaemonTlsTest : public ServerTlsE2eTest {};

TEST_P(DaemonTlsTest, FailedAndStalledHandshakesAreLogged) {
  StartTls();
  LineClient garbage;
  ASSERT_TRUE(garbage.Connect(FTlsPort));
  ASSERT_TRUE(garbage.Write("LOGIN|mallory|GAME|pw\n"));
  LineClient silent;
  ASSERT_TRUE(silent.Connect(FTlsPort));
  EXPECT_TRUE(garbage.WaitClosed(3s));
  EXPECT_TRUE(silent.WaitClosed(10s));
  // The log line may follow the close by a moment.
  const auto logged = [this](const char* text) {
    for (int attempt = 0; attempt < 60; ++attempt) {
      if ((FServer->Stdout() + FServer->Stderr()).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  EXPECT_TRUE(logged("TLS handshake failed"));
  EXPECT_TRUE(logged("TLS handshake not finished"));
}

TEST_P(DaemonTlsTest, RenewedCertificateIsTakenOnHangupWhileOpenConnectionsStay) {
  StartTls();
  TlsLineClient before;
  TlsLogin(before, "karl");
  ASSERT_TRUE(MakeCertificate(FFolder / "cert"));  // the renewal, over the same files
  FServer->Signal(SIGHUP);
  TlsLineClient after;
  bool renewed = false;
  for (int attempt = 0; attempt < 50 && !renewed; ++attempt) {
    renewed = after.Connect(FTlsPort, Checked());
    if (!renewed) std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(renewed) << after.Error();
  ASSERT_TRUE(after.WriteLine("LOGIN|liam|GAME|pw"));
  EXPECT_TRUE(after.ReadLine().value_or("").starts_with("LOGIN|SUCCESS|liam^"));
  ASSERT_TRUE(before.WriteLine("SEND|CHAT|still here"));
  EXPECT_EQ(NextRelay(after), "SEND|karl|CHAT|still here");
}

// zorva-chat, as a person would run it against the TLS port: the session's output, and how
// it ended.
struct TChatRun {
  int ExitCode = -1;
  std::string Output;
};

TChatRun RunChat(const ScratchFolder& folder, std::uint16_t port, const std::string& options) {
  const auto out = folder / "chat.txt";
  const std::string command = "(sleep 1; echo /quit) | ZORVA_PASSWORD=pw timeout 15 " +
                              std::string(ZORVA_CHAT_BINARY) + " --host 127.0.0.1 --port " +
                              std::to_string(port) + " --user chatter " + options + " > '" +
                              out.string() + "' 2>&1";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out)};
}

TEST_P(DaemonTlsTest, ChatClientLogsInOnlyWhenItTrustsTheCertificateOrIsToldNotToCheck) {
  StartTls();
  struct Case {
    std::string Options;
    int ExitCode;
    std::string Says;
  };
  const Case cases[] = {
      {"--tls --ca '" + Cert() + "'", 0, "* logged in as chatter"},
      {"--tls --insecure", 0, "* logged in as chatter"},
      {"--tls", 1, "self-signed"},
      {"--tls --ca '" + OtherCert() + "'", 1, "self-signed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options);
    const auto run = RunChat(FFolder, FTlsPort, c.Options);
    EXPECT_EQ(run.ExitCode, c.ExitCode) << run.Output;
    EXPECT_THAT(run.Output, HasSubstr(c.Says));
  }
}

INSTANTIATE_TEST_SUITE_P(Daemon, ServerTlsE2eTest, testing::Values(kDaemon));
INSTANTIATE_TEST_SUITE_P(Daemon, ServerTlsStartTest, testing::Values(kDaemon));
INSTANTIATE_TEST_SUITE_P(Daemon, DaemonTlsTest, testing::Values(kDaemon));

}  // namespace
}  // namespace zorva::test
