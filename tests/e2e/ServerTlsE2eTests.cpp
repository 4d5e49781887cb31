// The TLS port over loopback, as both server programs serve it: TLS and plain clients
// together, clear-text logins refused on request, certificates checked by the client,
// handshakes that never finish or never start, the line limit, a TLS port alone, and bad
// certificate files at start. Each program instantiates these with its own command.
#include <gmock/gmock.h>

#include <fstream>

#include "ServerTlsE2eTest.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

TEST_P(ServerTlsE2eTest, TlsAndPlainClientsChatInOneSubject) {
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

TEST_P(ServerTlsE2eTest, RequireTlsLoginRefusesBothLoginsOnThePlainPortAndTracesNoPassword) {
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

TEST_P(ServerTlsE2eTest, CheckingClientRefusesAWrongCertificateWithAClearReason) {
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

TEST_P(ServerTlsE2eTest, HandshakeThatNeverFinishesIsClosedWithinSeconds) {
  StartTls();
  LineClient silent;
  ASSERT_TRUE(silent.Connect(FTlsPort));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.WaitClosed(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  EXPECT_TRUE(silent.Buffered().empty());
}

TEST_P(ServerTlsE2eTest, GarbageInsteadOfAClientHelloIsClosedUnansweredOthersStay) {
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
}

TEST_P(ServerTlsE2eTest, LineLimitHoldsOnTheTlsPort) {
  StartTls({"--max-line", "64"});
  TlsLineClient client;
  TlsLogin(client, "ivan");
  ASSERT_TRUE(client.WriteLine("SEND|CHAT|" + std::string(100, 'x')));
  EXPECT_EQ(client.ReadLine(), "ERROR|Line too long");
  EXPECT_TRUE(client.Ended());
}

TEST_P(ServerTlsE2eTest, NoPlainListensOnlyOnTheTlsPort) {
  StartTls({"--no-plain"});
  EXPECT_EQ(FPort, FTlsPort);  // the first line names the only listener
  ExpectTlsStillServes("judy");
}

TEST_P(ServerTlsStartTest, BadCertificateOrKeyStopsTheStartNamingTheFile) {
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

}  // namespace
}  // namespace zorva::test
