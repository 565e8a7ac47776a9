// Status and sense message lookups. Every expected text below is typed out in
// full on purpose: the tests exist to catch a changed character in a table.
#include "decode/decode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qx {
namespace {

struct Row {
  int code;
  const char* text;
};

// Expected rows, in search order.
const std::vector<Row> kExpectedSrb = {
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

const std::vector<Row> kExpectedHa = {
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
const std::vector<Row> kExpectedTarget = {
    {0x08, "Target Busy."},
    {0x18, "Request Conflict."},
    {0x10, "Intermediate"},
    {0x14, "Intermediate-condition met"},
    {0x22, "Command Terminated"},
    {0x28, "Queue full"},
};
// clang-format on

const std::vector<Row> kExpectedDrive = {
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

// Additional sense codes whose text does not depend on the ASCQ.
const std::vector<Row> kExpectedAscPlain = {
    {0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x08, "LOGICAL UNIT COMMUNICATION FALURE"},
    {0x10, "ID CRC OR ECC ERROR"},
    {0x11, "ERROR TOO LONG TO CORRECT"},
    {0x15, "RANDOM POSITIONING ERROR"},
    {0x18, "RECOVERED DATA WITH ERROR CORRECTION & RETRIES APPLIED"},
    {0x1D, "MISCOMPARE DURING VERIFY OPERATION"},
    {0x20, "INVALID COMMAND OPERATION CODE"},
    {0x21, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x24, "INVALID FIELD IN CDB"},
    {0x25, "LOGICAL UNIT NOT SUPPORTED"},
    {0x27, "WRITE PROTECTED"},
    {0x28, "NOT READY TO READY TRANSITION(MEDIUM MAY HAVE CHANGED)"},
    {0x29, "POWER ON, RESET OR BUS DEVICE RESET OCCURED"},
    {0x2B, "COPY CANNOT EXECUTE SINSE HOST CANNOT DISCONNECT"},
    {0x2F, "COMMANDS CLEARED BY ANOTHER INITIATOR"},
    {0x39, "SAVING PARAMETERS NOT SUPPORTED"},
    {0x3A, "MEDIUM NOT PRESENT"},
    {0x3D, "INVALID BITS IDENTIFY MESSAGE"},
    {0x43, "MESSAGE ERROR"},
    {0x44, "INTERNAL TARGET FAILURE"},
    {0x45, "SELECT OR RESELECT FAILURE"},
    {0x47, "SCSI PARITY ERROR"},
    {0x48, "INITIATOR DETECTED ERROR MESSAGE RECEIVED"},
    {0x49, "INVALID MESSAGE ERROR"},
    {0x4E, "OVERLAPPED COMMANDS ATTEMPTED"},
    {0xFF, "UNKNOWN ERROR CODE"},
};

// Additional sense codes whose text depends on the ASCQ.
struct QualifiedRow {
  int asc;
  int ascq;
  const char* text;
};

const std::vector<QualifiedRow> kExpectedAscQualified = {
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY,INITIALIZING COMMAND REQUIRED"},
    {0x09, 0x00, "TRACK FOLLOWING ERROR"},
    {0x09, 0x01, "TRACKING SERVO FAILURE"},
    {0x09, 0x02, "FOCUS SERVO FAILURE"},
    {0x09, 0x03, "SPINDLE SERVO FAILURE"},
    {0x0C, 0x01, "WRITE ERROR RECOVERED WITH AUTO REALLOCATION"},
    {0x0C, 0x02, "WRITE ERROR-AUTO REALLOCATION"},
    {0x19, 0x02, "DEFECT LIST ERROR IN PRIMARY LIST"},
    {0x19, 0x03, "DEFECT LIST ERROR IN GROWN LIST"},
    {0x26, 0x00, "INVALID FIELD INPARAMETER LIST"},
    {0x26, 0x01, "PARAMETER NOT SUPPORTED"},
    {0x26, 0x02, "PARAMETER VALUE INVALID"},
    {0x2A, 0x00, "PARAMETERS CHANGED"},
    {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
    {0x30, 0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
    {0x30, 0x01, "CANNOT READ MEDIUM-UNKNOWN FORMAT"},
    {0x30, 0x02, "CANNOT READ MEDIUM-INCOMPATIBLE FORMAT"},
    {0x31, 0x00, "MEDIUM FORMAT CORRUPTED"},
    {0x31, 0x01, "FORMAT COMMAND FAILED"},
    {0x32, 0x00, "NO DEFECT SPARE LOCATION AVAILABLE"},
    {0x32, 0x01, "DEFECT LIST Download FAILURE"},
    {0x3F, 0x02, "CHANGED OPERATION DEFINITION"},
    {0x3F, 0x03, "INQUIRY DATA HAS CHANGED"},
    {0x40, 0x80, "DRAM ERROR"},
    {0x40, 0x81, "ROM ERROR"},
    {0x40, 0x82, "ROM CHECK SUM ERROR"},
    {0x40, 0x83, "TIMER ERROR"},
    {0x40, 0x84, "LINEAR MOTOR ERROR"},
    {0x40, 0x85, "SPINDLE MOTOR ERROR"},
    {0x40, 0x87, "DRIVE INTERFACE ERROR"},
    {0x40, 0x88, "ROM UPDATE FAILURE"},
    {0x40, 0xFF, "DIAGNOSTIC FAILURE ON COMPONENT"},
    {0x53, 0x00, "MEDIA LOAD OR EJECT FAILED"},
    {0x53, 0x02, "MEDIUM REMOVAL PRESENTED"},
};

std::map<int, std::string> ToMap(const std::vector<Row>& rows) {
  std::map<int, std::string> map;
  for (const Row& row : rows) map.emplace(row.code, row.text);  // first row wins
  return map;
}

// The expected sense text of an independent model built from the rows above.
std::string ExpectedSenseText(int asc, int ascq, int driveCode) {
  if (asc == 0x80) {
    static const auto drive = ToMap(kExpectedDrive);
    const auto it = drive.find(driveCode);
    return it != drive.end() ? it->second : "UNKNOWN ERROR CODE ";
  }
  static const auto plain = ToMap(kExpectedAscPlain);
  if (const auto it = plain.find(asc); it != plain.end()) return it->second;
  bool qualified = false;
  for (const QualifiedRow& row : kExpectedAscQualified) {
    if (row.asc != asc) continue;
    qualified = true;
    if (row.ascq == ascq) return row.text;
  }
  return qualified ? "Unknown QUALIFIRE" : "UNKNOWN ERROR CODE ";
}

const char kHexDigits[] = "0123456789ABCDEF";

std::string ExpectedHex2(int lowByte) {
  return std::string{kHexDigits[(lowByte >> 4) & 0xF], kHexDigits[lowByte & 0xF]};
}

// ---------------------------------------------------------------------------
// Two-digit code text

TEST(Hex2, Examples) {
  EXPECT_EQ(Hex2(0x00), "00");
  EXPECT_EQ(Hex2(0x05), "05");
  EXPECT_EQ(Hex2(0x0A), "0A");
  EXPECT_EQ(Hex2(0x0F), "0F");
  EXPECT_EQ(Hex2(0x10), "10");
  EXPECT_EQ(Hex2(0x3a), "3A");
  EXPECT_EQ(Hex2(0xC7), "C7");
  EXPECT_EQ(Hex2(0xFF), "FF");
}

TEST(Hex2, KeepsOnlyTheLowByte) {
  EXPECT_EQ(Hex2(-1), "FF");
  EXPECT_EQ(Hex2(-2), "FE");
  EXPECT_EQ(Hex2(-256), "00");
  EXPECT_EQ(Hex2(0x100), "00");
  EXPECT_EQ(Hex2(0x1AB), "AB");
  EXPECT_EQ(Hex2(0x7FFF), "FF");
  EXPECT_EQ(Hex2(-32768), "00");
  EXPECT_EQ(Hex2(0x12345678), "78");
}

TEST(Hex2, EveryByteIsTwoUpperCaseDigits) {
  for (int value = 0; value <= 0xFF; ++value) {
    SCOPED_TRACE(value);
    EXPECT_EQ(Hex2(value), ExpectedHex2(value));
    EXPECT_EQ(Hex2(value - 256), ExpectedHex2(value));
  }
}

// ---------------------------------------------------------------------------
// ASPI request status

TEST(DecodeSrbStatus, EveryRow) {
  for (const Row& row : kExpectedSrb) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(SrbStatusMsg(static_cast<int16_t>(row.code)), row.text);
  }
}

TEST(DecodeSrbStatus, Fallbacks) {
  EXPECT_EQ(SrbStatusMsg(0x05), "05:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(0xE7), "E7:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(0xFA), "FA:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(0x83), "83:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(0x7F), "7F:Unknown SRB Status");
}

TEST(DecodeSrbStatus, ComparesOnTheWholeSixteenBitValue) {
  // A negative code never matches a row, even when its low byte would.
  EXPECT_EQ(SrbStatusMsg(-1), "FF:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(-4), "FC:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(-256), "00:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(-32768), "00:Unknown SRB Status");
  // Nor does a code above 0xFF.
  EXPECT_EQ(SrbStatusMsg(0x100), "00:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(0x101), "01:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(0x1FF), "FF:Unknown SRB Status");
  EXPECT_EQ(SrbStatusMsg(0x7FFF), "FF:Unknown SRB Status");
}

TEST(DecodeSrbStatus, EverySixteenBitValue) {
  const auto rows = ToMap(kExpectedSrb);
  for (int code = -32768; code <= 32767; ++code) {
    const auto it = rows.find(code);
    const std::string expected =
        it != rows.end() ? it->second : ExpectedHex2(code & 0xFF) + ":Unknown SRB Status";
    const std::string actual = SrbStatusMsg(static_cast<int16_t>(code));
    if (actual != expected) {
      ADD_FAILURE() << "code " << code << ": got \"" << actual << "\", want \"" << expected << "\"";
    }
  }
}

// ---------------------------------------------------------------------------
// Host-adapter status

TEST(DecodeHaStatus, EveryRow) {
  for (const Row& row : kExpectedHa) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(HaStatusMsg(static_cast<uint8_t>(row.code)), row.text);
  }
}

TEST(DecodeHaStatus, Fallbacks) {
  EXPECT_EQ(HaStatusMsg(0x0A), "0A:Unknown Host Adapter Status");
  EXPECT_EQ(HaStatusMsg(0x01), "01:Unknown Host Adapter Status");
  EXPECT_EQ(HaStatusMsg(0x0C), "0C:Unknown Host Adapter Status");
  EXPECT_EQ(HaStatusMsg(0x15), "15:Unknown Host Adapter Status");
  EXPECT_EQ(HaStatusMsg(0xFF), "FF:Unknown Host Adapter Status");
}

TEST(DecodeHaStatus, EdgeCases) {
  EXPECT_EQ(HaStatusMsg(0x09), "Timed out While SRB was Waiting to beprocessed.");
  EXPECT_EQ(HaStatusMsg(0x10), "The Adapter failed in issuing REQUEST SENCE.");
  EXPECT_EQ(HaStatusMsg(0x11), "Selection Timeout.");
}

TEST(DecodeHaStatus, EveryByte) {
  const auto rows = ToMap(kExpectedHa);
  for (int code = 0; code <= 0xFF; ++code) {
    SCOPED_TRACE(code);
    const auto it = rows.find(code);
    EXPECT_EQ(HaStatusMsg(static_cast<uint8_t>(code)),
              it != rows.end() ? it->second : ExpectedHex2(code) + ":Unknown Host Adapter Status");
  }
}

// ---------------------------------------------------------------------------
// Target status

TEST(DecodeTargetStatus, EveryRow) {
  for (const Row& row : kExpectedTarget) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(TargetStatusMsg(static_cast<uint8_t>(row.code)), row.text);
  }
}

TEST(DecodeTargetStatus, Fallbacks) {
  // GOOD, CHECK CONDITION and CONDITION MET have no row.
  EXPECT_EQ(TargetStatusMsg(0x00), "00:Unknown Target Status !");
  EXPECT_EQ(TargetStatusMsg(0x02), "02:Unknown Target Status !");
  EXPECT_EQ(TargetStatusMsg(0x04), "04:Unknown Target Status !");
  EXPECT_EQ(TargetStatusMsg(0x0A), "0A:Unknown Target Status !");
  EXPECT_EQ(TargetStatusMsg(0xFF), "FF:Unknown Target Status !");
}

TEST(DecodeTargetStatus, EdgeCases) {
  EXPECT_EQ(TargetStatusMsg(0x18), "Request Conflict.");
  EXPECT_EQ(TargetStatusMsg(0x08), "Target Busy.");
}

TEST(DecodeTargetStatus, EveryByte) {
  const auto rows = ToMap(kExpectedTarget);
  for (int code = 0; code <= 0xFF; ++code) {
    SCOPED_TRACE(code);
    const auto it = rows.find(code);
    EXPECT_EQ(TargetStatusMsg(static_cast<uint8_t>(code)),
              it != rows.end() ? it->second : ExpectedHex2(code) + ":Unknown Target Status !");
  }
}

// ---------------------------------------------------------------------------
// Sense data

TEST(DecodeSense, Examples) {
  EXPECT_EQ(SenseMsg(0x3A, 0x00, 0x00), " 3A(00)00:MEDIUM NOT PRESENT");
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0xC3), " 80(00)C3:FOCUS CAPTURE MISS");
  EXPECT_EQ(SenseMsg(0x04, 0x07, 0x00), " 04(07)00:Unknown QUALIFIRE");
}

TEST(DecodeSense, DriveErrorRowsUnderAsc80) {
  for (const Row& row : kExpectedDrive) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(SenseMsg(0x80, 0x00, static_cast<int16_t>(row.code)),
              " 80(00)" + ExpectedHex2(row.code) + ":" + row.text);
  }
}

TEST(DecodeSense, DriveErrorRowsLiteral) {
  EXPECT_EQ(SenseMsg(0x80, 0, 0x00), " 80(00)00:NO ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xA0), " 80(00)A0:DSP ROM ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xA3), " 80(00)A3:DSP A/D CONVERTER ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xA8), " 80(00)A8:DSP A/D CONVERTER CH-4 ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xC6), " 80(00)C6:PUSH-PULL PULSE ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xC8), " 80(00)C8:GALVANO-MIRROR DRIVER ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xC9), " 80(00)C9:LINER MOTOR DRIVER ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xD2), " 80(00)D2:DI COMMAND REJECT");
  EXPECT_EQ(SenseMsg(0x80, 0, 0xF1), " 80(00)F1:SPINDLE MOTOR ERROR");
}

