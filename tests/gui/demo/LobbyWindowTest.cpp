// The lobby demo's window: what its server boxes hand to the connection when it logs in.
#include "LobbyWindow.h"

#include <gtest/gtest.h>

#include <QCheckBox>

namespace zorva {
namespace {

QCheckBox* Box(const TLobbyWindow& window, const char* name) {
  return window.findChild<QCheckBox*>(QString::fromLatin1(name));
}

TEST(LobbyWindowTest, TheTlsBoxesReachTheConnection) {
  struct Case {
    bool Tls;
    bool AnyCertificate;
    bool VerifyPeer;
  };
  const Case cases[] = {{false, false, true}, {true, false, true}, {true, true, false}};
  // Nothing listens on port 1: the attempt fails at once, the settings stay.
  TLobbyOptions options;
  options.Port = 1;
  options.User = "ann";
  options.TlsCaFile = "ca.pem";
  TLobbyWindow window(options);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "TLS " << c.Tls << ", any certificate " << c.AnyCertificate);
    Box(window, "chkTls")->setChecked(c.Tls);
    Box(window, "chkAnyCertificate")->setChecked(c.AnyCertificate);
    window.LogIn();
    EXPECT_EQ(window.Connection().UseTls(), c.Tls);
    EXPECT_EQ(window.Connection().TlsVerifyPeer(), c.VerifyPeer);
    EXPECT_EQ(window.Connection().TlsCaFile(), "ca.pem");
  }
}

TEST(LobbyWindowTest, AnyCertificateIsOfferedOnlyWithTls) {
  TLobbyOptions options;
  TLobbyWindow window(options);
  QCheckBox* any = Box(window, "chkAnyCertificate");
  EXPECT_FALSE(any->isEnabled());
  Box(window, "chkTls")->setChecked(true);
  EXPECT_TRUE(any->isEnabled());
  options.Tls = true;
  EXPECT_TRUE(Box(TLobbyWindow(options), "chkTls")->isChecked());
}

}  // namespace
}  // namespace zorva
