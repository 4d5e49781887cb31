#include "ZorvaComp.h"

#include "ZorvaConnection.h"
#include "ZorvaServerStatsDialog.h"
#include "ZorvaUserInfoDialog.h"

namespace zorva {

void RegisterZorvaComp() {
  TZorvaConnection::Register();
  TZorvaServerStatsDialog::Register();
  TZorvaUserInfoDialog::Register();
}

}  // namespace zorva
