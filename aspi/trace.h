// The command trace, written into the debug window while TraceOn equals 1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"
#include "aspi/srb.h"
#include "aspi/transport_state.h"

namespace qx {

// The window the trace writes into (the debug window): its list of lines and
// its first text box. The front end's model installs itself.
class TraceWindow {
 public:
  virtual ~TraceWindow() = default;
  virtual void ClearList() = 0;
  virtual void AddLine(std::string line) = 0;
  virtual void SetText1(std::string text) = 0;
  virtual void Reserve(size_t /*lines*/) {}  // room for that many more lines
};
// nullptr: trace lines go nowhere.
void InstallTraceWindow(TraceWindow* window);

// Operations on the debug window.
void ClearTraceList();                // clears ASPI_Ret
void AddTraceLine(std::string line);  // appends one item
void RefreshTraceList();              // repaints ASPI_Ret at once
void SetTraceText1(std::string text);

// Number formats of the trace lines.
// The character column of a dump: 32..128 stand for themselves (128 as U+0080),
// every other byte as U+FF65 "･", all as UTF-8.
std::string TraceChar(uint8_t value);
void AppendTraceChar(std::string& out, uint8_t value);

// Appends the record of one executed request (executor step 9).
void WriteTraceRecord(const std::string& CmdName, int32_t DataLen, const Cdb& CDB, uint8_t CDBLen,
                      int16_t submitResult, const SRB_ExecSCSICmd& srb, const uint8_t* dataBuf);

}  // namespace qx
