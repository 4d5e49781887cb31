// TServerAssembly: the parts of a server, built and wired one way for both programs (zorva-server
// and the window program ZorvaServer): the system clock, the hooks (the user store when a users
// file is given, else the base hooks that keep nothing) and the core, with the settings and the
// limits of the command line applied. The program brings its transport and feeds it the core.
//
//   std::string error;
//   auto server = TServerAssembly::Build(transport, options, StartupSettings(options), error);
//   if (!server) fail(error);
//   transport.SetEvents(&server->Core());
//   if (!server->Start(error)) fail(error);
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ServerCore.h"
#include "ServerOptions.h"
#include "SystemClock.h"
#include "ZorvaUserStore.h"

namespace zorva {

// The INI file's settings, each one given on the command line winning.
TServerSettings StartupSettings(const TServerOptions& options);

class TServerAssembly {
 public:
  // Null, with the reason in `error`, when the user database cannot be opened or created.
  // `transport` must outlive the parts.
  static std::unique_ptr<TServerAssembly> Build(ITransport& transport,
                                                const TServerOptions& options,
                                                const TServerSettings& settings,
                                                std::string& error);

  TServerAssembly(const TServerAssembly&) = delete;
  TServerAssembly& operator=(const TServerAssembly&) = delete;

  ServerCore& Core() { return FCore; }
  const IClock& Clock() const { return FClock; }
  // The store deciding about users, or null when the base hooks do.
  TZorvaUserStore* UserStore() { return FUserStore.get(); }
  // What decides about users, for the operator at start: "Users: FILE, N registered", or a
  // warning that without a user store every id and password is accepted.
  std::string UsersLine(const TServerOptions& options);
  // Listens on the settings' port; false, with the reason in `error`, when it cannot.
  bool Start(std::string& error) { return FCore.Start(error); }

 private:
  // Throws EDatabaseError when the user database cannot be opened or created.
  TServerAssembly(ITransport& transport, const std::optional<std::string>& usersPath);
  void Configure(const TServerOptions& options, const TServerSettings& settings);

  SystemClock FClock;
  std::unique_ptr<TZorvaUserStore> FUserStore;
  TServerHooks FBaseHooks;
  // Last, so that it goes before the hooks it asks.
  ServerCore FCore;
};

}  // namespace zorva
