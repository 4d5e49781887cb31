// Uses the installed headers and library: the default (Qt) socket, a record, a message builder.
#include <zorva/ZorvaConnection.h>
#include <zorva/ZorvaProtocol.h>

#include <iostream>

int main() {
  zorva::TZorvaConnection conn;
  conn.SetHost("127.0.0.1");
  zorva::TZorvaUser user;
  user.SetId("ann");
  const bool ok = !conn.Active() && zorva::TZorvaConnection::IsValidIPAddress(conn.Host()) &&
                  zorva::Msg::Login(user.Id(), "code", "pw") == "LOGIN|ann|code|pw";
  std::cout << (ok ? "consumer ok" : "consumer failed") << std::endl;
  return ok ? 0 : 1;
}
