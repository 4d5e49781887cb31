// The daemon's TLS port over loopback: TLS and plain clients together, clear-text logins
// refused on request, certificates checked by the client, handshakes that never finish or never
// start, bad certificate files at start, and a certificate renewed while clients stay.
#include <gmock/gmock.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "E2eSupport.h"
#include "TlsLineClient.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

// A fresh self-signed certificate and key in `dir`, made the way an operator would.
bool MakeCertificate(const std::filesystem::path& dir) {
  const std::string command =
      std::string(ZORVA_DEV_CERT) + " '" + dir.string() + "' > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

class DaemonTlsTest : public DaemonE2eTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeCertificate(FFolder / "cert"));
    ASSERT_TRUE(MakeCertificate(FFolder / "other"));
  }

  std::string Cert() const { return (FFolder / "cert" / "cert.pem").string(); }
  std::string Key() const { return (FFolder / "cert" / "key.pem").string(); }
  std::string OtherCert() const { return (FFolder / "other" / "cert.pem").string(); }

  std::vector<std::string> TlsOptions(std::vector<std::string> more = {}) const {
    std::vector<std::string> options{"--tls-port", "0", "--tls-cert", Cert(), "--tls-key", Key()};
    options.insert(options.end(), more.begin(), more.end());
    return options;
  }

  void StartTls(std::vector<std::string> more = {}) {
    StartServer(TlsOptions(std::move(more)));
    FTlsPort = AnnouncedPort("TLS on ");
    ASSERT_NE(FTlsPort, 0) << FServer->Stdout();
  }

  TTlsClientOptions Checked() const { return {.CaFile = Cert()}; }

  void TlsLogin(TlsLineClient& client, const std::string& id, const std::string& code = "GAME") {
    ASSERT_TRUE(client.Connect(FTlsPort, Checked())) << client.Error();
    ASSERT_TRUE(client.WriteLine("LOGIN|" + id + "|" + code + "|pw"));
    const auto success = client.ReadLine();
    ASSERT_TRUE(success && success->starts_with("LOGIN|SUCCESS|" + id + "^"));
    ASSERT_TRUE(client.ReadLine().has_value());  // SUBJECTS|
    ASSERT_TRUE(client.ReadLine().has_value());  // JOINSUBJECT|
  }

  // A TLS client that logs in afterwards still gets in: the server survived what came before.
  void ExpectTlsStillServes(const std::string& id) {
    TlsLineClient probe;
    TlsLogin(probe, id);
  }

  std::uint16_t FTlsPort = 0;
};

// The first relayed line a client gets; joins and leaves on the way are skipped.
template <class Client>
std::optional<std::string> NextRelay(Client& client) {
  for (auto line = client.ReadLine(); line; line = client.ReadLine()) {
    if (line->starts_with("SEND|")) return line;
  }
  return std::nullopt;
}

TEST_P(DaemonTlsTest, TlsAndPlainClientsChatInOneSubject) {
  StartTls();
  TlsLineClient secure;
  LineClient plain;
  TlsLogin(secure, "alice");
  Login(plain, "bob");
  ASSERT_TRUE(secure.WriteLine("SEND|CHAT|over tls"));
  EXPECT_EQ(NextRelay(plain), "SEND|alice|CHAT|over tls");
  ASSERT_TRUE(plain.WriteLine("SEND|CHAT|in the clear"));
  EXPECT_EQ(NextRelay(secure), "SEND|bob|CHAT|in the clear");
}

TEST_P(DaemonTlsTest, RequireTlsLoginRefusesBothLoginsOnThePlainPortAndTracesNoPassword) {
  StartTls({"--require-tls-login", "--trace"});
  for (const std::string line : {"LOGIN|carol|GAME|secret1", "LOGINNEW|dave|GAME|secret2^^"}) {
    SCOPED_TRACE(line);
    LineClient plain;
    ASSERT_TRUE(plain.Connect(FPort));
    ASSERT_TRUE(plain.WriteLine(line));
    EXPECT_EQ(plain.ReadLine(), "LOGIN|ERROR|Please log in over TLS");
    ASSERT_TRUE(plain.WriteLine("SERVERSTATS|"));  // still connected, still served
    EXPECT_TRUE(plain.ReadLine().has_value());
  }
  TlsLineClient secure;
  TlsLogin(secure, "erin");
  const auto out = FServer->Stdout() + FServer->Stderr();
  EXPECT_THAT(out, Not(HasSubstr("secret")));
  EXPECT_THAT(out, Not(HasSubstr("carol")));
}

