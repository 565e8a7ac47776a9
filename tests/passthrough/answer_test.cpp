// What every system's transfer is read with: the data direction of a command,
// sense data in fixed format, and the category of a device's status byte.
#include <gtest/gtest.h>

#include <vector>

#include "aspi/data_direction.h"
#include "aspi/sense_format.h"
#include "aspi/status_codes.h"
#include "transport/passthrough/device.h"

namespace qx::passthrough {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr Direction kIn = Direction::kIn, kOut = Direction::kOut, kNone = Direction::kNone;

TEST(Direction, FollowsTheOperationCode) {
  const struct {
    Bytes cdb;
    uint32_t length;
    Direction want;
  } cases[] = {
      {{0x12, 0, 0, 0, 0x3A, 0}, 58, kIn},                                // INQUIRY
      {{0x3C, 1, 1, 0, 0, 0, 0, 0x10, 4, 0}, 4100, kIn},                  // READ BUFFER
      {{0x03, 0, 0, 0, 18, 0}, 18, kIn},                                  // REQUEST SENSE
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

Bytes Fixed(const Bytes& in, size_t room = 256) {
  Bytes out(room, 0xEE);
  out.resize(ToFixedSense(in, out));
  return out;
}

TEST(Sense, FixedFormatIsCopiedWithinTheRoom) {
  Bytes in(20, 0);
  in[0] = 0xF0;  // VALID bit on a fixed-format response code (libata)
  in[2] = 0x05;
  in[7] = 10;
  in[12] = 0x20;
  in[19] = 0xC3;
  EXPECT_EQ(Fixed(in), in);
  EXPECT_EQ(Fixed(in, 8), Bytes(in.begin(), in.begin() + 8));
  EXPECT_TRUE(Fixed({}).empty());
}

TEST(Sense, DescriptorFormatBecomesFixed) {
  const Bytes info = {0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};
  const struct {
    const char* what;
    Bytes in;
    std::vector<std::pair<size_t, uint8_t>> want;  // fixed-format byte -> value
  } cases[] = {
      {"no descriptors", {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0}, {{0, 0x70}, {2, 5}, {12, 0x20}}},
      {"deferred, bit 7 set", {0xF3, 0x06, 0x29, 0x02, 0, 0, 0, 0}, {{0, 0x71}, {2, 6}, {13, 2}}},
      {"information",
       {0x72, 3, 0x11, 0, 0, 0, 0, 12},
       {{0, 0xF0},
        {1, 0},
        {2, 3},
        {3, 0},
        {4, 0},
        {5, 0x12},
        {6, 0x34},
        {8, 0},
        {9, 0},
        {10, 0},
        {11, 0},
        {12, 0x11},
        {13, 0}}},
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

TEST(Status, GoodOnlyForGood) {
  const struct {
    uint8_t status;
    size_t sense;
    Category want;
  } cases[] = {
      {STATUS_GOOD, 0, Category::kGood},
      {STATUS_GOOD, 18, Category::kGood},  // a stray sense length after GOOD
      {STATUS_CHKCOND, 18, Category::kSense},
      {STATUS_CHKCOND, 0, Category::kStatus},
      {0x08, 0, Category::kStatus},  // BUSY
      {0x18, 0, Category::kStatus},  // RESERVATION CONFLICT
      {0x04, 0, Category::kStatus},  // CONDITION MET
  };
  for (const auto& c : cases) EXPECT_EQ(FromStatus(c.status, c.sense), c.want) << int{c.status};
}

}  // namespace
}  // namespace qx::passthrough
