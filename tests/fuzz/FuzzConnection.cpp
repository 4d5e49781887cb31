// Random server bytes into a TZorvaConnection, in random chunks, while handlers clear the user
// list, close the connection and reconnect from inside events. Ownership faults show up under
// the sanitizers; every listed user must stay findable by its id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "FakeClientSocket.h"
#include "ZorvaConnection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zorva::TZorvaConnection;
  using zorva::TZorvaUser;
  auto socket = std::make_unique<zorva::FakeClientSocket>();
  auto* fake = socket.get();
  TZorvaConnection conn(std::move(socket));
  auto reconnect = [&] {
    conn.SetActive(true);
    fake->Connected();
  };
  conn.SetOnAddUser([](TZorvaConnection& c, TZorvaUser& u) {
    if (u.Id() == "x") c.ClearUsers();
  });
  conn.SetOnRemoveUser([](TZorvaConnection& c, TZorvaUser& u) {
    if (u.Id() == "y") c.SetActive(false);
  });
  conn.SetOnChatReceived([&](TZorvaConnection& c, std::string_view text, std::string_view) {
    if (text == "again") {
      c.SetActive(false);
      reconnect();
    }
  });
  reconnect();
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (!rest.empty()) {
    const std::size_t len =
        std::min<std::size_t>(rest.size(), 1 + static_cast<unsigned char>(rest.front()) % 64);
    fake->Receive(rest.substr(0, len));
    rest.remove_prefix(len);
    for (int i = 0; i < conn.GetUserCount(); ++i) {
      if (!conn.FindUser(conn.GetUser(i).Id())) std::abort();
    }
    if (!conn.Active()) reconnect();
  }
  return 0;
}
