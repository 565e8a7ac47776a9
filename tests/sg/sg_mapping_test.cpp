// Tables of the SG_IO backend: data direction, Linux status codes, sense format
// and OS errors.
#include "transport/sg/sg_mapping.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "aspi/srb.h"

namespace qx::sg {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr Direction kIn = Direction::kIn, kOut = Direction::kOut, kNone = Direction::kNone;

TEST(SgDirection, FollowsTheOperationCode) {
  const struct {
    Bytes cdb;
    uint32_t length;
    Direction want;
  } cases[] = {
      {{0x12, 0, 0, 0, 0x3A, 0}, 58, kIn},                                // INQUIRY
      {{0x3C, 1, 1, 0, 0, 0, 0, 0x10, 4, 0}, 4100, kIn},                  // READ BUFFER
      {{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0}, 16384, kOut},                // WRITE BUFFER
      {{0x3B, 5, 0, 0, 0, 0, 0, 0, 0, 0}, 0, kNone},                      // ... of length 0
      {{0, 0, 0, 0, 0, 0xC0}, 0, kNone},                                  // TEST UNIT READY
      {{0, 0, 0, 0, 0, 0}, 8, kNone},                                     // ... stray length
      {{0x1B, 0, 0, 0, 1, 0}, 0, kNone},                                  // START STOP UNIT
      {{0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0}, 5, kIn},   // memory read
      {{0xDF, 0, 0xD9, 0, 1, 0, 2, 0, 0, 0, 0, 0}, 2, kIn},               // DI IN
      {{0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0}, 4, kNone},       // DI OUT, stray length
      {{0xDF, 0, 0xE0, 0, 0x0A, 0, 0, 0, 0, 0, 0x10, 0x80}, 37855, kIn},  // read long
      {{0xDF, 0, 0xE0, 0, 0x00, 0, 0, 0, 0, 0, 0x10, 0x80}, 256, kIn},    // header check
      {{0xDF, 0, 0xE0, 0, 0x0C, 0, 0, 0, 0, 0, 0x10, 0x80}, 280, kIn},    // error byte check
      {{0xDF, 0, 0xE0, 0xAA, 0x01, 0, 0x12, 0x34, 0, 0x12, 0x43, 0x80}, 1, kIn},  // data write
      {{0xDF, 0, 0xE0, 0, 0x0D, 0, 0, 0, 0, 0, 1, 0x80}, 1, kIn},                 // erase
      {{0xDF, 0}, 4, kIn},                            // short vendor block
      {{0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, kIn},  // unknown: never out
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataDirection(c.cdb, c.length), c.want)
        << "opcode " << int{c.cdb[0]} << " function " << (c.cdb.size() > 2 ? c.cdb[2] : 0);
  }
}

TEST(SgHostMap, NearestAspiMeaning) {
  const struct {
    uint16_t did;
    uint8_t srb_status, ha_stat;
  } cases[] = {
      {kDidOk, SS_COMP, 0},
      {kDidNoConnect, SS_ERR, 0x11},
      {kDidBusBusy, SS_ERR, 0x09},
      {kDidTimeOut, SS_ERR, 0x0B},
      {kDidBadTarget, SS_ERR, 0x11},
      {kDidAbort, SS_ABORTED, 0},
      {kDidParity, SS_ERR, 0x0F},
      {kDidError, SS_ERR, 0x14},
      {kDidReset, SS_ERR, 0x0E},
      {kDidBadIntr, SS_ERR, 0x13},
      {kDidSoftError, SS_ERR, 0x09},
      {kDidImmRetry, SS_ERR, 0x09},
      {kDidRequeue, SS_ERR, 0x09},
      {kDidTransportDisrupted, SS_ERR, 0x13},
      {kDidTransportFailfast, SS_ERR, 0x13},
      {kDidTransportMarginal, SS_ERR, 0x13},
      {0x77, SS_ERR, 0x14},
  };
  for (const auto& c : cases) {
    const Completion got = MapCompletion(STATUS_GOOD, c.did, kDriverOk, 0);
    EXPECT_EQ(got.srb_status, c.srb_status) << "host " << c.did;
    EXPECT_EQ(got.ha_stat, c.ha_stat) << "host " << c.did;
  }
  // Every row is a failure the executor can put into words.
  for (const HostRow& row : HostTable()) {
    EXPECT_TRUE(row.srb_status == SS_ABORTED || (row.srb_status == SS_ERR && row.ha_stat != 0))
        << row.name;
  }
}

TEST(SgCompletion, SuccessOnlyWhenAllThreeSaySo) {
  const struct {
    const char* what;
    uint8_t status;
    uint16_t host, driver;
    uint8_t sense_bytes;
    Completion want;
  } cases[] = {
      {"good", 0x00, 0, 0, 0, {SS_COMP, 0, 0, false}},
      {"suggest bits alone", 0x00, 0, 0x10, 0, {SS_COMP, 0, 0, false}},
      {"check condition", 0x02, 0, kDriverSense, 18, {SS_ERR, 0, 0x02, true}},
      {"check condition, no sense", 0x02, 0, 0, 0, {SS_ERR, 0x10, 0x02, false}},
      {"busy", 0x08, 0, 0, 0, {SS_ERR, 0, 0x08, false}},
      {"condition met", 0x04, 0, 0, 0, {SS_ERR, 0, 0x04, false}},
      {"driver timeout", 0x00, 0, kDriverTimeout, 0, {SS_ERR, 0x0B, 0, false}},
      {"driver error", 0x00, 0, kDriverError, 0, {SS_ERR, 0x14, 0, false}},
      {"driver busy", 0x00, 0, kDriverBusy, 0, {SS_ERR, 0x09, 0, false}},
      {"media error + sense", 0x02, 0, kDriverMedia | kDriverSense, 18, {SS_ERR, 0, 0x02, true}},
      {"host beats good status", 0x00, kDidNoConnect, 0, 0, {SS_ERR, 0x11, 0, false}},
      {"reset during check", 0x02, kDidReset, kDriverSense, 18, {SS_ERR, 0x0E, 0x02, true}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MapCompletion(c.status, c.host, c.driver, c.sense_bytes), c.want) << c.what;
  }
}

Bytes Fixed(const Bytes& in, size_t room = 256) {
  Bytes out(room, 0xEE);
  out.resize(ToFixedSense(in, out));
  return out;
}

TEST(SgSense, FixedFormatIsCopiedWithinTheRoom) {
  Bytes in(20, 0);
  in[0] = 0xF0;  // VALID bit on a fixed-format response code (libata)
  in[2] = 0x05;
  in[12] = 0x20;
  in[19] = 0xC3;
  EXPECT_EQ(Fixed(in), in);
  EXPECT_EQ(Fixed(in, 8), Bytes(in.begin(), in.begin() + 8));
  EXPECT_TRUE(Fixed({}).empty());
}

TEST(SgSense, DescriptorFormatBecomesFixed) {
  const Bytes info = {0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};
  const struct {
    const char* what;
    Bytes in;
    std::vector<std::pair<size_t, uint8_t>> want;  // fixed-format byte -> value
  } cases[] = {
      {"no descriptors", {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0}, {{0, 0x70}, {2, 5}, {12, 0x20}}},
      {"deferred, bit 7 set", {0xF3, 0x06, 0x29, 0x02, 0, 0, 0, 0}, {{0, 0x71}, {13, 0x02}}},
      {"information", {0x72, 3, 0x11, 0, 0, 0, 0, 12}, {{0, 0xF0}, {5, 0x12}, {6, 0x34}}},
      {"information, VALID clear", {0x72, 3, 0x11, 0, 0, 0, 0, 12}, {{0, 0x70}, {6, 0x34}}},
      {"information over 32 bits", {0x72, 3, 0x11, 0, 0, 0, 0, 12}, {{0, 0x70}}},
      {"key specific, FRU, ILI",
       {0x72, 5, 0x24, 0, 0, 0, 0, 16, 2, 6, 0, 0, 0xCF, 0, 2, 0, 3, 2, 0, 0x5A, 5, 2, 0, 0x20},
       {{2, 0x25}, {14, 0x5A}, {15, 0xCF}, {17, 0x02}}},
      {"descriptor past the end",
       {0x72, 4, 0x44, 0, 0, 0, 0, 12, 0, 0x0A, 0x80, 0},
       {{0, 0x70}, {2, 4}, {3, 0}}},
      {"truncated header", {0x72, 0x02}, {{2, 0x02}, {12, 0}}},
  };
  for (auto c : cases) {
    const std::string what = c.what;
    if (what.rfind("information", 0) == 0) {
      c.in.insert(c.in.end(), info.begin(), info.end());
      if (what == "information, VALID clear") c.in[10] = 0;
      if (what == "information over 32 bits") c.in[15] = 1;
    }
    const Bytes out = Fixed(c.in);
    ASSERT_EQ(out.size(), kFixedSenseLength) << c.what;
    EXPECT_EQ(out[7], 10) << c.what;
    for (const auto& [index, value] : c.want)
      EXPECT_EQ(out[index], value) << c.what << " @" << index;
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
    EXPECT_NE(HintForErrno(c.err, "/dev/sg4", 16384).find(c.hint), std::string::npos) << c.err;
  }
}

}  // namespace
}  // namespace qx::sg
