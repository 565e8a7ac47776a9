#include "transport/passthrough/device.h"

#include "aspi/status_codes.h"

namespace qx::passthrough {

std::string AddressText(const Address& a) {
  return std::to_string(a.host) + ":" + std::to_string(a.bus) + ":" + std::to_string(a.target) +
         ":" + std::to_string(a.lun);
}

Failure Gone(long error, std::string hint) {
  return {error, SS_ERR, HASTAT_SEL_TO, std::move(hint)};
}

Category FromStatus(uint8_t scsi_status, size_t sense_len) {
  if (scsi_status == STATUS_GOOD) return Category::kGood;
  if (scsi_status == STATUS_CHKCOND && sense_len > 0) return Category::kSense;
  return Category::kStatus;
}

}  // namespace qx::passthrough
