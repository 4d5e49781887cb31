// The lobby demo's window: what its server boxes hand to the connection when it logs in, and how
// it shows and sends back the bytes the server sent.
#include "LobbyWindow.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QListWidget>

#include "FakeClientSocket.h"

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

// Text on the wire is bytes: a Latin-1 name and its UTF-8 spelling both read "Café", and
// joining sends back exactly the bytes of the one chosen, not its shown text.
TEST(LobbyWindowTest, SubjectNamesShowAsTextAndGoBackAsTheBytesReceived) {
  auto socket = std::make_unique<FakeClientSocket>();
  FakeClientSocket* fake = socket.get();
  const auto record = socket->Record();
  TLobbyOptions options;
  options.User = "ann";
  TLobbyWindow window(options, std::move(socket));
  window.LogIn();
  fake->Connected();
  TZorvaUser ann;
  ann.SetId("ann");
  fake->Receive("LOGIN|SUCCESS|" + ann.toWireString() + "\nSUBJECTS|Caf\xe9|Caf\xc3\xa9|\n");
  auto* subjects = window.findChild<QListWidget*>(QStringLiteral("lstSubjects"));
  ASSERT_EQ(subjects->count(), 2);

  for (int row : {0, 1}) {
    QListWidgetItem* item = subjects->item(row);
    EXPECT_EQ(item->text(), QStringLiteral("Caf\u00e9"));
    record->Written.clear();
    subjects->setCurrentItem(item);
    emit subjects->itemDoubleClicked(item);
    EXPECT_EQ(record->Written, row == 0 ? "JOINSUBJECT|Caf\xe9\n" : "JOINSUBJECT|Caf\xc3\xa9\n");
  }
}

}  // namespace
}  // namespace zorva
