// Tables of the SCSI pass-through device layer: Windows errors, request
// fields, bus types.
#include "transport/spti/spti_mapping.h"

#include <gtest/gtest.h>

#include <string>

namespace qx::spti {
namespace {

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
    // A vanished device answers like an absent target, and only then is the
    // host adapter status more than the row's with SS_ERR.
    const passthrough::Failure f = ErrorFailure(c.error, "\\\\.\\CdRom0", 16384);
    EXPECT_EQ(f.status, c.vanished ? SS_ERR : c.status) << c.error;
    EXPECT_EQ(f.host_status, c.status == SS_ERR || c.vanished ? c.ha_stat : 0) << c.error;
    EXPECT_EQ(f.error, static_cast<long>(c.error));
    EXPECT_EQ(f.hint, hint);
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

}  // namespace
}  // namespace qx::spti
