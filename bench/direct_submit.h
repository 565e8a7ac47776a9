// A request handed straight to a backend, without the executor: the baseline
// the executor's cost is measured against.
#pragma once

#include <cstring>

#include "aspi/manager.h"
#include "aspi/transport_state.h"

namespace qx::bench {

// Fills a fresh execute block for target 0:2 and submits it with DataBuf.
inline uint8_t SubmitDirect(AspiManager& bus, const Cdb& cdb, uint8_t cdbLen, uint32_t bufLen) {
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Target = 2;
  srb.SRB_BufLen = bufLen;
  srb.SRB_SenseLen = kSenseLen;
  srb.SRB_CDBLen = cdbLen;
  std::memcpy(srb.CDBByte, cdb.data(), kCdbSize);
  bus.BCSendASPI32Command(&srb, DataBuf.data());
  return LoadSrbStatus(&srb);
}

}  // namespace qx::bench