TEST(DecodeSense, DriveErrorIgnoresAscq) {
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0x00), " 80(00)00:NO ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0x01, 0x00), " 80(01)00:NO ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0x5A, 0x00), " 80(5A)00:NO ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0xFF, 0x00), " 80(FF)00:NO ERROR");
  EXPECT_EQ(SenseMsg(0x80, 0x86, 0xB1), " 80(86)B1:LASER ERROR");
}

TEST(DecodeSense, UnknownDriveError) {
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0x99), " 80(00)99:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0x01), " 80(00)01:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0xA9), " 80(00)A9:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0xCC), " 80(00)CC:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0xF2), " 80(00)F2:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x80, 0x00, 0xFF), " 80(00)FF:UNKNOWN ERROR CODE ");
}

TEST(DecodeSense, AscRowsWithoutQualifierIgnoreAscq) {
  for (const Row& row : kExpectedAscPlain) {
    for (int ascq : {0x00, 0x01, 0x07, 0x86, 0xFF}) {
      SCOPED_TRACE(testing::Message() << "asc " << row.code << " ascq " << ascq);
      EXPECT_EQ(SenseMsg(static_cast<int16_t>(row.code), static_cast<int16_t>(ascq), 0x00),
                " " + ExpectedHex2(row.code) + "(" + ExpectedHex2(ascq) + ")00:" + row.text);
    }
  }
}

