// AdminService: the admin API as the daemon runs it — the token file, the API over the core
// and its HTTP listener. Declare it after the core and the transport so that it stops first.
//
//   AdminService admin(core, transport, clock, [&] { StopServer(); });
//   if (!admin.Start({address, tokenPath, metricsPublic}, error)) report(error);
//   admin.Url();  // "http://127.0.0.1:41234"
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "AdminApi.h"
#include "AdminHttpServer.h"
#include "ListenAddress.h"

namespace zorva {

class AdminService {
 public:
  struct TConfig {
    TListenAddress Address;
    std::string TokenPath;
    bool MetricsPublic = false;
    const IClusterPort* Cluster = nullptr;  // null for a single server
  };

  // `stop` runs on the core's thread.
  AdminService(ServerCore& core, ITransport& transport, const IClock& clock,
               std::function<void()> stop);
  ~AdminService();
  AdminService(const AdminService&) = delete;
  AdminService& operator=(const AdminService&) = delete;

  bool Start(const TConfig& config, std::string& error);
  // The bound address, "http://HOST:PORT"; empty before Start.
  const std::string& Url() const { return FUrl; }

 private:
  ServerCore& FCore;
  ITransport& FTransport;
  const IClock& FClock;
  std::function<void()> FStop;
  double FStartUnix;
  std::optional<AdminApi> FApi;
  std::unique_ptr<AdminHttpServer> FServer;
  std::string FUrl;
};

}  // namespace zorva
