// Pure translation tables between the Linux SCSI generic driver and ASPI request
// blocks: data direction per command, host/driver/target status to request and
// host adapter status, descriptor-format sense to fixed format, and OS errors to
// submission results. None of it touches a device; the SG_IO backend and its
// tests share these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "aspi/status_codes.h"

namespace qx::sg {

// ---- Data direction -------------------------------------------------------

enum class Direction { kNone, kIn, kOut };

// The block's SRB_Flags carry no direction, so it comes from the command:
//   INQUIRY 0x12, READ BUFFER 0x3C, REQUEST SENSE 0x03            in
//   WRITE BUFFER 0x3B                                             out
//   TEST UNIT READY 0x00, START STOP UNIT 0x1B                    none
//   vendor 0xDF: 0xE2 memory read, 0xD9 DI IN                     in
//                0xD7 DI OUT                                      none
//                0xE0 group (read long, header check, error byte
//                check, data write, erase)                        in
//   any command with transfer length 0                            none
//   anything else                                                 in
// Reading is the safe default: it never sends host memory to a device.
Direction DataDirection(std::span<const uint8_t> cdb, uint32_t transfer_length);

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

inline constexpr size_t kFixedSenseLength = 18;

// Writes the sense data into `out` in fixed format (response code 0x70/0x71) and
// returns the number of bytes written (at most out.size()). Fixed-format and
// unrecognised sense is copied unchanged; descriptor-format sense (0x72/0x73) is
// converted so that the key, ASC and ASCQ sit at bytes 2, 12 and 13, with the
// VALID bit and information field taken from an information descriptor when
// its value fits in 32 bits. Bit 7 of byte 0 is masked off before the response
// code is examined.
size_t ToFixedSense(std::span<const uint8_t> in, std::span<uint8_t> out);

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