TEST(DecodeSense, AscRowsWithQualifier) {
  for (const QualifiedRow& row : kExpectedAscQualified) {
    SCOPED_TRACE(testing::Message() << "asc " << row.asc << " ascq " << row.ascq);
    EXPECT_EQ(SenseMsg(static_cast<int16_t>(row.asc), static_cast<int16_t>(row.ascq), 0x00),
              " " + ExpectedHex2(row.asc) + "(" + ExpectedHex2(row.ascq) + ")00:" + row.text);
  }
}

TEST(DecodeSense, AscRowsLiteral) {
  EXPECT_EQ(SenseMsg(0x00, 0x00, 0x00), " 00(00)00:NO ADDITIONAL SENSE INFORMATION");
  EXPECT_EQ(SenseMsg(0x04, 0x02, 0x00),
            " 04(02)00:LOGICAL UNIT NOT READY,INITIALIZING COMMAND REQUIRED");
  EXPECT_EQ(SenseMsg(0x08, 0x00, 0x00), " 08(00)00:LOGICAL UNIT COMMUNICATION FALURE");
  EXPECT_EQ(SenseMsg(0x0C, 0x02, 0x00), " 0C(02)00:WRITE ERROR-AUTO REALLOCATION");
  EXPECT_EQ(SenseMsg(0x18, 0x01, 0x00),
            " 18(01)00:RECOVERED DATA WITH ERROR CORRECTION & RETRIES APPLIED");
  EXPECT_EQ(SenseMsg(0x26, 0x00, 0x00), " 26(00)00:INVALID FIELD INPARAMETER LIST");
  EXPECT_EQ(SenseMsg(0x29, 0x00, 0x00), " 29(00)00:POWER ON, RESET OR BUS DEVICE RESET OCCURED");
  EXPECT_EQ(SenseMsg(0x2B, 0x00, 0x00),
            " 2B(00)00:COPY CANNOT EXECUTE SINSE HOST CANNOT DISCONNECT");
  EXPECT_EQ(SenseMsg(0x32, 0x01, 0x00), " 32(01)00:DEFECT LIST Download FAILURE");
  EXPECT_EQ(SenseMsg(0x40, 0x84, 0x00), " 40(84)00:LINEAR MOTOR ERROR");
  EXPECT_EQ(SenseMsg(0x40, 0xFF, 0x00), " 40(FF)00:DIAGNOSTIC FAILURE ON COMPONENT");
  EXPECT_EQ(SenseMsg(0x53, 0x02, 0x00), " 53(02)00:MEDIUM REMOVAL PRESENTED");
}

