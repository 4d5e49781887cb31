#include "ServerAssembly.h"

namespace zorva {

TServerSettings StartupSettings(const TServerOptions& options) {
  return ApplyOverrides(ReadSettings(options.IniPath), options.Settings);
}

std::unique_ptr<TServerAssembly> TServerAssembly::Build(ITransport& transport,
                                                        const TServerOptions& options,
                                                        const TServerSettings& settings,
                                                        std::string& error) {
  std::unique_ptr<TServerAssembly> parts;
  try {
    parts.reset(new TServerAssembly(transport, options.UsersPath));
  } catch (const EDatabaseError& failure) {
    error = failure.what();
    return nullptr;
  }
  parts->Configure(options, settings);
  return parts;
}

TServerAssembly::TServerAssembly(ITransport& transport, const std::optional<std::string>& usersPath)
    : FUserStore(usersPath ? std::make_unique<TZorvaUserStore>(*usersPath) : nullptr),
      FCore(transport, FClock, FUserStore ? static_cast<TServerHooks&>(*FUserStore) : FBaseHooks) {}

void TServerAssembly::Configure(const TServerOptions& options, const TServerSettings& settings) {
  FCore.SetSettings(settings);
  FCore.SetMaxLine(options.Limits.MaxLine);
  FCore.SetMaxClients(options.MaxClients);
  FCore.SetClientLimits(options.ClientLimits);
  FCore.SetLoginLimits(options.Logins);
  FCore.SetRequireEncryptedLogin(options.Tls.RequireLogin);
  FCore.SetTraceIncoming(options.Trace);
  FCore.SetTraceOutgoing(options.Trace);
}

std::string TServerAssembly::UsersLine(const TServerOptions& options) {
  if (!FUserStore) {
    return "Users: none kept; without --users any id but NewUser logs in with any password";
  }
  return "Users: " + *options.UsersPath + ", " + std::to_string(FUserStore->UserCount()) +
         " registered";
}

}  // namespace zorva
