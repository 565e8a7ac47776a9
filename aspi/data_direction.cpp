#include "aspi/data_direction.h"

#include "aspi/opcodes.h"

namespace qx {

namespace {

using namespace op;

Direction VendorDirection(std::span<const uint8_t> cdb) {
  if (cdb.size() < 3) return Direction::kIn;
  // DI OUT carries its value in the CDB. Memory read, DI IN and the address
  // group return data; of the group, data write and erase carry their pattern
  // in the CDB and move one byte, which is read so that no byte of host memory
  // ever reaches the drive's flash commands.
  return cdb[2] == kFnDiOut ? Direction::kNone : Direction::kIn;
}

}  // namespace

Direction DataDirection(std::span<const uint8_t> cdb, uint32_t transfer_length) {
  if (transfer_length == 0 || cdb.empty()) return Direction::kNone;
  switch (cdb[0]) {
    case kTestUnitReady:
    case kStartStopUnit:
      return Direction::kNone;
    case kWriteBuffer:
      return Direction::kOut;
    case kInquiry:
    case kReadBuffer:
    case kRequestSense:
      return Direction::kIn;
    case kVendor:
      return VendorDirection(cdb);
    default:
      return Direction::kIn;
  }
}

}  // namespace qx
