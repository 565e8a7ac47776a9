#include "transport/sg/sg_mapping.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace qx::sg {

// ---- Status mapping -------------------------------------------------------

namespace {

constexpr Category kTransport = Category::kTransport;

// Linux host byte -> ASPI, nearest meaning. Selection failures (no device
// answered at the address) become "Selection Timeout."; a driver asking for a
// retry means the request was never processed (0x09); lost connections become
// "Unexpected bus free."; failures without an ASPI equivalent become the
// generic "Target bus phase sequence failure.".
constexpr std::array<HostRow, 20> kHostTable{{
    {kDidNoConnect, "DID_NO_CONNECT", kTransport, HASTAT_SEL_TO},
    {kDidBusBusy, "DID_BUS_BUSY", kTransport, HASTAT_TIMEOUT},
    {kDidTimeOut, "DID_TIME_OUT", Category::kTimeout, HASTAT_COMMAND_TIMEOUT},
    {kDidBadTarget, "DID_BAD_TARGET", kTransport, HASTAT_SEL_TO},
    {kDidAbort, "DID_ABORT", Category::kAborted, HASTAT_OK},
    {kDidParity, "DID_PARITY", kTransport, HASTAT_PARITY_ERROR},
    {kDidError, "DID_ERROR", kTransport, HASTAT_PHASE_ERR},
    {kDidReset, "DID_RESET", kTransport, HASTAT_BUS_RESET},
    {kDidBadIntr, "DID_BAD_INTR", kTransport, HASTAT_BUS_FREE},
    {kDidPassthrough, "DID_PASSTHROUGH", kTransport, HASTAT_PHASE_ERR},
    {kDidSoftError, "DID_SOFT_ERROR", kTransport, HASTAT_TIMEOUT},
    {kDidImmRetry, "DID_IMM_RETRY", kTransport, HASTAT_TIMEOUT},
    {kDidRequeue, "DID_REQUEUE", kTransport, HASTAT_TIMEOUT},
    {kDidTransportDisrupted, "DID_TRANSPORT_DISRUPTED", kTransport, HASTAT_BUS_FREE},
    {kDidTransportFailfast, "DID_TRANSPORT_FAILFAST", kTransport, HASTAT_BUS_FREE},
    {kDidTargetFailure, "DID_TARGET_FAILURE", kTransport, HASTAT_PHASE_ERR},
    {kDidNexusFailure, "DID_NEXUS_FAILURE", kTransport, HASTAT_PHASE_ERR},
    {kDidAllocFailure, "DID_ALLOC_FAILURE", kTransport, HASTAT_PHASE_ERR},
    {kDidMediumError, "DID_MEDIUM_ERROR", kTransport, HASTAT_PHASE_ERR},
    {kDidTransportMarginal, "DID_TRANSPORT_MARGINAL", kTransport, HASTAT_BUS_FREE},
}};

}  // namespace

std::span<const HostRow> HostTable() {
  return kHostTable;
}

HostRow MapHostStatus(uint16_t host_status) {
  if (host_status == kDidOk) return {kDidOk, "DID_OK", Category::kGood, HASTAT_OK};
  for (const HostRow& row : kHostTable) {
    if (row.did == host_status) return row;
  }
  return {host_status, "DID_UNKNOWN", kTransport, HASTAT_PHASE_ERR};
}

Completion MapCompletion(uint8_t scsi_status, uint16_t host_status, uint16_t driver_status,
                         uint8_t sense_bytes) {
  if (host_status != kDidOk) {
    const HostRow row = MapHostStatus(host_status);
    return {row.category, row.ha_stat};
  }
  const uint16_t driver = driver_status & 0x0F;
  if (driver != kDriverOk && driver != kDriverSense) {
    if (driver == kDriverTimeout) return {Category::kTimeout, HASTAT_COMMAND_TIMEOUT};
    // The target's sense says more than the driver byte.
    if (scsi_status == STATUS_CHKCOND && sense_bytes > 0) return {Category::kSense, HASTAT_OK};
    if (driver == kDriverBusy || driver == kDriverSoft) return {kTransport, HASTAT_TIMEOUT};
    return {kTransport, HASTAT_PHASE_ERR};
  }
  return {passthrough::FromStatus(scsi_status, sense_bytes), HASTAT_OK};
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

passthrough::Failure ErrnoFailure(int err, const std::string& node, uint32_t length) {
  std::string hint = HintForErrno(err, node, length);
  if (IsVanishedErrno(err)) return passthrough::Gone(err, std::move(hint));
  return {err, SrbStatusForErrno(err), HASTAT_OK, std::move(hint)};
}

}  // namespace qx::sg
