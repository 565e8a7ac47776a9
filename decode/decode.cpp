#include "decode/decode.h"

#include <span>
#include <string_view>

namespace qx {

namespace {

// One (code, text) row of a lookup table.
struct CodeText {
  int code;
  std::string_view text;
};

// One row of the additional sense code table: either a text that ignores the
// ASCQ (`qualifiers` empty), or a list of (ASCQ, text) rows.
struct AscRow {
  int asc;
  std::string_view text;
  std::span<const CodeText> qualifiers;
};

constexpr CodeText kSrbStatus[] = {
    {0x00, "SRB being processed"},
    {0x01, "SRB completed without error"},
    {0x02, "SRB aborted"},
    {0x03, "Unable to abort SRB"},
    {0x04, "SRB completed with error"},
    {0x80, "Invalid ASPI command"},
    {0x81, "Invalid host adapter number"},
    {0x82, "SCSI device not installed"},
    {0xE0, "Invalid parameter set in SRB"},
    {0xE1, "Buffer alignment problem"},
    {0xE2, "Device access security"},
    {0xE3, "No ASPI managers resident"},
    {0xE4, "ASPI for windows failed init"},
    {0xE5, "No resources available to execute cmd"},
    {0xE6, "Buffer size to big to handle!"},
    {0xFF, "Data Compare Error"},
    {0xFE, "memory Alloc Error"},
    {0xFD, "Inuse"},
    {0xFB, "Invalid BCconv Call"},
    {0xFC, "BCconv Error(File Not Found)"},
};

constexpr CodeText kHaStatus[] = {
    {0x00, "Host adapter did not detect an error."},
    {0x11, "Selection Timeout."},
    {0x12, "Data overrun data underrun."},
    {0x13, "Unexpected bus free."},
    {0x14, "Target bus phase sequence failure."},
    {0x09, "Timed out While SRB was Waiting to beprocessed."},
    {0x0B, "While Processing the SRB, the adapter timed out."},
    {0x0D, "While Processing SRB, the adapter received a MESSAGE REJECT."},
    {0x0E, "A bus reset was detected."},
    {0x0F, "A parity error was detected."},
    {0x10, "The Adapter failed in issuing REQUEST SENCE."},
};

// clang-format off
constexpr CodeText kTargetStatus[] = {
    {0x08, "Target Busy."},
    {0x18, "Request Conflict."},
    {0x10, "Intermediate"},
    {0x14, "Intermediate-condition met"},
    {0x22, "Command Terminated"},
    {0x28, "Queue full"},
};
// clang-format on

// The drive's own error codes, reported under ASC 0x80 in sense byte 19.
constexpr CodeText kDriveError[] = {
    {0x00, "NO ERROR"},
    {0xA0, "DSP ROM ERROR"},
    {0xA1, "DSP RAM ERROR"},
    {0xA2, "DSP TIMER ERROR"},
    {0xA3, "DSP A/D CONVERTER ERROR"},
    {0xA4, "DSP A/D CONVERTER CH-0 ERROR"},
    {0xA5, "DSP A/D CONVERTER CH-1 ERROR"},
    {0xA6, "DSP A/D CONVERTER CH-2 ERROR"},
    {0xA7, "DSP A/D CONVERTER CH-3 ERROR"},
    {0xA8, "DSP A/D CONVERTER CH-4 ERROR"},
    {0xB0, "TRACK OFF ERROR"},
    {0xB1, "LASER ERROR"},
    {0xC0, "FOCUS SUB SIGNAL ABNORMAL"},
    {0xC1, "FOCUS ADD SIGNAL UPPER ERROR"},
    {0xC2, "FOCUS ADD SIGNAL LOWER ERROR"},
    {0xC3, "FOCUS CAPTURE MISS"},
    {0xC4, "FOCUS OFF ERROR"},
    {0xC5, "TRACKING SUB SIGNAL ABNORMAL"},
    {0xC6, "PUSH-PULL PULSE ERROR"},
    {0xC7, "TRACK CAPTURE MISS"},
    {0xC8, "GALVANO-MIRROR DRIVER ERROR"},
    {0xC9, "LINER MOTOR DRIVER ERROR"},
    {0xCA, "HOME POSITION LED ERROR"},
    {0xCB, "HOME POSITION SERVO ERROR"},
    {0xD0, "DRIVE NOT READY"},
    {0xD1, "DRIVE NOT IDLE"},
    {0xD2, "DI COMMAND REJECT"},
    {0xE0, "SEEK TIME OUT ERROR"},
    {0xE1, "TRACK ON ERROR"},
    {0xF0, "LOADING ERROR"},
    {0xF1, "SPINDLE MOTOR ERROR"},
};

// Qualifier lists of the additional sense codes that distinguish by ASCQ.
constexpr CodeText kAsc04[] = {
    {0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x02, "LOGICAL UNIT NOT READY,INITIALIZING COMMAND REQUIRED"},
};
constexpr CodeText kAsc09[] = {
    {0x00, "TRACK FOLLOWING ERROR"},
    {0x01, "TRACKING SERVO FAILURE"},
    {0x02, "FOCUS SERVO FAILURE"},
    {0x03, "SPINDLE SERVO FAILURE"},
};
constexpr CodeText kAsc0C[] = {
    {0x01, "WRITE ERROR RECOVERED WITH AUTO REALLOCATION"},
    {0x02, "WRITE ERROR-AUTO REALLOCATION"},
};
constexpr CodeText kAsc19[] = {
    {0x02, "DEFECT LIST ERROR IN PRIMARY LIST"},
    {0x03, "DEFECT LIST ERROR IN GROWN LIST"},
};
constexpr CodeText kAsc26[] = {
    {0x00, "INVALID FIELD INPARAMETER LIST"},
    {0x01, "PARAMETER NOT SUPPORTED"},
    {0x02, "PARAMETER VALUE INVALID"},
};
constexpr CodeText kAsc2A[] = {
    {0x00, "PARAMETERS CHANGED"},
    {0x01, "MODE PARAMETERS CHANGED"},
};
constexpr CodeText kAsc30[] = {
    {0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
    {0x01, "CANNOT READ MEDIUM-UNKNOWN FORMAT"},
    {0x02, "CANNOT READ MEDIUM-INCOMPATIBLE FORMAT"},
};
constexpr CodeText kAsc31[] = {
    {0x00, "MEDIUM FORMAT CORRUPTED"},
    {0x01, "FORMAT COMMAND FAILED"},
};
constexpr CodeText kAsc32[] = {
    {0x00, "NO DEFECT SPARE LOCATION AVAILABLE"},
    {0x01, "DEFECT LIST Download FAILURE"},
};
constexpr CodeText kAsc3F[] = {
    {0x02, "CHANGED OPERATION DEFINITION"},
    {0x03, "INQUIRY DATA HAS CHANGED"},
};
constexpr CodeText kAsc40[] = {
    {0x80, "DRAM ERROR"},
    {0x81, "ROM ERROR"},
    {0x82, "ROM CHECK SUM ERROR"},
    {0x83, "TIMER ERROR"},
    {0x84, "LINEAR MOTOR ERROR"},
    {0x85, "SPINDLE MOTOR ERROR"},
    {0x87, "DRIVE INTERFACE ERROR"},
    {0x88, "ROM UPDATE FAILURE"},
    {0xFF, "DIAGNOSTIC FAILURE ON COMPONENT"},
};
constexpr CodeText kAsc53[] = {
    {0x00, "MEDIA LOAD OR EJECT FAILED"},
    {0x02, "MEDIUM REMOVAL PRESENTED"},
};

constexpr AscRow kAdditionalSense[] = {
    {0x00, "NO ADDITIONAL SENSE INFORMATION", {}},
    {0x04, {}, kAsc04},
    {0x08, "LOGICAL UNIT COMMUNICATION FALURE", {}},
    {0x09, {}, kAsc09},
    {0x0C, {}, kAsc0C},
    {0x10, "ID CRC OR ECC ERROR", {}},
    {0x11, "ERROR TOO LONG TO CORRECT", {}},
    {0x15, "RANDOM POSITIONING ERROR", {}},
    {0x18, "RECOVERED DATA WITH ERROR CORRECTION & RETRIES APPLIED", {}},
    {0x19, {}, kAsc19},
    {0x1D, "MISCOMPARE DURING VERIFY OPERATION", {}},
    {0x20, "INVALID COMMAND OPERATION CODE", {}},
    {0x21, "LOGICAL BLOCK ADDRESS OUT OF RANGE", {}},
    {0x24, "INVALID FIELD IN CDB", {}},
    {0x25, "LOGICAL UNIT NOT SUPPORTED", {}},
    {0x26, {}, kAsc26},
    {0x27, "WRITE PROTECTED", {}},
    {0x28, "NOT READY TO READY TRANSITION(MEDIUM MAY HAVE CHANGED)", {}},
    {0x29, "POWER ON, RESET OR BUS DEVICE RESET OCCURED", {}},
    {0x2A, {}, kAsc2A},
    {0x2B, "COPY CANNOT EXECUTE SINSE HOST CANNOT DISCONNECT", {}},
    {0x2F, "COMMANDS CLEARED BY ANOTHER INITIATOR", {}},
    {0x30, {}, kAsc30},
    {0x31, {}, kAsc31},
    {0x32, {}, kAsc32},
    {0x39, "SAVING PARAMETERS NOT SUPPORTED", {}},
    {0x3A, "MEDIUM NOT PRESENT", {}},
    {0x3D, "INVALID BITS IDENTIFY MESSAGE", {}},
    {0x3F, {}, kAsc3F},
    {0x40, {}, kAsc40},
    {0x43, "MESSAGE ERROR", {}},
    {0x44, "INTERNAL TARGET FAILURE", {}},
    {0x45, "SELECT OR RESELECT FAILURE", {}},
    {0x47, "SCSI PARITY ERROR", {}},
    {0x48, "INITIATOR DETECTED ERROR MESSAGE RECEIVED", {}},
    {0x49, "INVALID MESSAGE ERROR", {}},
    {0x4E, "OVERLAPPED COMMANDS ATTEMPTED", {}},
    {0x53, {}, kAsc53},
    {0xFF, "UNKNOWN ERROR CODE", {}},
};

// ASC under which the drive reports its own error code in sense byte 19.
constexpr int kAscDriveError = 0x80;

constexpr std::string_view kUnknownErrorCode = "UNKNOWN ERROR CODE ";
constexpr std::string_view kUnknownQualifier = "Unknown QUALIFIRE";

// Searches `table` from first to last row; the first row whose code equals
// `code` wins. Returns nullptr when no row matches.
constexpr const std::string_view* Find(std::span<const CodeText> table, int code) {
  for (const CodeText& row : table) {
    if (row.code == code) return &row.text;
  }
  return nullptr;
}

std::string Lookup(std::span<const CodeText> table, int code, std::string_view unknownSuffix) {
  if (const std::string_view* text = Find(table, code)) return std::string(*text);
  return Hex2(code) + std::string(unknownSuffix);
}

std::string_view AdditionalSenseText(int asc, int ascq) {
  for (const AscRow& row : kAdditionalSense) {
    if (row.asc != asc) continue;
    if (row.qualifiers.empty()) return row.text;
    if (const std::string_view* text = Find(row.qualifiers, ascq)) return *text;
    return kUnknownQualifier;
  }
  return kUnknownErrorCode;
}

}  // namespace

std::string SrbStatusMsg(int16_t code) {
  return Lookup(kSrbStatus, code, ":Unknown SRB Status");
}

std::string HaStatusMsg(uint8_t status) {
  return Lookup(kHaStatus, status, ":Unknown Host Adapter Status");
}

std::string TargetStatusMsg(uint8_t status) {
  return Lookup(kTargetStatus, status, ":Unknown Target Status !");
}

std::string SenseMsg(int16_t asc, int16_t ascq, int16_t driveCode) {
  std::string_view text;
  if (asc == kAscDriveError) {
    const std::string_view* found = Find(kDriveError, driveCode);
    text = found ? *found : kUnknownErrorCode;
  } else {
    text = AdditionalSenseText(asc, ascq);
  }
  std::string result = " ";
  result += Hex2(asc);
  result += '(';
  result += Hex2(ascq);
  result += ')';
  result += Hex2(driveCode);
  result += ':';
  result += text;
  return result;
}

std::string_view DeviceTypeName(uint8_t type) {
  static constexpr std::string_view kNames[] = {"disk",
                                                "tape drive",
                                                "printer",
                                                "processor",
                                                "write-once drive",
                                                "CD/DVD drive",
                                                "scanner",
                                                "optical memory drive",
                                                "medium changer",
                                                "communications device"};
  if (type < std::size(kNames)) return kNames[type];
  switch (type) {
    case 0x0C:
      return "storage array controller";
    case 0x0D:
      return "enclosure";
    case 0x0E:
      return "simplified disk";
    case 0x0F:
      return "optical card reader";
    default:
      return "device of unknown type";
  }
}

}  // namespace qx
