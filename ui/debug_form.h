// The debug window D_WIn as a headless model: the list the command trace and
// the dumps write into, and its two text boxes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "aspi/trace.h"

namespace qx {

struct DebugForm final : TraceWindow {
  std::string Caption = "Debug Window";
  std::vector<std::string> ASPI_Ret;  // one trace line per item
  std::string Text1;                  // "end" once a record is complete
  std::string Text2;                  // not written by any operation
  // Observers for views (GUI list, CLI printer). Not part of the window's state.
  std::function<void(const std::string&)> on_line;
  std::function<void()> on_clear;

  void ClearList() override;
  void AddLine(std::string line) override;
  void SetText1(std::string text) override { Text1 = std::move(text); }
  void Reserve(size_t lines) override { ASPI_Ret.reserve(ASPI_Ret.size() + lines); }
};

extern DebugForm D_WIn;

// Empties the list and texts (keeping the observers) and makes D_WIn the
// window the trace writes into.
void ResetDebugForm();

}  // namespace qx
