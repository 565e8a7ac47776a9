#include "aspi/trace.h"
#include "ui/debug_form.h"

#include <gtest/gtest.h>

#include <memory>

#include "aspi/executor.h"
#include "aspi/manager.h"
#include "tests/support/fake_manager.h"
#include "tests/support/recording_window_system.h"

namespace qx {
namespace {

using testing::Answer;
using testing::FakeManager;

class TraceTest : public testing::FakeBusTest {
 protected:
  void SetUp() override {
    FakeBusTest::SetUp();
    SelectedHaId = 1;
    SelectedTargetId = 3;
    TraceOn = 1;
  }
  const std::vector<std::string>& Lines() { return D_WIn.ASPI_Ret; }
};

TEST_F(TraceTest, RecordWithoutDataHas31Lines) {
  Answer a;
  a.srb_status = 4;
  a.targ_stat = 2;
  a.sense = testing::Sense(2, 0x3A, 0);
  fake->answer = [a](size_t) { return a; };
  Cdb cdb{0x00, 0, 0, 0, 0, 0xC0};
  EXPECT_EQ(ExecScsiCmd("TestUnitReady", 0, cdb, 6), 4);
  const std::vector<std::string> expected = {
      "CDB= 00 00 00 00 00 C0",
      "SRB Status   = 4",
      "0",
      "TestUnitReady",
      "SRB CMD      = 2",
      "SRB Status   = 4",
      "SRB HaId     = 1",
      "SRB Flags    = 0",
      "SRB Target   = 3",
      "SRB LUN      = 0",
      "SRB BufLen   = 0",
      "SRB SenseLen = 255",
      "SRB CDBLen   = 6",
      "SRB HaStat   = 0",
      "SRB TargStat = 2",
      "70 00 02 00 00 00 00 0C 00 00 00 00 3A 00 00 00 ",
      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ",
  };
  ASSERT_EQ(Lines().size(), 31u);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(Lines()[i], expected[i]) << i;
  for (size_t i = 15; i < 31; ++i) EXPECT_EQ(Lines()[i].size(), 48u);
  EXPECT_EQ(D_WIn.Text1, "end");
  // The list is repainted right after the submission line.
  ASSERT_FALSE(ws.refreshed.empty());
  EXPECT_EQ(ws.refreshed[0], "ASPI_Ret");
}

TEST_F(TraceTest, RecordWithDataDumps512BytesWhateverTheLength) {
  for (int i = 0; i < 512; ++i) DataBuf[i] = static_cast<uint8_t>(i);
  DataBuf[0] = 32;
  DataBuf[1] = 128;
  DataBuf[2] = 31;
  DataBuf[3] = 129;
  DataBuf[4] = 'A';
  DataBuf[5] = 127;
  Cdb cdb{0xDF, 0, 0xE0, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0x80};
  for (int32_t len : {1, 37855}) {
    SCOPED_TRACE(len);
    ResetDebugForm();
    EXPECT_EQ(ExecScsiCmd("LoopReadLong", len, cdb, 12), 1);
    ASSERT_EQ(Lines().size(), 64u);
    EXPECT_EQ(Lines()[0], "CDB= DF 00 E0 00 0A 00 00 00 00 00 00 80");
    EXPECT_EQ(Lines()[1], "SRB Status   = 1");
    EXPECT_EQ(Lines()[2], std::to_string(len));
    // 32/128 stand for themselves, 31/129 become the middle dot.
    EXPECT_EQ(Lines()[3],
              "20 80 1F 81 41 7F 06 07 08 09 0A 0B 0C 0D 0E 0F  : "
              " \xC2\x80\xEF\xBD\xA5\xEF\xBD\xA5"
              "A\x7F"
              "\xEF\xBD\xA5\xEF\xBD\xA5\xEF\xBD\xA5\xEF\xBD\xA5\xEF\xBD\xA5\xEF\xBD\xA5"
              "\xEF\xBD\xA5\xEF\xBD\xA5\xEF\xBD\xA5\xEF\xBD\xA5");
    EXPECT_EQ(Lines()[4].substr(0, 51), "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F  : ");
    EXPECT_EQ(Lines()[34].substr(0, 48), "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF ");
    EXPECT_EQ(Lines()[35], " ");
    EXPECT_EQ(Lines()[36], "LoopReadLong");
    EXPECT_EQ(Lines()[43], "SRB BufLen   = " + std::to_string(len));
    EXPECT_EQ(Lines()[45], "SRB CDBLen   = 12");
  }
}

TEST_F(TraceTest, EmptyCdbAndSubmissionResultDifferentFromBlockStatus) {
  Answer a;
  a.srb_status = 4;
  a.submit_result = 0xFB;
  a.targ_stat = 0x08;
  fake->answer = [a](size_t) { return a; };
  Cdb cdb{};
  EXPECT_EQ(ExecScsiCmd("X", 0, cdb, 0), 4);
  EXPECT_EQ(Lines()[0], "CDB=");
  EXPECT_EQ(Lines()[1], "SRB Status   = FB");
  EXPECT_EQ(Lines()[5], "SRB Status   = 4");
  EXPECT_EQ(Lines()[14], "SRB TargStat = 8");
}

TEST_F(TraceTest, NothingWhenOffOrRefused) {
  Cdb cdb{};
  TraceOn = 0;
  EXPECT_EQ(ExecScsiCmd("X", 0, cdb, 6), 1);
  EXPECT_TRUE(Lines().empty());
  TraceOn = 1;
  SelectedTargetId = 50;
  EXPECT_EQ(ExecScsiCmd("X", 0, cdb, 6), 0);
  EXPECT_TRUE(Lines().empty());
}

TEST(TraceFormat, CharacterColumn) {
  EXPECT_EQ(TraceChar(32), " ");
  EXPECT_EQ(TraceChar(127), "\x7F");
  EXPECT_EQ(TraceChar(128), "\xC2\x80");
  EXPECT_EQ(TraceChar(0), "\xEF\xBD\xA5");
  EXPECT_EQ(TraceChar(255), "\xEF\xBD\xA5");
  EXPECT_EQ(Hex(0), "0");
  EXPECT_EQ(Hex(0xFB), "FB");
  EXPECT_EQ(Hex2(0x0A), "0A");
}

}  // namespace
}  // namespace qx