TEST(DecodeSense, UnknownQualifier) {
  EXPECT_EQ(SenseMsg(0x40, 0x86, 0x00), " 40(86)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x53, 0x01, 0x00), " 53(01)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x3F, 0x00, 0x00), " 3F(00)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x3F, 0x01, 0x00), " 3F(01)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x19, 0x00, 0x00), " 19(00)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x19, 0x01, 0x00), " 19(01)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x04, 0x00, 0x00), " 04(00)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x0C, 0x00, 0x00), " 0C(00)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x09, 0x04, 0x00), " 09(04)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x26, 0x03, 0x00), " 26(03)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x2A, 0x02, 0x00), " 2A(02)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x30, 0x03, 0x00), " 30(03)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x31, 0x02, 0x00), " 31(02)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x32, 0x02, 0x00), " 32(02)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x40, 0x00, 0x00), " 40(00)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x53, 0xFF, 0x00), " 53(FF)00:Unknown QUALIFIRE");
}

TEST(DecodeSense, UnknownAdditionalSenseCode) {
  // 0xFF has a row of its own without the trailing blank; every other unknown
  // code gets the text with the trailing blank.
  EXPECT_EQ(SenseMsg(0xFF, 0x00, 0x00), " FF(00)00:UNKNOWN ERROR CODE");
  EXPECT_EQ(SenseMsg(0xFF, 0x12, 0x34), " FF(12)34:UNKNOWN ERROR CODE");
  EXPECT_EQ(SenseMsg(0x01, 0x00, 0x00), " 01(00)00:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x3B, 0x00, 0x00), " 3B(00)00:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x81, 0x00, 0x00), " 81(00)00:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0xFE, 0x00, 0x00), " FE(00)00:UNKNOWN ERROR CODE ");
}

