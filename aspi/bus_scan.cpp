#include "aspi/bus_scan.h"

#include "aspi/manager.h"
#include "aspi/recorder.h"
#include "aspi/trace.h"

namespace qx {

const ScannedTarget* ScanResult::Find(int ha, int id) const {
  for (const auto& a : adapters) {
    if (a.ha != ha) continue;
    for (const auto& t : a.targets) {
      if (t.id == id) return &t;
    }
  }
  return nullptr;
}

int16_t HaInquiry(SRB_HAInquiry& srb, uint8_t ha) {
  srb.SRB_Cmd = SC_HA_INQUIRY;
  srb.SRB_Status = 0;
  srb.SRB_HaId = ha;
  srb.SRB_Flags = 0;
  srb.SRB_Hdr_Rsvd = 0;
  srb.HA_Count = 0;
  srb.HA_SCSI_ID = 0;
  AspiStatus = static_cast<int16_t>(BCSendASPI32Command(&srb, DataBuf.data()));
  if (CommandRecorder* recorder = InstalledCommandRecorder()) {
    recorder->AdapterInquired(srb, ha, AspiStatus);
  }
  return AspiStatus;
}

std::string SrbText(const uint8_t (&area)[16]) {
  std::string s;
  for (uint8_t b : area) {
    if (b == 0) break;
    s += static_cast<char>(b);
  }
  return s;
}

void TraceHaInquiry(const SRB_HAInquiry& srb, uint8_t ha) {
  // The first line carries the adapter number as a character code; a control
  // character would be invisible, so it is shown as its digit.
  AddTraceLine("ASPI HA Inquiry" + std::to_string(ha));
  AddTraceLine("SRB CMD      = " + std::to_string(srb.SRB_Cmd));
  AddTraceLine("SRB Status   = " + Hex(srb.SRB_Status));
  AddTraceLine("SRB HaId     = " + std::to_string(srb.SRB_HaId));
  AddTraceLine("SRB Flags    = " + std::to_string(srb.SRB_Flags));
  AddTraceLine("SRB Hdr Rsvd");
  AddTraceLine("HA Count     = " + std::to_string(srb.HA_Count));
  AddTraceLine("HA SCSI ID   = " + std::to_string(srb.HA_SCSI_ID));
  AddTraceLine("HA ManagerId = " + SrbText(srb.HA_ManagerId));
  AddTraceLine("HA Identifier= " + SrbText(srb.HA_Identifier));
  AddTraceLine("HA Unique    = " + SrbText(srb.HA_Unique));
  SetTraceText1("end");
}

}  // namespace qx
