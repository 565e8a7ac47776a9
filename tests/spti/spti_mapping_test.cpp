// Tables of the SCSI pass-through backend (status byte, Windows errors, request
// fields, bus types) and the helpers it shares with the other pass-through
// backends (data direction, sense format).
#include "transport/spti/spti_mapping.h"

#include <gtest/gtest.h>

#include <vector>

#include "aspi/data_direction.h"
#include "aspi/sense_format.h"

namespace qx::spti {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(SptiStatus, SuccessOnlyForGood) {
  const struct {
    uint8_t status, sense;
    Completion want;
  } cases[] = {
      {0x00, 0, {SS_COMP, 0, 0, false}},
      {0x00, 18, {SS_COMP, 0, 0, false}},  // stray sense length after GOOD
      {0x02, 18, {SS_ERR, 0, 0x02, true}},
      {0x02, 0, {SS_ERR, HASTAT_REQUEST_SENSE_FAILED, 0x02, false}},
      {0x08, 0, {SS_ERR, 0, 0x08, false}},
      {0x18, 0, {SS_ERR, 0, 0x18, false}},
      {0x04, 0, {SS_ERR, 0, 0x04, false}},
  };
  for (const auto& c : cases) EXPECT_EQ(MapScsiStatus(c.status, c.sense), c.want) << int{c.status};
}

TEST(SptiErrors, NearestAspiMeaningAndHint) {
  const struct {
    DWORD error;
    uint8_t status, ha_stat;
    bool vanished;
    const char* hint;
  } cases[] = {
      {ERROR_ACCESS_DENIED, 0xE2, 0, false, "run qxflash as administrator"},
      {ERROR_PRIVILEGE_NOT_HELD, 0xE2, 0, false, "run qxflash as administrator"},
      {ERROR_NOT_ENOUGH_MEMORY, 0xE5, 0, false, "16384 bytes"},
      {ERROR_NO_SYSTEM_RESOURCES, 0xE5, 0, false, "was not sent"},
      {ERROR_INVALID_PARAMETER, 0xE0, 0, false, "largest transfer"},
      {ERROR_FILE_NOT_FOUND, 0x82, 0x11, true, "Rescan"},
      {ERROR_DEV_NOT_EXIST, 0x82, 0x11, true, "Rescan"},
      {ERROR_DEVICE_REMOVED, 0x82, 0x11, true, "removed or renumbered"},
      {ERROR_DEVICE_NOT_CONNECTED, 0x82, 0x11, true, "selection timeout"},
      {ERROR_SHARING_VIOLATION, 0xFD, 0, false, "in use"},
      {ERROR_BUSY, 0xFD, 0, false, "in use"},
      {ERROR_SEM_TIMEOUT, SS_ERR, 0x0B, false, "timed out"},
      {ERROR_TIMEOUT, SS_ERR, 0x0B, false, "timed out"},
      {ERROR_IO_DEVICE, SS_ERR, 0x14, false, "reported an error"},
      {ERROR_BUS_RESET, SS_ERR, 0x0E, false, "bus reset"},
      {ERROR_CRC, SS_ERR, 0x0F, false, "parity or CRC"},
      {ERROR_OPERATION_ABORTED, SS_ABORTED, 0, false, "may have run"},
      {ERROR_INVALID_FUNCTION, 0xE4, 0, false, "does not take SCSI pass-through"},
      {ERROR_NOT_SUPPORTED, 0xE4, 0, false, "does not take SCSI pass-through"},
      {ERROR_GEN_FAILURE, 0xE4, 0, false, "\\\\.\\CdRom0: ERROR_UNKNOWN (Windows error 31)"},
  };
  for (const auto& c : cases) {
    const ErrorRow row = MapError(c.error);
    EXPECT_EQ(row.srb_status, c.status) << c.error;
    EXPECT_EQ(row.ha_stat, c.ha_stat) << c.error;
    EXPECT_EQ(row.vanished, c.vanished) << c.error;
    const std::string hint = HintForError(c.error, "\\\\.\\CdRom0", 16384);
    EXPECT_NE(hint.find(c.hint), std::string::npos) << c.error << ": " << hint;
    EXPECT_NE(hint.find("(Windows error " + std::to_string(c.error) + ")"), std::string::npos)
        << hint;
  }
  // Every row is a failure the executor can put into words.
  for (const ErrorRow& row : ErrorTable()) {
    EXPECT_TRUE(row.srb_status != SS_COMP && row.srb_status != SS_PENDING) << row.name;
    EXPECT_TRUE(row.srb_status != SS_ERR || row.ha_stat != 0) << row.name;
  }
  // Only a refusal of the ioctl itself lets the buffered form be tried.
  for (DWORD e : {DWORD{ERROR_INVALID_FUNCTION}, DWORD{ERROR_NOT_SUPPORTED}}) {
    EXPECT_TRUE(IsRefusedIoctl(e));
  }
  for (DWORD e : {DWORD{ERROR_SEM_TIMEOUT}, DWORD{ERROR_IO_DEVICE}, DWORD{ERROR_INVALID_PARAMETER},
                  DWORD{0}}) {
    EXPECT_FALSE(IsRefusedIoctl(e)) << e;
  }
}

TEST(SptiFields, TimeoutTransferLimitAlignmentBusType) {
  using std::chrono::milliseconds;
  EXPECT_EQ(TimeoutSeconds(milliseconds(-1)), 1u);
  EXPECT_EQ(TimeoutSeconds(milliseconds(999)), 1u);
  EXPECT_EQ(TimeoutSeconds(milliseconds(1999)), 2u);
  EXPECT_EQ(TimeoutSeconds(milliseconds(300'000)), 300u);
  EXPECT_EQ(TimeoutSeconds(milliseconds(1LL << 62)), 0xFFFFFFFFu);

  EXPECT_EQ(TransferLimit(32768, 8), 32768u);      // wine
  EXPECT_EQ(TransferLimit(65536, 4), 16384u);      // few pages
  EXPECT_EQ(TransferLimit(1 << 20, 0), 1u << 20);  // no page limit
  EXPECT_EQ(AlignmentFor(0), 1u);
  EXPECT_EQ(AlignmentFor(3), 4u);
  EXPECT_EQ(AlignmentFor(0x1FF), 512u);
  EXPECT_EQ(AlignmentFor(0x1000), 8192u) << "a page size given as the mask";

  EXPECT_EQ(BusTypeName(BusTypeScsi), "SCSI");
  EXPECT_EQ(BusTypeName(BusTypeAtapi), "ATAPI");
  EXPECT_EQ(BusTypeName(BusTypeUsb), "USB");
  EXPECT_EQ(BusTypeName(BusTypeSata), "SATA");
  EXPECT_EQ(BusTypeName(0x7E), "bus type 126");
}

constexpr Direction kIn = Direction::kIn, kOut = Direction::kOut, kNone = Direction::kNone;

TEST(SharedDirection, FollowsTheOperationCode) {
  const struct {
    Bytes cdb;
    uint32_t length;
    Direction want;
  } cases[] = {
      {{0x12, 0, 0, 0, 0x3A, 0}, 58, kIn},                                        // INQUIRY
      {{0x3C, 1, 1, 0, 0, 0, 0, 0x10, 4, 0}, 4100, kIn},                          // READ BUFFER
      {{0x03, 0, 0, 0, 18, 0}, 18, kIn},                                          // REQUEST SENSE
      {{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0}, 16384, kOut},                        // WRITE BUFFER
      {{0x3B, 5, 0, 0, 0, 0, 0, 0, 0, 0}, 0, kNone},                              // ... of length 0
      {{0, 0, 0, 0, 0, 0}, 8, kNone},                                             // TEST UNIT READY
      {{0x1B, 0, 0, 0, 1, 0}, 0, kNone},                                          // START STOP UNIT
      {{0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0}, 5, kIn},           // memory read
      {{0xDF, 0, 0xD9, 0, 1, 0, 2, 0, 0, 0, 0, 0}, 2, kIn},                       // DI IN
      {{0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0}, 4, kNone},               // DI OUT
      {{0xDF, 0, 0xE0, 0, 0x0A, 0, 0, 0, 0, 0, 0x10, 0x80}, 37855, kIn},          // read long
      {{0xDF, 0, 0xE0, 0xAA, 0x01, 0, 0x12, 0x34, 0, 0x12, 0x43, 0x80}, 1, kIn},  // data write
      {{0xDF, 0}, 4, kIn},                            // short vendor block
      {{0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, kIn},  // unknown: never out
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataDirection(c.cdb, c.length), c.want) << "opcode " << int{c.cdb[0]};
  }
}

TEST(SharedSense, DescriptorFormatBecomesFixedAndFixedIsCopied) {
  Bytes out(256, 0xEE);
  const Bytes fixed = {0xF0, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0xC3};
  EXPECT_EQ(ToFixedSense(fixed, out), fixed.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 20), fixed);
  EXPECT_EQ(ToFixedSense(fixed, std::span<uint8_t>(out.data(), 8)), 8u);

  const Bytes descriptor = {0x72, 3, 0x11, 0, 0, 0, 0, 12, 0,    0x0A,
                            0x80, 0, 0,    0, 0, 0, 0, 0,  0x12, 0x34};
  ASSERT_EQ(ToFixedSense(descriptor, out), kFixedSenseLength);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 14),
            (Bytes{0xF0, 0, 3, 0, 0, 0x12, 0x34, 10, 0, 0, 0, 0, 0x11, 0}));
  const Bytes deferred = {0xF3, 0x06, 0x29, 0x02, 0, 0, 0, 0};
  ToFixedSense(deferred, out);
  EXPECT_EQ(out[0], 0x71);
  EXPECT_EQ(out[2], 6);
  EXPECT_EQ(out[13], 2);
  EXPECT_EQ(ToFixedSense({}, out), 0u);
}

}  // namespace
}  // namespace qx::spti