TEST(DecodeSense, AscqDoesNotChangePlainRow) {
  EXPECT_EQ(SenseMsg(0x28, 0x00, 0x00),
            " 28(00)00:NOT READY TO READY TRANSITION(MEDIUM MAY HAVE CHANGED)");
  EXPECT_EQ(SenseMsg(0x28, 0x01, 0x00),
            " 28(01)00:NOT READY TO READY TRANSITION(MEDIUM MAY HAVE CHANGED)");
  EXPECT_EQ(SenseMsg(0x28, 0xFF, 0x00),
            " 28(FF)00:NOT READY TO READY TRANSITION(MEDIUM MAY HAVE CHANGED)");
}

TEST(DecodeSense, DriveCodeOnlyMattersUnderAsc80) {
  // The drive code is shown but does not choose the text of other ASCs.
  EXPECT_EQ(SenseMsg(0x3A, 0x00, 0xC3), " 3A(00)C3:MEDIUM NOT PRESENT");
  EXPECT_EQ(SenseMsg(0x00, 0x00, 0xF1), " 00(00)F1:NO ADDITIONAL SENSE INFORMATION");
  EXPECT_EQ(SenseMsg(0x01, 0x00, 0x00), " 01(00)00:UNKNOWN ERROR CODE ");
}

TEST(DecodeSense, AllZeroSense) {
  EXPECT_EQ(SenseMsg(0, 0, 0), " 00(00)00:NO ADDITIONAL SENSE INFORMATION");
}

