// TfrmDbServer: the operator window whose users and feedback persist. It is TfrmServer in front of
// a server core whose hooks are a TZorvaUserStore; whoever built the two (ZorvaServer, for
// --users PATH) keeps them alive while the window lives.
//
//   TfrmDbServer window(core, store, transport, iniPath);
#pragma once

#include <string>

#include "ServerCore.h"
#include "ServerForm.h"
#include "ZorvaUserStore.h"

namespace zorva {

class TfrmDbServer : public TfrmServer {
 public:
  // `core` asks `userStore` about users.
  TfrmDbServer(ServerCore& core, TZorvaUserStore& userStore, const ITransport& transport,
               std::string iniPath, const TSettingsOverrides& overrides = {},
               QWidget* parent = nullptr);

  TZorvaUserStore& UserStore() { return FUserStore; }

 private:
  TZorvaUserStore& FUserStore;
};

}  // namespace zorva
