// Keeps a form in its unit's global form variable for one dialog run, for the dialogs of
// ZorvaComp; the variable gets its earlier value back when the run ends.
#pragma once

namespace zorva {

template <class Form>
class TGlobalForm {
 public:
  TGlobalForm(Form*& global, Form& form) : FGlobal(global), FPrevious(global) { global = &form; }
  ~TGlobalForm() { FGlobal = FPrevious; }
  TGlobalForm(const TGlobalForm&) = delete;
  TGlobalForm& operator=(const TGlobalForm&) = delete;

 private:
  Form*& FGlobal;
  Form* FPrevious;
};

}  // namespace zorva
