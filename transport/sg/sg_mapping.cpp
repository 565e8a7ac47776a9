#include "transport/sg/sg_mapping.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "aspi/srb.h"
#include "aspi/opcodes.h"

namespace qx::sg {


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
