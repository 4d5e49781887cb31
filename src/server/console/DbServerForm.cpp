#include "DbServerForm.h"

namespace zorva {

TfrmDbServer::TfrmDbServer(ServerCore& core, TZorvaUserStore& userStore,
                           const ITransport& transport, std::string iniPath,
                           const TSettingsOverrides& overrides, QWidget* parent)
    : TfrmServer(core, transport, std::move(iniPath), overrides, parent), FUserStore(userStore) {}

}  // namespace zorva
