// ServerTlsE2eTest: a server program with its TLS port beside the plain one, for the TLS
// end-to-end tests both server programs pass: a certificate made for the test (and another
// one, trusted by nobody), TLS clients that check it, and logins over TLS.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "E2eSupport.h"
#include "TlsLineClient.h"

namespace zorva::test {

// A fresh self-signed certificate and key in `dir`, made the way an operator would.
inline bool MakeCertificate(const std::filesystem::path& dir) {
  const std::string command =
      std::string(ZORVA_DEV_CERT) + " '" + dir.string() + "' > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

class ServerTlsE2eTest : public ServerE2eTest {
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

class ServerTlsStartTest : public ServerTlsE2eTest {};

}  // namespace zorva::test
