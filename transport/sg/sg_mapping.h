// Pure translation tables between the Linux SCSI generic driver and ASPI request
// blocks: data direction per command, host/driver/target status to request and
// host adapter status, descriptor-format sense to fixed format, and OS errors to
// submission results. None of it touches a device; the SG_IO backend and its
// tests share these functions.
#pragma once

#include "aspi/data_direction.h"
#include "aspi/sense_format.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "aspi/status_codes.h"

namespace qx::sg {

// ---- Data direction: aspi/data_direction.h --------------------------------

// ---- Status mapping -------------------------------------------------------

// Linux host byte (sg_io_hdr.host_status) codes.
inline constexpr uint16_t kDidOk = 0x00;
inline constexpr uint16_t kDidNoConnect = 0x01;
inline constexpr uint16_t kDidBusBusy = 0x02;
inline constexpr uint16_t kDidTimeOut = 0x03;
inline constexpr uint16_t kDidBadTarget = 0x04;
inline constexpr uint16_t kDidAbort = 0x05;
inline constexpr uint16_t kDidParity = 0x06;
inline constexpr uint16_t kDidError = 0x07;
inline constexpr uint16_t kDidReset = 0x08;
inline constexpr uint16_t kDidBadIntr = 0x09;
inline constexpr uint16_t kDidPassthrough = 0x0A;
inline constexpr uint16_t kDidSoftError = 0x0B;
inline constexpr uint16_t kDidImmRetry = 0x0C;
inline constexpr uint16_t kDidRequeue = 0x0D;
inline constexpr uint16_t kDidTransportDisrupted = 0x0E;
inline constexpr uint16_t kDidTransportFailfast = 0x0F;
inline constexpr uint16_t kDidTargetFailure = 0x10;
inline constexpr uint16_t kDidNexusFailure = 0x11;
inline constexpr uint16_t kDidAllocFailure = 0x12;
inline constexpr uint16_t kDidMediumError = 0x13;
inline constexpr uint16_t kDidTransportMarginal = 0x14;

// Linux driver byte (low nibble of sg_io_hdr.driver_status; the high nibble
// holds retry suggestions and is ignored).
inline constexpr uint16_t kDriverOk = 0x00;
inline constexpr uint16_t kDriverBusy = 0x01;
inline constexpr uint16_t kDriverSoft = 0x02;
inline constexpr uint16_t kDriverMedia = 0x03;
inline constexpr uint16_t kDriverError = 0x04;
inline constexpr uint16_t kDriverInvalid = 0x05;
inline constexpr uint16_t kDriverTimeout = 0x06;
inline constexpr uint16_t kDriverHard = 0x07;
inline constexpr uint16_t kDriverSense = 0x08;

// One row of the host byte table.
struct HostRow {
  uint16_t did;
  const char* name;    // "DID_NO_CONNECT"
  uint8_t srb_status;  // SS_ERR, or SS_ABORTED for DID_ABORT
  uint8_t ha_stat;     // ASPI host adapter status (0 with SS_ABORTED)
};

// The row for a host byte; codes the table does not know get DID_ERROR's
// answer under the name "DID_UNKNOWN".
HostRow MapHostStatus(uint16_t host_status);
std::span<const HostRow> HostTable();

// What an SG_IO answer becomes in the request block.
struct Completion {
  uint8_t srb_status = 0;
  uint8_t ha_stat = 0;
  uint8_t targ_stat = 0;
  bool copy_sense = false;  // CHECK CONDITION with sense bytes: fill SenseArea

  friend bool operator==(const Completion&, const Completion&) = default;
};

// SRB_Status 1 only when host, driver and target all report success; a residual
// count is not an error.
Completion MapCompletion(uint8_t scsi_status, uint16_t host_status, uint16_t driver_status,
                         uint8_t sense_bytes);

// ---- Sense data -----------------------------------------------------------

// Sense in fixed format: aspi/sense_format.h (ToFixedSense).

// ---- OS errors ------------------------------------------------------------

// Submission result (and SRB_Status) for an errno from open() or ioctl():
// (status codes from aspi/status_codes.h)
//   EACCES, EPERM                 0xE2 "Device access security"
//   ENOMEM, EDOM                  0xE5 "No resources available to execute cmd"
//   EINVAL, EMSGSIZE, EFAULT      0xE0 "Invalid parameter set in SRB"
//   ENODEV, ENXIO, ENOENT         0x82 "SCSI device not installed"
//   EBUSY, EAGAIN                 0xFD "Inuse"
//   EINTR                         0x02 "SRB aborted"
//   anything else                 0xE4 "ASPI for windows failed init"
uint8_t SrbStatusForErrno(int err);

// True for the errors that mean the device node or its device is gone.
bool IsVanishedErrno(int err);

// A plain-English hint for an OS error on `node` ("/dev/sg3") with a transfer of
// `length` bytes.
std::string HintForErrno(int err, const std::string& node, uint32_t length);

}  // namespace qx::sg
