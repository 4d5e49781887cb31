// Uses the installed headers and library: the default (Qt) socket, a record, a message builder,
// the two dialogs and the palette registration (no display needed until a dialog is executed).
#include <zorva/ComponentPalette.h>
#include <zorva/ZorvaComp.h>
#include <zorva/ZorvaConnection.h>
#include <zorva/ZorvaProtocol.h>
#include <zorva/ZorvaServerStatsDialog.h>
#include <zorva/ZorvaUserInfoDialog.h>

#include <iostream>

int main() {
  zorva::TZorvaConnection conn;
  conn.SetHost("127.0.0.1");
  zorva::TZorvaUser user;
  user.SetId("ann");
  zorva::TZorvaServerStatsDialog statsDialog;
  statsDialog.SetZorvaConnection(&conn);
  zorva::TZorvaUserInfoDialog userDialog;
  zorva::RegisterZorvaComp();
  const bool ok = !conn.Active() && zorva::TZorvaConnection::IsValidIPAddress(conn.Host()) &&
                  zorva::Msg::Login(user.Id(), "code", "pw") == "LOGIN|ann|code|pw" &&
                  statsDialog.ZorvaConnection() == &conn && userDialog.Title() == "User Info" &&
                  zorva::ComponentPalette().Components("Zorva").size() == 3;
  std::cout << (ok ? "consumer ok" : "consumer failed") << std::endl;
  return ok ? 0 : 1;
}
