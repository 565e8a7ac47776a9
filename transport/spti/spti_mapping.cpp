#include "transport/spti/spti_mapping.h"

#include <array>
#include <bit>
#include <climits>

namespace qx::spti {

// ---- Windows errors -------------------------------------------------------

namespace {

// Windows error -> ASPI, nearest meaning. The port drivers complete a
// pass-through whose SRB failed with an NTSTATUS that reaches the caller as one
// of these: selection timeout as ERROR_DEVICE_NOT_CONNECTED, a timeout as
// ERROR_SEM_TIMEOUT, other adapter errors as ERROR_IO_DEVICE.
constexpr std::array<ErrorRow, 23> kErrorTable{{
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED", SS_SECURITY_VIOLATION, 0, false},
    {ERROR_PRIVILEGE_NOT_HELD, "ERROR_PRIVILEGE_NOT_HELD", SS_SECURITY_VIOLATION, 0, false},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY", SS_ASPI_IS_BUSY, 0, false},
    {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY", SS_ASPI_IS_BUSY, 0, false},
    {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES", SS_ASPI_IS_BUSY, 0, false},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER", SS_INVALID_SRB, 0, false},
    {ERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER", SS_INVALID_SRB, 0, false},
    {ERROR_NOACCESS, "ERROR_NOACCESS", SS_INVALID_SRB, 0, false},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", SS_NO_DEVICE, HASTAT_SEL_TO, true},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND", SS_NO_DEVICE, HASTAT_SEL_TO, true},
    {ERROR_DEV_NOT_EXIST, "ERROR_DEV_NOT_EXIST", SS_NO_DEVICE, HASTAT_SEL_TO, true},
    {ERROR_BAD_UNIT, "ERROR_BAD_UNIT", SS_NO_DEVICE, HASTAT_SEL_TO, true},
    {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED", SS_NO_DEVICE, HASTAT_SEL_TO, true},
    {ERROR_DEVICE_REMOVED, "ERROR_DEVICE_REMOVED", SS_NO_DEVICE, HASTAT_SEL_TO, true},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION", SS_BC_IN_USE, 0, false},
    {ERROR_BUSY, "ERROR_BUSY", SS_BC_IN_USE, 0, false},
    {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT", SS_ERR, HASTAT_COMMAND_TIMEOUT, false},
    {ERROR_TIMEOUT, "ERROR_TIMEOUT", SS_ERR, HASTAT_COMMAND_TIMEOUT, false},
    {ERROR_IO_DEVICE, "ERROR_IO_DEVICE", SS_ERR, HASTAT_PHASE_ERR, false},
    {ERROR_BUS_RESET, "ERROR_BUS_RESET", SS_ERR, HASTAT_BUS_RESET, false},
    {ERROR_CRC, "ERROR_CRC", SS_ERR, HASTAT_PARITY_ERROR, false},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED", SS_ABORTED, 0, false},
    {ERROR_REQUEST_ABORTED, "ERROR_REQUEST_ABORTED", SS_ABORTED, 0, false},
}};

std::string Bytes(uint32_t length) {
  return std::to_string(length) + " bytes";
}

}  // namespace

std::span<const ErrorRow> ErrorTable() {
  return kErrorTable;
}

ErrorRow MapError(DWORD error) {
  for (const ErrorRow& row : kErrorTable) {
    if (row.code == error) return row;
  }
  if (error == ERROR_INVALID_FUNCTION) {
    return {error, "ERROR_INVALID_FUNCTION", SS_FAILED_INIT, 0, false};
  }
  if (error == ERROR_NOT_SUPPORTED) return {error, "ERROR_NOT_SUPPORTED", SS_FAILED_INIT, 0, false};
  return {error, "ERROR_UNKNOWN", SS_FAILED_INIT, 0, false};
}

bool IsRefusedIoctl(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

std::string HintForError(DWORD error, const std::string& node, uint32_t length) {
  const std::string code = " (Windows error " + std::to_string(error) + ")";
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
      return "run qxflash as administrator: Windows gives SCSI pass-through to " + node +
             " to administrators only" + code;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
      return "Windows could not map a transfer of " + Bytes(length) + " for " + node +
             "; the request was not sent" + code;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_USER_BUFFER:
    case ERROR_NOACCESS:
      return "the driver of " + node + " refused the request; a transfer of " + Bytes(length) +
             " may exceed the adapter's largest transfer" + code;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
    case ERROR_DEVICE_REMOVED:
      return node + " is gone: the device was removed or renumbered; run SCSI Rescan" + code;
    case ERROR_DEVICE_NOT_CONNECTED:
      return "nothing answered at the address of " + node +
             " (selection timeout), or the device was removed; run SCSI Rescan" + code;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return node + " is in use by another program" + code;
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
      return "the adapter of " + node + " timed out the command" + code;
    case ERROR_IO_DEVICE:
      return "the adapter of " + node + " reported an error for the command" + code;
    case ERROR_BUS_RESET:
      return "a bus reset ended the command on " + node + code;
    case ERROR_CRC:
      return "a data error (parity or CRC) ended the command on " + node + code;
    case ERROR_OPERATION_ABORTED:
    case ERROR_REQUEST_ABORTED:
      return "the command on " + node + " was aborted; it may have run" + code;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return "the driver of " + node + " does not take SCSI pass-through requests" + code;
    default:
      return node + ": " + MapError(error).name + code;
  }
}

passthrough::Failure ErrorFailure(DWORD error, const std::string& node, uint32_t length) {
  const ErrorRow row = MapError(error);
  std::string hint = HintForError(error, node, length);
  if (row.vanished) return passthrough::Gone(static_cast<long>(error), std::move(hint));
  const uint8_t ha_stat = row.srb_status == SS_ERR ? row.ha_stat : HASTAT_OK;
  return {static_cast<long>(error), row.srb_status, ha_stat, std::move(hint)};
}

// ---- Request fields -------------------------------------------------------

ULONG TimeoutSeconds(std::chrono::milliseconds timeout) {
  const long long ms = timeout.count();
  if (ms <= 1000) return 1;
  const unsigned long long seconds = (static_cast<unsigned long long>(ms) + 999) / 1000;
  return seconds >= ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(seconds);
}

uint32_t TransferLimit(uint32_t max_transfer_length, uint32_t max_physical_pages) {
  constexpr uint64_t kPage = 4096;
  if (max_physical_pages == 0) return max_transfer_length;
  const uint64_t by_pages = kPage * max_physical_pages;
  return by_pages < max_transfer_length ? static_cast<uint32_t>(by_pages) : max_transfer_length;
}

size_t AlignmentFor(uint32_t alignment_mask) {
  return std::bit_ceil(size_t{alignment_mask} + 1);
}

std::string BusTypeName(int bus_type) {
  switch (bus_type) {
    case BusTypeScsi:
      return "SCSI";
    case BusTypeAtapi:
      return "ATAPI";
    case BusTypeAta:
      return "ATA";
    case BusType1394:
      return "1394";
    case BusTypeSsa:
      return "SSA";
    case BusTypeFibre:
      return "Fibre";
    case BusTypeUsb:
      return "USB";
    case BusTypeRAID:
      return "RAID";
    case BusTypeiScsi:
      return "iSCSI";
    case BusTypeSas:
      return "SAS";
    case BusTypeSata:
      return "SATA";
    case BusTypeSd:
      return "SD";
    case BusTypeMmc:
      return "MMC";
    case BusTypeVirtual:
      return "Virtual";
    case BusTypeFileBackedVirtual:
      return "Virtual";
    case 0x11:  // BusTypeNvme
      return "NVMe";
    default:
      return "bus type " + std::to_string(bus_type);
  }
}

}  // namespace qx::spti
