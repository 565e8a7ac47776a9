#include "transport/sg/sg_mapping.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "aspi/srb.h"
#include "commands/opcodes.h"

namespace qx::sg {

// ---- Data direction -------------------------------------------------------

namespace {

Direction VendorDirection(std::span<const uint8_t> cdb) {
  if (cdb.size() < 3) return Direction::kIn;
  switch (cdb[2]) {
    case op::kFnDiOut:
      return Direction::kNone;
    case op::kFnDiIn:
    case op::kFnMemoryRead:
      return Direction::kIn;
    case op::kFnAddressGroup:
      // Read long, header check and error byte check return data. Data write
      // and erase carry their pattern in the CDB and move one byte; it is read,
      // so that no byte of host memory ever reaches the drive's flash commands.
      return Direction::kIn;
    default:
      return Direction::kIn;
  }
}

}  // namespace

Direction DataDirection(std::span<const uint8_t> cdb, uint32_t transfer_length) {
  if (transfer_length == 0 || cdb.empty()) return Direction::kNone;
  switch (cdb[0]) {
    case op::kTestUnitReady:
    case op::kStartStopUnit:
      return Direction::kNone;
    case op::kWriteBuffer:
      return Direction::kOut;
    case op::kInquiry:
    case op::kReadBuffer:
    case op::kRequestSense:
      return Direction::kIn;
    case op::kVendor:
      return VendorDirection(cdb);
    default:
      return Direction::kIn;
  }
}

// ---- Status mapping -------------------------------------------------------

namespace {

// Linux host byte -> ASPI, nearest meaning. Selection failures (no device
// answered at the address) become "Selection Timeout."; a driver asking for a
// retry means the request was never processed (0x09); lost connections become
// "Unexpected bus free."; failures without an ASPI equivalent become the
// generic "Target bus phase sequence failure.".
constexpr std::array<HostRow, 20> kHostTable{{
    {kDidNoConnect, "DID_NO_CONNECT", SS_ERR, HASTAT_SEL_TO},
    {kDidBusBusy, "DID_BUS_BUSY", SS_ERR, HASTAT_TIMEOUT},
    {kDidTimeOut, "DID_TIME_OUT", SS_ERR, HASTAT_COMMAND_TIMEOUT},
    {kDidBadTarget, "DID_BAD_TARGET", SS_ERR, HASTAT_SEL_TO},
    {kDidAbort, "DID_ABORT", SS_ABORTED, HASTAT_OK},
    {kDidParity, "DID_PARITY", SS_ERR, HASTAT_PARITY_ERROR},
    {kDidError, "DID_ERROR", SS_ERR, HASTAT_PHASE_ERR},
    {kDidReset, "DID_RESET", SS_ERR, HASTAT_BUS_RESET},
    {kDidBadIntr, "DID_BAD_INTR", SS_ERR, HASTAT_BUS_FREE},
    {kDidPassthrough, "DID_PASSTHROUGH", SS_ERR, HASTAT_PHASE_ERR},
    {kDidSoftError, "DID_SOFT_ERROR", SS_ERR, HASTAT_TIMEOUT},
    {kDidImmRetry, "DID_IMM_RETRY", SS_ERR, HASTAT_TIMEOUT},
    {kDidRequeue, "DID_REQUEUE", SS_ERR, HASTAT_TIMEOUT},
    {kDidTransportDisrupted, "DID_TRANSPORT_DISRUPTED", SS_ERR, HASTAT_BUS_FREE},
    {kDidTransportFailfast, "DID_TRANSPORT_FAILFAST", SS_ERR, HASTAT_BUS_FREE},
    {kDidTargetFailure, "DID_TARGET_FAILURE", SS_ERR, HASTAT_PHASE_ERR},
    {kDidNexusFailure, "DID_NEXUS_FAILURE", SS_ERR, HASTAT_PHASE_ERR},
    {kDidAllocFailure, "DID_ALLOC_FAILURE", SS_ERR, HASTAT_PHASE_ERR},
    {kDidMediumError, "DID_MEDIUM_ERROR", SS_ERR, HASTAT_PHASE_ERR},
    {kDidTransportMarginal, "DID_TRANSPORT_MARGINAL", SS_ERR, HASTAT_BUS_FREE},
}};

}  // namespace

std::span<const HostRow> HostTable() {
  return kHostTable;
}

HostRow MapHostStatus(uint16_t host_status) {
  if (host_status == kDidOk) return {kDidOk, "DID_OK", SS_COMP, HASTAT_OK};
  for (const HostRow& row : kHostTable) {
    if (row.did == host_status) return row;
  }
  return {host_status, "DID_UNKNOWN", SS_ERR, HASTAT_PHASE_ERR};
}

Completion MapCompletion(uint8_t scsi_status, uint16_t host_status, uint16_t driver_status,
                         uint8_t sense_bytes) {
  Completion c;
  c.targ_stat = scsi_status;
  c.copy_sense = scsi_status == STATUS_CHKCOND && sense_bytes > 0;

  if (host_status != kDidOk) {
    const HostRow row = MapHostStatus(host_status);
    c.srb_status = row.srb_status;
    c.ha_stat = row.ha_stat;
    return c;
  }

  const uint16_t driver = driver_status & 0x0F;
  if (driver != kDriverOk && driver != kDriverSense) {
    c.srb_status = SS_ERR;
    if (driver == kDriverTimeout) {
      c.ha_stat = HASTAT_COMMAND_TIMEOUT;
    } else if (c.copy_sense) {
      c.ha_stat = HASTAT_OK;  // the target's sense says more than the driver byte
    } else if (driver == kDriverBusy || driver == kDriverSoft) {
      c.ha_stat = HASTAT_TIMEOUT;
    } else {
      c.ha_stat = HASTAT_PHASE_ERR;
    }
    return c;
  }

  if (scsi_status == STATUS_GOOD) {
    c.srb_status = SS_COMP;
    return c;
  }
  c.srb_status = SS_ERR;
  // CHECK CONDITION whose automatic REQUEST SENSE brought nothing back.
  if (scsi_status == STATUS_CHKCOND && sense_bytes == 0) c.ha_stat = HASTAT_REQUEST_SENSE_FAILED;
  return c;
}

// ---- Sense data -----------------------------------------------------------

size_t ToFixedSense(std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (in.empty() || out.empty()) return 0;
  const uint8_t code = in[0] & 0x7F;
  if (code != 0x72 && code != 0x73) {
    const size_t n = std::min(in.size(), out.size());
    std::memcpy(out.data(), in.data(), n);
    return n;
  }

  auto at = [&](size_t i) -> uint8_t { return i < in.size() ? in[i] : 0; };
  std::array<uint8_t, kFixedSenseLength> fixed{};
  fixed[0] = code == 0x72 ? 0x70 : 0x71;
  fixed[2] = at(1) & 0x0F;
  fixed[7] = kFixedSenseLength - 8;
  fixed[12] = at(2);
  fixed[13] = at(3);

  const size_t end = std::min(in.size(), size_t{8} + at(7));
  size_t pos = 8;
  while (pos + 2 <= end) {
    const uint8_t type = in[pos];
    const size_t len = in[pos + 1];
    if (pos + 2 + len > end) break;
    const uint8_t* d = &in[pos];
    switch (type) {
      case 0x00:  // information
        if (len >= 0x0A) {
          const bool high_zero = d[4] == 0 && d[5] == 0 && d[6] == 0 && d[7] == 0;
          std::memcpy(&fixed[3], d + 8, 4);
          // The fixed format holds 32 bits; a larger value is not claimed valid.
          if ((d[2] & 0x80) != 0 && high_zero) fixed[0] |= 0x80;
        }
        break;
      case 0x01:  // command-specific information
        if (len >= 0x0A) std::memcpy(&fixed[8], d + 8, 4);
        break;
      case 0x02:  // sense-key specific
        if (len >= 0x06) std::memcpy(&fixed[15], d + 4, 3);
        break;
      case 0x03:  // field replaceable unit
        if (len >= 0x02) fixed[14] = d[3];
        break;
      case 0x04:  // stream commands: FILEMARK, EOM, ILI
        if (len >= 0x02) fixed[2] |= d[3] & 0xE0;
        break;
      case 0x05:  // block commands: ILI
        if (len >= 0x02) fixed[2] |= d[3] & 0x20;
        break;
      default:
        break;
    }
    pos += 2 + len;
  }

  const size_t n = std::min(fixed.size(), out.size());
  std::memcpy(out.data(), fixed.data(), n);
  return n;
}

// ---- OS errors ------------------------------------------------------------

uint8_t SrbStatusForErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return SS_SECURITY_VIOLATION;
    case ENOMEM:
    case EDOM:
      return SS_ASPI_IS_BUSY;
    case EINVAL:
    case EMSGSIZE:
    case EFAULT:
      return SS_INVALID_SRB;
    case ENODEV:
    case ENXIO:
    case ENOENT:
      return SS_NO_DEVICE;
    case EBUSY:
    case EAGAIN:
      return SS_BC_IN_USE;
    case EINTR:
      return SS_ABORTED;
    default:
      return SS_FAILED_INIT;
  }
}

