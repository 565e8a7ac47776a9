#include "aspi/read_only.h"

#include "aspi/opcodes.h"
#include "aspi/status_codes.h"
#include "text/text.h"

namespace qx {

bool ReadOnlyCommand(const uint8_t* cdb, size_t length) {
  if (length == 0) return false;
  switch (cdb[0]) {
    case op::kTestUnitReady:
    case op::kRequestSense:
    case op::kInquiry:
    case op::kReadBuffer:
      return true;
    case op::kVendor:
      return length > 2 && cdb[2] == op::kFnMemoryRead;
    default:
      return false;
  }
}

ReadOnlyManager::ReadOnlyManager(std::shared_ptr<AspiManager> bus) : bus_(std::move(bus)) {}

int32_t ReadOnlyManager::BCSendASPI32Command(void* srb, uint8_t* buffer) {
  if (srb == nullptr) return bus_->BCSendASPI32Command(srb, buffer);
  auto* header = static_cast<SRB_Header*>(srb);
  if (header->SRB_Cmd == SC_EXEC_SCSI_CMD) {
    auto* exec = static_cast<SRB_ExecSCSICmd*>(srb);
    const size_t length = exec->SRB_CDBLen <= sizeof exec->CDBByte ? exec->SRB_CDBLen : 0;
    if (!ReadOnlyCommand(exec->CDBByte, length)) {
      {
        std::lock_guard lock(mutex_);
        refused_.push_back(TrimSpaces(HexGroups(exec->CDBByte, length)));
      }
      exec->SRB_HaStat = HASTAT_OK;
      exec->SRB_TargStat = STATUS_GOOD;
      StoreSrbStatus(srb, SS_SECURITY_VIOLATION);
      return SS_SECURITY_VIOLATION;
    }
  }
  return bus_->BCSendASPI32Command(srb, buffer);
}

std::vector<std::string> ReadOnlyManager::Refused() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

}  // namespace qx
