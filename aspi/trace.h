// The debug window D_WIn as a headless model, and the command trace written
// into it while TraceOn equals 1.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "aspi/srb.h"
#include "aspi/transport_state.h"

namespace qx {

struct DebugForm {
  std::string Caption = "Debug Window";
  std::vector<std::string> ASPI_Ret;  // one trace line per item
  std::string Text1;                  // "end" once a record is complete
  std::string Text2;                  // not written by any operation
  // Observers for views (GUI list, CLI printer). Not part of the window's state.
  std::function<void(const std::string&)> on_line;
  std::function<void()> on_clear;
};

extern DebugForm D_WIn;

// Operations on the debug window.
void ClearTraceList();                // clears ASPI_Ret
void AddTraceLine(std::string line);  // appends one item
void RefreshTraceList();              // repaints ASPI_Ret at once
void SetTraceText1(std::string text);

// Number formats of the trace lines.
std::string TraceHex(uint32_t value);  // upper-case hex, no leading zeros
std::string TraceHex2(uint8_t value);  // exactly two digits
// Appends each byte as two hex digits followed by one blank ("0A FF ").
void AppendHexGroups(std::string& out, const uint8_t* bytes, size_t n);
// The character column of a dump: 32..128 stand for themselves (128 as U+0080),
// every other byte as U+FF65 "･", all as UTF-8.
std::string TraceChar(uint8_t value);
void AppendTraceChar(std::string& out, uint8_t value);

// Appends the record of one executed request (executor step 9).
void WriteTraceRecord(const std::string& CmdName, int32_t DataLen, const Cdb& CDB, uint8_t CDBLen,
                      int16_t submitResult, const SRB_ExecSCSICmd& srb, const uint8_t* dataBuf);

// Empties the list and texts; keeps the observers.
void ResetDebugForm();

}  // namespace qx
