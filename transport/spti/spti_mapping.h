// Pure translation tables from Windows' SCSI pass-through to the pass-through
// bus's terms: Windows errors of CreateFileW and DeviceIoControl, the
// pass-through timeout, bus type names and the transfer limit and alignment of
// an adapter. None of it touches a device; the SPTI device layer and its tests
// share these functions.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "aspi/status_codes.h"
#include "transport/passthrough/device.h"
#include "transport/spti/spti_windows.h"

namespace qx::spti {

// ---- Windows errors -------------------------------------------------------

// One row of the error table.
struct ErrorRow {
  DWORD code;
  const char* name;    // "ERROR_SEM_TIMEOUT"
  uint8_t srb_status;  // request status
  uint8_t ha_stat;     // host adapter status (with SS_ERR)
  bool vanished;       // the device is gone: answered like an absent target
};

// Request status for a Windows error (status codes from aspi/status_codes.h):
//   ERROR_ACCESS_DENIED, ERROR_PRIVILEGE_NOT_HELD          0xE2
//   ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY,
//   ERROR_NO_SYSTEM_RESOURCES                              0xE5
//   ERROR_INVALID_PARAMETER, ERROR_INVALID_USER_BUFFER,
//   ERROR_NOACCESS                                         0xE0
//   ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
//   ERROR_DEV_NOT_EXIST, ERROR_BAD_UNIT,
//   ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED       vanished: 0x04, 0x11
//   ERROR_SHARING_VIOLATION, ERROR_BUSY                    0xFD
//   ERROR_SEM_TIMEOUT, ERROR_TIMEOUT                       0x04, 0x0B (adapter timed out)
//   ERROR_IO_DEVICE                                        0x04, 0x14 (adapter error)
//   ERROR_BUS_RESET                                        0x04, 0x0E
//   ERROR_CRC                                              0x04, 0x0F
//   ERROR_OPERATION_ABORTED, ERROR_REQUEST_ABORTED         0x02
//   ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED            0xE4 (no pass-through)
//   anything else                                          0xE4, named "ERROR_<number>"
ErrorRow MapError(DWORD error);
std::span<const ErrorRow> ErrorTable();

// True for the errors with which a driver refuses IOCTL_SCSI_PASS_THROUGH_DIRECT
// itself (the command never reached a device), so the buffered form may be tried.
bool IsRefusedIoctl(DWORD error);

// A plain-English hint for a Windows error on `node` ("\\.\CdRom0") with a
// transfer of `length` bytes.
std::string HintForError(DWORD error, const std::string& node, uint32_t length);

// The failure a Windows error on `node` is: a vanished device reads like an
// absent target, any other error as its row says. Adapter failures (selection
// timeout, timeouts, bus resets) reach the caller so too: as a failed
// DeviceIoControl, not in the status of a completed one.
passthrough::Failure ErrorFailure(DWORD error, const std::string& node, uint32_t length);

// ---- Request fields -------------------------------------------------------

// TimeOutValue: `timeout` in seconds, rounded up, at least 1.
ULONG TimeoutSeconds(std::chrono::milliseconds timeout);

// The largest transfer an adapter takes with a buffer aligned to whole pages:
// MaximumTransferLength, and MaximumPhysicalPages pages when that is smaller
// (0 pages means no page limit).
uint32_t TransferLimit(uint32_t max_transfer_length, uint32_t max_physical_pages);

// The alignment a buffer needs for AlignmentMask: the smallest power of two
// above the mask, so that (address & mask) == 0 for every mask a driver reports
// (some report a page size instead of size - 1).
size_t AlignmentFor(uint32_t alignment_mask);

// "SCSI", "ATAPI", "USB", ... for STORAGE_BUS_TYPE; "bus type N" for others.
std::string BusTypeName(int bus_type);

}  // namespace qx::spti