TEST(DecodeSense, NegativeValuesShowLowByteAndMatchNoRow) {
  // -256 has low byte 0x00 but is not 0x00; -128 has low byte 0x80 but is not 0x80.
  EXPECT_EQ(SenseMsg(-256, 0, 0), " 00(00)00:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(-1, 0, 0), " FF(00)00:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(-128, 0, 0), " 80(00)00:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x80, 0, -256), " 80(00)00:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x80, 0, -1), " 80(00)FF:UNKNOWN ERROR CODE ");
  EXPECT_EQ(SenseMsg(0x40, -128, 0), " 40(80)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x09, -256, 0), " 09(00)00:Unknown QUALIFIRE");
  EXPECT_EQ(SenseMsg(0x3A, -1, -1), " 3A(FF)FF:MEDIUM NOT PRESENT");
}

TEST(DecodeSense, EveryAscAndAscq) {
  for (int asc = 0; asc <= 0xFF; ++asc) {
    for (int ascq = 0; ascq <= 0xFF; ++ascq) {
      const int driveCode = (asc * 7 + ascq) & 0xFF;
      const std::string expected = " " + ExpectedHex2(asc) + "(" + ExpectedHex2(ascq) + ")" + ExpectedHex2(driveCode) +
                                   ":" + ExpectedSenseText(asc, ascq, driveCode);
      const std::string actual = SenseMsg(static_cast<int16_t>(asc), static_cast<int16_t>(ascq),
                                          static_cast<int16_t>(driveCode));
      if (actual != expected) {
        ADD_FAILURE() << "asc " << asc << " ascq " << ascq << " drive " << driveCode << ": got \""
                      << actual << "\", want \"" << expected << "\"";
      }
    }
  }
}

TEST(DecodeSense, EveryDriveCode) {
  for (int driveCode = 0; driveCode <= 0xFF; ++driveCode) {
    SCOPED_TRACE(driveCode);
    EXPECT_EQ(SenseMsg(0x80, 0x2C, static_cast<int16_t>(driveCode)),
              " 80(2C)" + ExpectedHex2(driveCode) + ":" + ExpectedSenseText(0x80, 0x2C, driveCode));
  }
}

}  // namespace
}  // namespace qx
