#include "aspi/trace.h"

#include <cstdio>

#include "platform/window_system.h"

namespace qx {

namespace {
TraceWindow* g_window = nullptr;
}  // namespace

void InstallTraceWindow(TraceWindow* window) {
  g_window = window;
}

void ClearTraceList() {
  if (g_window) g_window->ClearList();
}

void AddTraceLine(std::string line) {
  if (g_window) g_window->AddLine(std::move(line));
}

void RefreshTraceList() {
  Ui().Refresh(Paint::kTraceList);
}

void SetTraceText1(std::string text) {
  if (g_window) g_window->SetText1(std::move(text));
}

void AppendTraceChar(std::string& out, uint8_t value) {
  if (value >= 32 && value <= 127) {
    out += static_cast<char>(value);
  } else if (value == 128) {
    out += "\xC2\x80";  // U+0080
  } else {
    out += "\xEF\xBD\xA5";  // U+FF65 HALFWIDTH KATAKANA MIDDLE DOT
  }
}

std::string TraceChar(uint8_t value) {
  std::string s;
  AppendTraceChar(s, value);
  return s;
}

namespace {

// Submission results are 16-bit values; a negative one shows as its 16-bit
// two's complement, the way the value itself is held.
std::string Hex16(int16_t value) {
  return Hex(static_cast<uint16_t>(value));
}

}  // namespace

void WriteTraceRecord(const std::string& CmdName, int32_t DataLen, const Cdb& CDB, uint8_t CDBLen,
                      int16_t submitResult, const SRB_ExecSCSICmd& srb, const uint8_t* dataBuf) {
  if (g_window) g_window->Reserve(64);
  std::string cdbLine = "CDB=";
  for (size_t i = 0; i < CDBLen && i < CDB.size(); ++i) {
    cdbLine += ' ';
    cdbLine += Hex2(CDB[i]);
  }
  AddTraceLine(std::move(cdbLine));
  AddTraceLine("SRB Status   = " + Hex16(submitResult));
  RefreshTraceList();
  AddTraceLine(std::to_string(DataLen));
  if (DataLen != 0) {
    for (size_t off = 0; off < 512; off += 16) {
      std::string line;
      line.reserve(48 + 3 + 16 * 3);
      AppendHexGroups(line, dataBuf + off, 16);
      line += " : ";
      for (size_t i = 0; i < 16; ++i) AppendTraceChar(line, dataBuf[off + i]);
      AddTraceLine(std::move(line));
    }
    AddTraceLine(" ");
  }
  AddTraceLine(CmdName);
  AddTraceLine("SRB CMD      = " + std::to_string(srb.SRB_Cmd));
  AddTraceLine("SRB Status   = " + Hex(srb.SRB_Status));
  AddTraceLine("SRB HaId     = " + std::to_string(srb.SRB_HaId));
  AddTraceLine("SRB Flags    = " + std::to_string(srb.SRB_Flags));
  AddTraceLine("SRB Target   = " + std::to_string(srb.SRB_Target));
  AddTraceLine("SRB LUN      = " + std::to_string(srb.SRB_Lun));
  AddTraceLine("SRB BufLen   = " + std::to_string(srb.SRB_BufLen));
  AddTraceLine("SRB SenseLen = " + std::to_string(srb.SRB_SenseLen));
  AddTraceLine("SRB CDBLen   = " + std::to_string(srb.SRB_CDBLen));
  AddTraceLine("SRB HaStat   = " + Hex(srb.SRB_HaStat));
  AddTraceLine("SRB TargStat = " + Hex(srb.SRB_TargStat));
  for (size_t off = 0; off < kSenseAreaSize; off += 16) {
    AddTraceLine(HexGroups(srb.SenseArea + off, 16));
  }
  SetTraceText1("end");
}

}  // namespace qx
