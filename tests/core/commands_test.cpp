#include "commands/commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>

#include "aspi/executor.h"
#include "aspi/manager.h"
#include "aspi/trace.h"
#include "ui/debug_form.h"
#include "commands/hexdump.h"
#include "tests/support/fake_manager.h"
#include "tests/support/recording_window_system.h"

namespace qx {
namespace {

using testing::Answer;
using testing::FakeManager;

class CommandsTest : public testing::FakeBusTest {
 protected:
  void AnswerSequence(std::vector<Answer> answers) {
    fake->answer = [answers](size_t n) { return n <= answers.size() ? answers[n - 1] : Answer{}; };
  }
};

struct BuilderCase {
  const char* name;
  std::function<int16_t()> run;
  std::vector<uint8_t> cdb;  // the command's bytes; the rest of the 16 must be 0
  int32_t xfer;
};

std::vector<uint8_t> Pad16(std::vector<uint8_t> v) {
  v.resize(16, 0);
  return v;
}

TEST_F(CommandsTest, EveryBuilderSendsItsBlock) {
  const BuilderCase cases[] = {
      {"Stop Unit", StopUnit, {0x1B, 0, 0, 0, 0x00, 0}, 0},
      {"Start Unit", StartUnit, {0x1B, 0, 0, 0, 0x01, 0}, 0},
      {"TestUnitReady", TestUnitReady, {0, 0, 0, 0, 0, 0xC0}, 0},
      {"TestUnitReady", TestUnitReadyStd, {0, 0, 0, 0, 0, 0}, 0},
      {"Inquiry", Inquiry, {0x12, 0, 0, 0, 0x3A, 0}, 58},
      {"ReadBuffer ", ReadBuffer, {0x3C, 0x01, 0x01, 0, 0, 0, 0, 0x10, 0x04, 0}, 4100},
      {"DI IN", [] { return DiIn(1, 2); }, {0xDF, 0, 0xD9, 0, 1, 0, 2, 0, 0, 0, 0, 0}, 2},
      {"DI OUT",
       [] { return DiOut(0xE3, 0x80); },
       {0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0},
       0},
      {"MemoryRead",
       [] { return MemoryRead(0x7FE0, 0x7FE1, 0); },
       {0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0},
       5},
      {"MemoryRead",
       [] { return MemoryRead(0x100, 0x1FF, 2); },
       {0xDF, 0, 0xE2, 2, 0, 0, 0x01, 0x00, 0, 0x01, 0xFF, 0},
       259},
      {"LoopReadLong",
       [] { return LoopReadLong(0x010203, 0x040506); },
       {0xDF, 0, 0xE0, 0, 0x0A, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x80},
       37855},
      {"LoopDataWrite",
       [] { return LoopDataWrite(0x1234, 0x1243, 0xAA); },
       {0xDF, 0, 0xE0, 0xAA, 0x01, 0, 0x12, 0x34, 0, 0x12, 0x43, 0x80},
       1},
      {"Loop Erase",
       [] { return LoopErase(0x10, 0x20); },
       {0xDF, 0, 0xE0, 0, 0x0D, 0, 0, 0x10, 0, 0, 0x20, 0x80},
       1},
      {"LoopHeaderCheck",
       [] { return LoopHeaderCheck(0x10, 0x20); },
       {0xDF, 0, 0xE0, 0, 0x00, 0, 0, 0x10, 0, 0, 0x20, 0x80},
       256},
      {"LoopErrorByteCheck",
       [] { return LoopErrorByteCheck(0x1000000 + 5, -1); },
       {0xDF, 0, 0xE0, 0, 0x0C, 0, 0, 0x05, 0xFF, 0xFF, 0xFF, 0x80},
       280},
  };
  Answer busy;
  busy.srb_status = 4;
  busy.targ_stat = 0x08;
  fake->answer = [busy](size_t) { return busy; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake->seen.clear();
    EXPECT_EQ(c.run(), 4);
    ASSERT_EQ(fake->seen.size(), 1u);
    EXPECT_EQ(fake->seen[0].cdb16, Pad16(c.cdb));
    EXPECT_EQ(fake->seen[0].cdb_len, c.cdb.size());
    EXPECT_EQ(fake->seen[0].buf_len, static_cast<uint32_t>(c.xfer));
    EXPECT_EQ(XferLen, c.xfer);
    EXPECT_EQ(CDBSize, c.cdb.size());
    EXPECT_EQ(ErrMsg, std::string(c.name) + "Target Busy.");
  }
}

TEST_F(CommandsTest, UnitAttentionIsReissuedWhateverTheKey) {
  struct Case {
    uint8_t key, asc;
    size_t sent;
  };
  const Case cases[] = {{6, 0x29, 2}, {6, 0x28, 2}, {2, 0x28, 2}, {0, 0x29, 2}, {2, 0x3A, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asc);
    fake->seen.clear();
    ResetDebugForm();
    TraceOn = 1;
    AnswerSequence({testing::CheckCondition(c.key, c.asc, 0)});
    const int16_t r = Inquiry();
    EXPECT_EQ(fake->seen.size(), c.sent);
    EXPECT_EQ(r, c.sent == 2 ? 1 : 4);
    EXPECT_EQ(D_WIn.ASPI_Ret.size(), 64u * c.sent);
    if (c.sent == 2) {
      EXPECT_EQ(fake->seen[0].cdb16, fake->seen[1].cdb16);
    }
  }
}

TEST_F(CommandsTest, TwoReissuesLeaveThreeRecords) {
  TraceOn = 1;
  D_WIn.ASPI_Ret.push_back("stale line from an earlier command");
  AnswerSequence({testing::CheckCondition(6, 0x29, 0), testing::CheckCondition(6, 0x28, 0)});
  EXPECT_EQ(LoopErase(1, 2), 1);
  EXPECT_EQ(D_WIn.ASPI_Ret.size(), 3u * 64);
  EXPECT_EQ(D_WIn.ASPI_Ret[0], "CDB= DF 00 E0 00 0D 00 00 01 00 00 02 80");
  EXPECT_EQ(D_WIn.ASPI_Ret[64], D_WIn.ASPI_Ret[0]);
}

TEST_F(CommandsTest, ReissuesAreCapped) {
  fake->answer = [](size_t) { return testing::CheckCondition(6, 0x29, 0); };
  EXPECT_EQ(TestUnitReady(), 4);
  EXPECT_EQ(fake->seen.size(), 9u);  // the first attempt and eight reissues
}

TEST_F(CommandsTest, ARefusalEndsTheBuilderAtOnce) {
  SelectedTargetId = 50;
  SenseASC = 0x29;  // left over from an earlier command
  EXPECT_EQ(Inquiry(), 0);
  EXPECT_TRUE(fake->seen.empty());
  EXPECT_EQ(ws.boxes.size(), 1u);
}

TEST_F(CommandsTest, ARefusedReissueEndsTheLoop) {
  // The first attempt gets a unit attention; the target is then made invalid.
  fake->answer = [](size_t) {
    SelectedTargetId = 8;
    return testing::CheckCondition(6, 0x29, 0);
  };
  EXPECT_EQ(StartUnit(), 0);
  EXPECT_EQ(fake->seen.size(), 1u);
  EXPECT_EQ(ws.boxes.size(), 1u);
}

TEST_F(CommandsTest, MemoryReadRefusesRangesThatDoNotFit) {
  struct Case {
    int32_t start, end;
    bool sent;
  };
  const Case cases[] = {
      {0x100, 0x0FB, false},  // -1 byte
      {0x100, 0x0FC, true},   // 0 bytes
      {0, 37853, true},       // exactly the buffer
      {0, 37854, false},     {INT32_MIN, INT32_MAX, false}, {INT32_MAX, INT32_MIN, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.end);
    fake->seen.clear();
    const int16_t r = MemoryRead(c.start, c.end, 0);
    EXPECT_EQ(!fake->seen.empty(), c.sent);
    if (!c.sent) {
      EXPECT_EQ(r, 0xE0);
      EXPECT_EQ(ErrMsg.rfind("MemoryRead", 0), 0u);
    }
  }
}

// The packing as defined through hexadecimal text.
void AddrPairByText(int32_t a, int32_t b, uint8_t (&out)[6]) {
  auto six = [](int32_t v) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<uint32_t>(v));
    std::string s = std::string("00000") + hex;
    return s.substr(s.size() - 6);
  };
  const std::string text = six(a) + six(b);
  for (int i = 1; i <= 6; ++i) {
    out[i - 1] = static_cast<uint8_t>(std::stoi(text.substr(2 * i - 2, 2), nullptr, 16));
  }
}

