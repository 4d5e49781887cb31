#include "ZorvaUserInfoDialog.h"

#include <QPushButton>

#include "ComponentPalette.h"
#include "GlobalForm.h"
#include "ModalResult.h"
#include "Prompts.h"
#include "UserInfoForm.h"

namespace zorva {

bool TZorvaUserInfoDialog::Execute(TZorvaUser& user, bool allowEdits) {
  TfrmUserInfo form;
  const TGlobalForm global(frmUserInfo, form);
  form.Populate(user, &FValidInfoTokens);
  form.SetEditable(false);
  form.SetAllowEdits(allowEdits);
  if (user.Id().empty()) {
    form.SetEditable(true);
    form.btnEdit->hide();
    form.btnCancel->show();
  }
  form.setWindowTitle(QString::fromStdString(FTitle));
  return Prompts().RunDialog(form) == mrYes;
}

void TZorvaUserInfoDialog::Register() {
  RegisterComponents(kZorvaPalettePage, {"TZorvaUserInfoDialog"});
}

}  // namespace zorva
