// AdminApi: the daemon's admin HTTP interface without the HTTP — a request (method, target,
// Authorization header, body) in, a status and a body out. Everything that reads or changes the
// core runs on the core's thread through the runner, with the same operations as the window's
// actions; when the core does not answer in time the answer is 503 and nothing was done.
//
//   AdminApi api({core, clock, runner, stop, unixNow, startUnix}, {token, metricsPublic});
//   const auto response = api.Handle({"GET", "/v1/users?code=GAME", "Bearer " + token, ""});
#pragma once

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "ClusterPort.h"
#include "RequestTarget.h"
#include "ServerCore.h"

namespace zorva {

struct TAdminRequest {
  std::string Method;
  std::string Target;  // path and query as sent, still percent-encoded
  std::string Authorization;
  std::string Body;
};

struct TAdminResponse {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
};

class AdminApi {
 public:
  static constexpr std::size_t kMaxBody = 64 * 1024;

  // Runs the task on the core's thread and waits; false when the core did not take it in time
  // (the task then never runs).
  using TCoreRunner = std::function<bool(const std::function<void()>&)>;

  struct TContext {
    ServerCore& Core;
    const IClock& Clock;
    TCoreRunner RunOnCore;
    // Stops the server as a signal does; called on the core's thread.
    std::function<void()> Stop;
    std::function<double()> UnixNow;
    double ProcessStartUnix = 0;
    // This node's cluster, or null for a single server; read on the core's thread.
    const IClusterPort* Cluster = nullptr;
  };
  struct TOptions {
    std::string Token;
    bool MetricsPublic = false;
  };

  AdminApi(TContext context, TOptions options)
      : FContext(std::move(context)), FOptions(std::move(options)) {}

  TAdminResponse Handle(const TAdminRequest& request) const;

 private:
  using TJson = nlohmann::json;

  bool Authorized(const TAdminRequest& request) const;
  TAdminResponse Route(const TAdminRequest& request, const TRequestTarget& target) const;
  TAdminResponse RouteV1(const std::string& method, const TRequestTarget& target,
                         const std::string& body) const;
  // Runs `body` on the core's thread; its answer, or 503.
  TAdminResponse OnCore(const std::function<TAdminResponse()>& body) const;

  TAdminResponse Health() const;
  TAdminResponse Metrics() const;
  TAdminResponse Stats() const;
  TAdminResponse Users(const TRequestTarget& target) const;
  TAdminResponse Subjects() const;
  TAdminResponse Kill(const std::string& userId) const;
  TAdminResponse Shout(const TJson& body) const;
  TAdminResponse CreateSubject(const TJson& body) const;
  TAdminResponse DeleteSubject(const std::string& code, const std::string& name) const;
  TAdminResponse Trace(const TJson& body) const;
  TAdminResponse Stop() const;

  TContext FContext;
  TOptions FOptions;
};

}  // namespace zorva
