// The result codes the forms and dialogs close with, so that their callers compare names, not
// numbers. OK and Cancel keep the values callers of these dialogs have always read.
#pragma once

namespace zorva {

enum TModalResult : int {
  mrOk = 1,
  mrCancel = 2,
  // An accepted edit: the record handed to the form has been overwritten.
  mrYes = 6,
};

}  // namespace zorva
