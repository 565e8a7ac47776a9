// Pure translation tables from the Linux SCSI generic driver to the
// pass-through bus's terms: host, driver and target status to a transfer's
// category and host adapter status, and OS errors to failures. None of it
// touches a device; the SG_IO device layer and its tests share these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "aspi/status_codes.h"
#include "transport/passthrough/device.h"

namespace qx::sg {

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

using passthrough::Category;

// One row of the host byte table.
struct HostRow {
  uint16_t did;
  const char* name;   // "DID_NO_CONNECT"
  Category category;  // kTransport, kTimeout, or kAborted for DID_ABORT
  uint8_t ha_stat;    // ASPI host adapter status (0 with kAborted)
};

// The row for a host byte; codes the table does not know get DID_ERROR's
// answer under the name "DID_UNKNOWN".
HostRow MapHostStatus(uint16_t host_status);
std::span<const HostRow> HostTable();

// What an SG_IO answer comes to.
struct Completion {
  Category category = Category::kGood;
  uint8_t host_status = 0;  // ASPI host adapter status

  friend bool operator==(const Completion&, const Completion&) = default;
};

// Good only when host, driver and target all report success; a host code
// takes precedence over the driver code, which takes precedence over the
// target status.
Completion MapCompletion(uint8_t scsi_status, uint16_t host_status, uint16_t driver_status,
                         uint8_t sense_bytes);

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

// The failure an errno on `node` is: a vanished device reads like an absent
// target, any other error as its submission result.
passthrough::Failure ErrnoFailure(int err, const std::string& node, uint32_t length);

}  // namespace qx::sg
