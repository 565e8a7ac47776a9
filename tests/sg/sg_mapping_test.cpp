// Tables of the SG_IO device layer: Linux host, driver and target status, and
// OS errors.
#include "transport/sg/sg_mapping.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qx::sg {
namespace {

constexpr Category kGood = Category::kGood, kStatus = Category::kStatus, kSense = Category::kSense,
                   kTransport = Category::kTransport, kTimeout = Category::kTimeout,
                   kAborted = Category::kAborted;

TEST(SgHostMap, NearestAspiMeaning) {
  const struct {
    uint16_t did;
    Completion want;
  } cases[] = {
      {kDidOk, {kGood, 0}},
      {kDidNoConnect, {kTransport, 0x11}},
      {kDidBusBusy, {kTransport, 0x09}},
      {kDidTimeOut, {kTimeout, 0x0B}},
      {kDidBadTarget, {kTransport, 0x11}},
      {kDidAbort, {kAborted, 0}},
      {kDidParity, {kTransport, 0x0F}},
      {kDidError, {kTransport, 0x14}},
      {kDidReset, {kTransport, 0x0E}},
      {kDidBadIntr, {kTransport, 0x13}},
      {kDidSoftError, {kTransport, 0x09}},
      {kDidImmRetry, {kTransport, 0x09}},
      {kDidRequeue, {kTransport, 0x09}},
      {kDidTransportDisrupted, {kTransport, 0x13}},
      {kDidTransportFailfast, {kTransport, 0x13}},
      {kDidTransportMarginal, {kTransport, 0x13}},
      {0x77, {kTransport, 0x14}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MapCompletion(STATUS_GOOD, c.did, kDriverOk, 0), c.want) << "host " << c.did;
  }
  // Every row is a failure the executor can put into words.
  for (const HostRow& row : HostTable()) {
    EXPECT_TRUE(row.category == kAborted || row.ha_stat != 0) << row.name;
  }
  EXPECT_STREQ(MapHostStatus(0x77).name, "DID_UNKNOWN");
}

TEST(SgCompletion, GoodOnlyWhenAllThreeSaySo) {
  const struct {
    const char* what;
    uint8_t status;
    uint16_t host, driver;
    uint8_t sense_bytes;
    Completion want;
  } cases[] = {
      {"good", 0x00, 0, 0, 0, {kGood, 0}},
      {"suggest bits alone", 0x00, 0, 0x10, 0, {kGood, 0}},
      {"check condition", 0x02, 0, kDriverSense, 18, {kSense, 0}},
      {"check condition, no sense", 0x02, 0, 0, 0, {kStatus, 0}},
      {"busy", 0x08, 0, 0, 0, {kStatus, 0}},
      {"condition met", 0x04, 0, 0, 0, {kStatus, 0}},
      {"driver timeout", 0x00, 0, kDriverTimeout, 0, {kTimeout, 0x0B}},
      {"driver error", 0x00, 0, kDriverError, 0, {kTransport, 0x14}},
      {"driver busy", 0x00, 0, kDriverBusy, 0, {kTransport, 0x09}},
      {"media error + sense", 0x02, 0, kDriverMedia | kDriverSense, 18, {kSense, 0}},
      {"host beats good status", 0x00, kDidNoConnect, 0, 0, {kTransport, 0x11}},
      {"reset during check", 0x02, kDidReset, kDriverSense, 18, {kTransport, 0x0E}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MapCompletion(c.status, c.host, c.driver, c.sense_bytes), c.want) << c.what;
  }
}

TEST(SgErrno, SubmissionResultAndHint) {
  const struct {
    int err;
    uint8_t status;
    const char* hint;
  } cases[] = {
      {EACCES, 0xE2, "run as root or give your user read/write access to /dev/sg4"},
      {EPERM, 0xE2, "read/write access"},
      {ENOMEM, 0xE5, "16384 bytes"},
      {EINVAL, 0xE0, "largest transfer"},
      {ENODEV, 0x82, "Rescan"},
      {ENXIO, 0x82, "Rescan"},
      {ENOENT, 0x82, "Rescan"},
      {EBUSY, 0xFD, "in use"},
      {EINTR, SS_ABORTED, "interrupted"},
      {EIO, 0xE4, "/dev/sg4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SrbStatusForErrno(c.err), c.status) << c.err;
    const std::string hint = HintForErrno(c.err, "/dev/sg4", 16384);
    EXPECT_NE(hint.find(c.hint), std::string::npos) << c.err;
    // A vanished device answers like an absent target.
    const passthrough::Failure f = ErrnoFailure(c.err, "/dev/sg4", 16384);
    const bool gone = IsVanishedErrno(c.err);
    EXPECT_EQ(gone, c.status == SS_NO_DEVICE) << c.err;
    EXPECT_EQ(f.status, gone ? SS_ERR : c.status) << c.err;
    EXPECT_EQ(f.host_status, gone ? HASTAT_SEL_TO : 0) << c.err;
    EXPECT_EQ(f.error, c.err);
    EXPECT_EQ(f.hint, hint);
  }
}

}  // namespace
}  // namespace qx::sg
