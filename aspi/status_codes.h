// Every status code a request block carries, in one place: ASPI request status
// (SRB_Status and the submission result of BCSendASPI32Command), host adapter
// status (SRB_HaStat) and the SCSI target status bytes the system tests.
// Backends, the executor and the tests take their values from here.
#pragma once

#include <cstdint>

namespace qx {

// ---- ASPI request status (SRB_Status, submission result) -------------------
inline constexpr uint8_t SS_PENDING = 0x00;     // request still being processed
inline constexpr uint8_t SS_COMP = 0x01;        // completed without error
inline constexpr uint8_t SS_ABORTED = 0x02;     // aborted
inline constexpr uint8_t SS_ABORT_FAIL = 0x03;  // unable to abort
inline constexpr uint8_t SS_ERR = 0x04;  // completed with error: see SRB_HaStat, SRB_TargStat
inline constexpr uint8_t SS_INVALID_CMD = 0x80;  // SRB_Cmd not known
inline constexpr uint8_t SS_INVALID_HA = 0x81;   // no such host adapter
inline constexpr uint8_t SS_NO_DEVICE = 0x82;    // SCSI device not installed
inline constexpr uint8_t SS_INVALID_SRB = 0xE0;  // invalid parameter set in the block
inline constexpr uint8_t SS_BUFFER_ALIGN = 0xE1;
inline constexpr uint8_t SS_SECURITY_VIOLATION = 0xE2;  // device access refused
inline constexpr uint8_t SS_NO_ASPI = 0xE3;
inline constexpr uint8_t SS_FAILED_INIT = 0xE4;     // generic failure of the manager
inline constexpr uint8_t SS_ASPI_IS_BUSY = 0xE5;    // no resources to execute the request
inline constexpr uint8_t SS_BUFFER_TOO_BIG = 0xE6;  // transfer larger than the manager takes
// Results of the submission library itself.
inline constexpr uint8_t SS_BC_INVALID_CALL = 0xFB;     // no request block
inline constexpr uint8_t SS_BC_LIBRARY_MISSING = 0xFC;  // no backend installed
inline constexpr uint8_t SS_BC_IN_USE = 0xFD;
inline constexpr uint8_t SS_BC_ALLOC_ERROR = 0xFE;
inline constexpr uint8_t SS_BC_COMPARE_ERROR = 0xFF;

// The result of a command (a builder's, the executor's): completed without
// error. Every other value, 0 (refused) included, is a failure.
constexpr bool Succeeded(int16_t result) {
  return result == SS_COMP;
}

// Manager status of GetASPI32SupportInfo / ASPICheck: present and ready.
inline constexpr int16_t kManagerReady = 1;

// ---- Host adapter status (SRB_HaStat) --------------------------------------
inline constexpr uint8_t HASTAT_OK = 0x00;
inline constexpr uint8_t HASTAT_TIMEOUT = 0x09;          // timed out waiting to be processed
inline constexpr uint8_t HASTAT_COMMAND_TIMEOUT = 0x0B;  // adapter timed out processing
inline constexpr uint8_t HASTAT_MESSAGE_REJECT = 0x0D;
inline constexpr uint8_t HASTAT_BUS_RESET = 0x0E;
inline constexpr uint8_t HASTAT_PARITY_ERROR = 0x0F;
inline constexpr uint8_t HASTAT_REQUEST_SENSE_FAILED = 0x10;
inline constexpr uint8_t HASTAT_SEL_TO = 0x11;     // selection timeout: nothing answered
inline constexpr uint8_t HASTAT_DO_DU = 0x12;      // data overrun / underrun
inline constexpr uint8_t HASTAT_BUS_FREE = 0x13;   // unexpected bus free
inline constexpr uint8_t HASTAT_PHASE_ERR = 0x14;  // target bus phase sequence failure

// ---- SCSI target status (SRB_TargStat) -------------------------------------
inline constexpr uint8_t STATUS_GOOD = 0x00;
inline constexpr uint8_t STATUS_CHKCOND = 0x02;  // sense data is in SenseArea

}  // namespace qx