bool IsVanishedErrno(int err) {
  return err == ENODEV || err == ENXIO || err == ENOENT;
}

std::string HintForErrno(int err, const std::string& node, uint32_t length) {
  const std::string bytes = std::to_string(length) + " bytes";
  switch (err) {
    case EACCES:
    case EPERM:
      return "run as root or give your user read/write access to " + node +
             " (it is opened read/write: the kernel refuses WRITE BUFFER and vendor commands "
             "on a read-only open)";
    case ENOMEM:
      return "the kernel could not map a transfer of " + bytes + " for " + node +
             " (scatter-gather limit of the adapter or low memory); the request was not sent";
    case EDOM:
      return "too many requests are queued on " + node + "; the request was not sent";
    case EINVAL:
      return "the kernel refused the request for " + node + "; a transfer of " + bytes +
             " may exceed the adapter's largest transfer (see max_hw_sectors_kb of the device)";
    case EMSGSIZE:
      return "the kernel refused the command length for " + node;
    case EFAULT:
      return "the kernel could not access the data buffer for " + node;
    case ENODEV:
    case ENXIO:
    case ENOENT:
      return node + " is gone: the device was removed or re-enumerated; run SCSI Rescan";
    case EBUSY:
    case EAGAIN:
      return node + " is in use by another program that opened it exclusively";
    case EINTR:
      return "the wait for " + node + " was interrupted by a signal; the command may have run";
    default:
      return node + ": " + std::strerror(err);
  }
}

}  // namespace qx::sg
