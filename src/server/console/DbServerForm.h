// TfrmDbServer: the operator window whose users and feedback persist. It is TfrmServer in front of
// a server core that asks a TZorvaUserStore; it owns both, so that a user database that cannot
// be opened ends the creation of the window. ZorvaServer creates it for --users PATH.
//
//   TfrmDbServer window("/var/lib/zorva/users.db", transport, clock, iniPath);
//   transport.SetEvents(&window.Core());
#pragma once

#include <string>

#include "ServerCore.h"
#include "ServerForm.h"
#include "ZorvaUserStore.h"

namespace zorva {

// What the store window builds before its window base: the store first, then the core that
// asks it.
class TDbServerParts {
 protected:
  TDbServerParts(const std::string& usersPath, ITransport& transport, const IClock& clock);

  TZorvaUserStore FUserStore;
  ServerCore FServerCore;
};

class TfrmDbServer : private TDbServerParts, public TfrmServer {
 public:
  // Throws EDatabaseError, and no window exists, when the database cannot be opened or created.
  TfrmDbServer(const std::string& usersPath, ITransport& transport, const IClock& clock,
               std::string iniPath, const TSettingsOverrides& overrides = {},
               QWidget* parent = nullptr);

  ServerCore& Core() { return FServerCore; }
};

}  // namespace zorva
