#include "DbServerForm.h"

namespace zorva {

TDbServerParts::TDbServerParts(const std::string& usersPath, ITransport& transport,
                               const IClock& clock)
    : FUserStore(usersPath, clock), FServerCore(transport, clock, FUserStore) {}

TfrmDbServer::TfrmDbServer(const std::string& usersPath, ITransport& transport, const IClock& clock,
                           std::string iniPath, const TSettingsOverrides& overrides,
                           QWidget* parent)
    : TDbServerParts(usersPath, transport, clock),
      TfrmServer(FServerCore, transport, std::move(iniPath), overrides, parent) {}

}  // namespace zorva