TEST(AddrPairToBytes, EdgeValues) {
  struct Case {
    int32_t a, b;
    std::array<uint8_t, 6> expected;
  };
  const Case cases[] = {{(1 << 24) + 0x4567, 5, {0x00, 0x45, 0x67, 0x00, 0x00, 0x05}},
                        {-1, 0, {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00}},
                        {0x7FE0, 0x7FE1, {0x00, 0x7F, 0xE0, 0x00, 0x7F, 0xE1}},
                        {INT32_MIN, INT32_MAX, {0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF}}};
  for (const auto& c : cases) {
    uint8_t out[6];
    AddrPairToBytes(c.a, c.b, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6),
              std::vector<uint8_t>(c.expected.begin(), c.expected.end()));
  }
}

TEST(AddrPairToBytes, MatchesTheTextMethod) {
  std::mt19937 rng(4410);
  std::uniform_int_distribution<int64_t> any(INT32_MIN, INT32_MAX);
  auto check = [](int32_t a, int32_t b) {
    uint8_t x[6], y[6];
    AddrPairToBytes(a, b, x);
    AddrPairByText(a, b, y);
    ASSERT_EQ(std::vector<uint8_t>(x, x + 6), std::vector<uint8_t>(y, y + 6)) << a << " " << b;
  };
  for (int i = 0; i < 200000; ++i) {
    check(static_cast<int32_t>(any(rng)), static_cast<int32_t>(any(rng)));
  }
  // Every boundary of the 24-bit field and the sign.
  const int64_t bases[] = {0, int64_t{1} << 24, -(int64_t{1} << 24), int64_t{INT32_MAX} - 300,
                           int64_t{INT32_MIN}};
  for (int64_t base : bases) {
    for (int64_t d = 0; d < 300; ++d) {
      check(static_cast<int32_t>(base + d), static_cast<int32_t>(-(base + d) - 1));
    }
  }
}

TEST(HexDump, Lines) {
  std::vector<uint8_t> zeros(16384, 0);
  auto lines = DumpLines(zeros);
  ASSERT_EQ(lines.size(), 1024u);
  EXPECT_EQ(lines[1], "000010:00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ");
  EXPECT_EQ(lines[1].size(), 55u);
  EXPECT_EQ(lines.back().substr(0, 7), "003FF0:");
  std::vector<uint8_t> image(262144);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  lines = DumpLines(image);
  ASSERT_EQ(lines.size(), 16384u);
  EXPECT_EQ(lines[0], "000000:00 07 0E 15 1C 23 2A 31 38 3F 46 4D 54 5B 62 69 ");
  EXPECT_EQ(lines.back().substr(0, 10), "03FFF0:90 ");
}

}  // namespace
}  // namespace qx
