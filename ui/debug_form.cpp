#include "ui/debug_form.h"

namespace qx {

DebugForm D_WIn;

void DebugForm::ClearList() {
  ASPI_Ret.clear();
  if (on_clear) on_clear();
}

void DebugForm::AddLine(std::string line) {
  ASPI_Ret.push_back(std::move(line));
  if (on_line) on_line(ASPI_Ret.back());
}

void ResetDebugForm() {
  D_WIn.ASPI_Ret.clear();
  D_WIn.Text1.clear();
  D_WIn.Text2.clear();
  InstallTraceWindow(&D_WIn);
}

}  // namespace qx