TEST_P(DaemonTlsTest, CheckingClientRefusesAWrongCertificateWithAClearReason) {
  StartTls();
  struct Case {
    const char* Label;
    TTlsClientOptions Options;
    const char* Reason;
  };
  const Case cases[] = {
      {"another self-signed certificate", {.CaFile = OtherCert()}, "self-signed certificate"},
      {"a name the certificate does not hold",
       {.CaFile = Cert(), .HostName = "zorva.example"},
       "hostname mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    TlsLineClient client;
    EXPECT_FALSE(client.Connect(FTlsPort, c.Options));
    EXPECT_THAT(client.Error(), HasSubstr(c.Reason));
  }
  ExpectTlsStillServes("frank");
}

TEST_P(DaemonTlsTest, HandshakeThatNeverFinishesIsClosedWithinSeconds) {
  StartTls();
  LineClient silent;
  ASSERT_TRUE(silent.Connect(FTlsPort));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.WaitClosed(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  EXPECT_TRUE(silent.Buffered().empty());
  EXPECT_TRUE(WaitFor([&] {
    return (FServer->Stdout() + FServer->Stderr()).find("TLS handshake not finished") !=
           std::string::npos;
  }));
}

TEST_P(DaemonTlsTest, GarbageInsteadOfAClientHelloIsClosedUnansweredOthersStay) {
  StartTls();
  TlsLineClient bystander;
  TlsLogin(bystander, "grace");
  const std::string garbage[] = {
      "LOGIN|mallory|GAME|pw\n",            // the plain protocol on the TLS port
      "GET / HTTP/1.1\r\nHost: x\r\n\r\n",  // another protocol
      std::string("\x16\x03\x01\xff\xff", 5) + std::string(64, '\0'),  // a record past 16K
      std::string("\x16\x03\x03\x00\x05\x01\x00\x00\x01\x00", 10),     // a hello with no body
  };
  for (const auto& bytes : garbage) {
    LineClient client;
    ASSERT_TRUE(client.Connect(FTlsPort));
    ASSERT_TRUE(client.Write(bytes));
    EXPECT_TRUE(client.WaitClosed(3s));
    EXPECT_THAT(client.Buffered(), Not(HasSubstr("|")));  // no protocol line
  }
  ASSERT_TRUE(bystander.WriteLine("SERVERSTATS|"));
  EXPECT_TRUE(bystander.ReadLine().has_value());
  ExpectTlsStillServes("heidi");
  EXPECT_THAT(FServer->Stdout() + FServer->Stderr(), HasSubstr("TLS handshake failed"));
}

TEST_P(DaemonTlsTest, LineLimitHoldsOnTheTlsPort) {
  StartTls({"--max-line", "64"});
  TlsLineClient client;
  TlsLogin(client, "ivan");
  ASSERT_TRUE(client.WriteLine("SEND|CHAT|" + std::string(100, 'x')));
  EXPECT_EQ(client.ReadLine(), "ERROR|Line too long");
  EXPECT_TRUE(client.Ended());
}

TEST_P(DaemonTlsTest, NoPlainListensOnlyOnTheTlsPort) {
  StartTls({"--no-plain"});
  EXPECT_EQ(FPort, FTlsPort);  // the first line names the only listener
  ExpectTlsStillServes("judy");
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

class DaemonTlsStartTest : public DaemonTlsTest {};

TEST_P(DaemonTlsStartTest, BadCertificateOrKeyStopsTheStartNamingTheFile) {
  const auto junk = FFolder / "junk.pem";
  std::ofstream(junk) << "not a certificate\n";
  struct Case {
    std::string Cert;
    std::string Key;
    std::string Named;
    std::string Reason;
  };
  const Case cases[] = {
      {(FFolder / "missing.pem").string(), Key(), "missing.pem", "No such file"},
      {junk.string(), Key(), "junk.pem", ""},
      {Cert(), junk.string(), "junk.pem", ""},
      {Cert(), (FFolder / "other" / "key.pem").string(), "key.pem", "key values mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Cert + " " + c.Key);
    ServerProcess server(FFolder);
    ASSERT_TRUE(
        server.Spawn(CommandLine({"--tls-port", "0", "--tls-cert", c.Cert, "--tls-key", c.Key})));
    EXPECT_EQ(server.WaitExit(), 1);
    EXPECT_THAT(server.Stderr(), HasSubstr(c.Named));
    EXPECT_THAT(server.Stderr(), HasSubstr(c.Reason));
  }
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonTlsTest, testing::Values(kDaemon));
INSTANTIATE_TEST_SUITE_P(Daemon, DaemonTlsStartTest, testing::Values(kDaemon));

}  // namespace
}  // namespace zorva::test
