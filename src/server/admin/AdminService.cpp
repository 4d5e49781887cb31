#include "AdminService.h"

#include <chrono>

#include "CoreCall.h"
#include "TokenFile.h"

namespace zorva {

namespace {

// Longer than any core event takes; a core this late is stuck, and the caller hears 503.
constexpr auto kCoreTimeout = std::chrono::seconds(3);

double UnixNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

AdminService::AdminService(ServerCore& core, ITransport& transport, const IClock& clock,
                           std::function<void()> stop)
    : FCore(core),
      FTransport(transport),
      FClock(clock),
      FStop(std::move(stop)),
      FStartUnix(UnixNow()) {}

AdminService::~AdminService() = default;

bool AdminService::Start(const TConfig& config, std::string& error) {
  const auto token = LoadOrCreateToken(config.TokenPath, error);
  if (!token) return false;
  auto runner = [this](const std::function<void()>& task) {
    return RunOnCore(FTransport, task, kCoreTimeout);
  };
  FApi.emplace(
      AdminApi::TContext{FCore, FClock, runner, FStop, UnixNow, FStartUnix, config.Cluster},
      AdminApi::TOptions{*token, config.MetricsPublic});
  FServer = std::make_unique<AdminHttpServer>(*FApi);
  if (!FServer->Start(config.Address, error)) return false;
  FUrl = HttpUrl({config.Address.Host, FServer->Port()});
  return true;
}

}  // namespace zorva
