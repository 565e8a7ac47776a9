#include "aspi/executor.h"

#include <gtest/gtest.h>

#include <memory>

#include "aspi/manager.h"
#include "aspi/trace.h"
#include "tests/support/fake_manager.h"
#include "tests/support/recording_window_system.h"

namespace qx {
namespace {

using testing::Answer;
using testing::FakeManager;
using testing::Sense;

class ExecutorTest : public testing::FakeBusTest {
 protected:
  int16_t Run(const std::string& name = "Inquiry", int32_t len = 58, uint8_t cdbLen = 6) {
    Cdb cdb{0x12, 0, 0, 0, 0x3A, 0};
    return ExecScsiCmd(name, len, cdb, cdbLen);
  }
  void Answer1(Answer a) {
    fake->answer = [a](size_t) { return a; };
  }
  void SetSenseState(int16_t asc, int16_t ascq, int16_t b19, int16_t ha) {
    SenseASC = asc;
    SenseASCQ = ascq;
    SenseByte19 = b19;
    LastHaStat = ha;
  }
};

TEST_F(ExecutorTest, BuildsTheRequestBlockFresh) {
  SelectedLun = 3;
  ASSERT_EQ(Run(), 1);
  ASSERT_EQ(fake->seen.size(), 1u);
  const SRB_ExecSCSICmd& b = fake->seen[0].block;
  EXPECT_EQ(b.SRB_Cmd, 2);
  EXPECT_EQ(b.SRB_Status, 0);
  EXPECT_EQ(b.SRB_HaId, 0);
  EXPECT_EQ(b.SRB_Flags, 0);
  EXPECT_EQ(b.SRB_Target, 2);
  EXPECT_EQ(b.SRB_Lun, 3);
  EXPECT_EQ(uint32_t{b.SRB_BufLen}, 58u);
  EXPECT_EQ(b.SRB_SenseLen, 255);
  EXPECT_EQ(b.SRB_CDBLen, 6);
  EXPECT_EQ(b.SRB_HaStat, 0);
  EXPECT_EQ(b.SRB_TargStat, 0);
  EXPECT_EQ(uint32_t{b.SRB_PostProc}, 0u);
  for (uint8_t x : b.SRB_Rsvd3) EXPECT_EQ(x, 0);
  for (uint8_t x : b.SenseArea) EXPECT_EQ(x, 0);
  EXPECT_EQ(fake->seen[0].cdb16,
            (std::vector<uint8_t>{0x12, 0, 0, 0, 0x3A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(fake->seen[0].buffer, DataBuf.data());
}

TEST_F(ExecutorTest, ZeroLengthStillPassesTheBuffer) {
  ASSERT_EQ(Run("TestUnitReady", 0), 1);
  EXPECT_EQ(fake->seen[0].buf_len, 0u);
  EXPECT_EQ(fake->seen[0].buffer, DataBuf.data());
}

struct RefusalCase {
  const char* name;
  uint32_t support;
  uint8_t ha, target;
  const char* text;
  const char* title;
};

TEST_F(ExecutorTest, RefusalsShowABoxAndLeaveSenseUntouched) {
  const RefusalCase cases[] = {
      {"manager status E8", 0xE800, 0, 0, "ASPI Manager Not Found", "ASPI Error"},
      {"manager status 0", 0x0001, 0, 0, "ASPI Manager Not Found", "ASPI Error"},
      {"start-up target", 0x0100, 50, 50, "Set Target's ID or Host Adapter", "ASPI Setting Error"},
      {"target 8", 0x0100, 7, 8, "Set Target's ID or Host Adapter", "ASPI Setting Error"},
      {"adapter 10", 0x0100, 10, 0, "Set Target's ID or Host Adapter", "ASPI Setting Error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ws.boxes.clear();
    fake->seen.clear();
    fake->support_info = c.support;
    SelectedHaId = c.ha;
    SelectedTargetId = c.target;
    SetSenseState(0x29, 0x01, 0x02, 0x11);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(fake->seen.empty());
    ASSERT_EQ(ws.boxes.size(), 1u);
    EXPECT_EQ(ws.boxes[0].text, c.text);
    EXPECT_EQ(ws.boxes[0].title, c.title);
    EXPECT_EQ(ws.boxes[0].style, 48);
    EXPECT_EQ(ErrMsg, c.text);
    EXPECT_EQ(SenseASC, 0x29);
    EXPECT_EQ(SenseASCQ, 0x01);
    EXPECT_EQ(SenseByte19, 0x02);
    EXPECT_EQ(LastHaStat, 0x11);
  }
}

TEST_F(ExecutorTest, ManagerStatusIsTheHighByte) {
  fake->support_info = 256;  // ready, no adapters
  SelectedHaId = 7;
  SelectedTargetId = 7;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(AspiStatus, 1);
  EXPECT_TRUE(ws.boxes.empty());
}

struct FailureCase {
  const char* name;
  Answer answer;
  int16_t result;
  const char* errmsg;
  int16_t ha, asc, ascq, b19;
};

TEST_F(ExecutorTest, FailureTexts) {
  auto cc = [](std::vector<uint8_t> sense) {
    Answer a;
    a.srb_status = 4;
    a.targ_stat = 2;
    a.sense = std::move(sense);
    return a;
  };
  Answer haErr;
  haErr.srb_status = 4;
  haErr.ha_stat = 0x11;
  haErr.targ_stat = 2;  // ignored: the host adapter status wins
  haErr.sense = Sense(6, 0x29, 0);
  Answer busy;
  busy.srb_status = 4;
  busy.targ_stat = 0x08;
  Answer good4;
  good4.srb_status = 4;
  Answer aborted;
  aborted.srb_status = 2;
  aborted.submit_result = 0;
  Answer bcconv;
  bcconv.srb_status = 0xFB;
  Answer noHa;
  noHa.srb_status = 0x81;
  const FailureCase cases[] = {
      {"host adapter", haErr, 4, "InquirySelection Timeout.", 0x11, 0, 0, 0},
      {"target busy", busy, 4, "InquiryTarget Busy.", 0, 0, 0, 0},
      {"status 4, target good", good4, 4, "Inquiry00:Unknown Target Status !", 0, 0, 0, 0},
      {"sense, no info", cc(Sense(2, 0x3A, 0)), 4, "Inquiry 3A(00)00:MEDIUM NOT PRESENT", 0, 0x3A,
       0, 0},
      {"sense, info 1234", cc(Sense(3, 0x3A, 0, 0, true, 0x1234)), 4,
       "Inquiry 3A(00)00:MEDIUM NOT PRESENT(1234)", 0, 0x3A, 0, 0},
      {"sense, info 0", cc(Sense(3, 0x11, 0, 0, true, 0)), 4,
       "Inquiry 11(00)00:ERROR TOO LONG TO CORRECT(0)", 0, 0x11, 0, 0},
      {"sense, info negative", cc(Sense(3, 0x3A, 0, 0, true, 0xFFFFFFFF)), 4,
       "Inquiry 3A(00)00:MEDIUM NOT PRESENT(------)", 0, 0x3A, 0, 0},
      {"drive code", cc(Sense(4, 0x80, 0x00, 0xC3)), 4, "Inquiry 80(00)C3:FOCUS CAPTURE MISS", 0,
       0x80, 0, 0xC3},
      {"aborted, submit 0", aborted, 2, "InquirySRB being processed", 0, 0, 0, 0},
      {"library error", bcconv, 0xFB, "InquiryInvalid BCconv Call", 0, 0, 0, 0},
      {"no adapter", noHa, 0x81, "InquiryInvalid host adapter number", 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Answer1(c.answer);
    SetSenseState(0x55, 0x55, 0x55, 0x55);
    EXPECT_EQ(Run(), c.result);
    EXPECT_EQ(ErrMsg, c.errmsg);
    EXPECT_EQ(LastHaStat, c.ha);
    EXPECT_EQ(SenseASC, c.asc);
    EXPECT_EQ(SenseASCQ, c.ascq);
    EXPECT_EQ(SenseByte19, c.b19);
  }
  EXPECT_TRUE(ws.boxes.empty());
}

TEST_F(ExecutorTest, SuccessKeepsErrMsgAndSenseData) {
  Answer cc;
  cc.srb_status = 4;
  cc.targ_stat = 2;
  cc.sense = Sense(6, 0x28, 0x00);
  Answer ok;
  ok.srb_status = 1;
  ok.ha_stat = 0x11;  // success whatever the adapter says
  ok.targ_stat = 0x02;
  fake->answer = [&](size_t n) { return n == 1 ? cc : ok; };
  EXPECT_EQ(Run(), 4);
  const std::string failure = ErrMsg;
  EXPECT_EQ(SenseASC, 0x28);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(ErrMsg, failure);
  EXPECT_EQ(SenseASC, 0);
  EXPECT_EQ(LastHaStat, 0x11);
  EXPECT_EQ(SenseData[12], 0x28);
}

TEST_F(ExecutorTest, AsynchronousCompletionIsAwaited) {
  Answer a;
  a.delay_ms = 30;
  a.data_in = {0x05, 0x80, 0x02};
  Answer1(a);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(DataBuf[0], 0x05);
  EXPECT_EQ(DataBuf[1], 0x80);
}

// A slow request keeps the front end alive with the command's name and a
// growing wait time, and says when the wait is over; one that completes at
// once never calls it.
TEST_F(ExecutorTest, KeepAliveOnlyWhileASlowRequestIsOutstanding) {
  struct Case {
    int delay_ms;  // -1: completes inside the submission
    bool slow;
  };
  for (const Case c : {Case{-1, false}, Case{200, true}}) {
    SCOPED_TRACE(c.delay_ms);
    ws.waits.clear();
    ws.wait_ended_calls = 0;
    Answer a;
    a.delay_ms = c.delay_ms;
    Answer1(a);
    EXPECT_EQ(Run("WriteBuffer  15 "), 1);
    if (!c.slow) {
      EXPECT_TRUE(ws.waits.empty());
      EXPECT_EQ(ws.wait_ended_calls, 0);
      continue;
    }
    ASSERT_GE(ws.waits.size(), 2u);
    for (size_t i = 0; i < ws.waits.size(); ++i) {
      EXPECT_EQ(ws.waits[i].command, "WriteBuffer  15 ");
      if (i > 0) {
        EXPECT_GT(ws.waits[i].elapsed, ws.waits[i - 1].elapsed);
      }
    }
    EXPECT_EQ(ws.wait_ended_calls, 1);
  }
}

TEST(DescribeWait, NamesTheCommandWhatWriteBufferDoesAndWholeSeconds) {
  struct Case {
    const char* name;
    std::vector<uint8_t> cdb;
    int ms;
    const char* text;
  };
  const Case cases[] = {
      {"WriteBuffer  15 ", {0x3B, 0x05, 15}, 12'900, "WriteBuffer 15 (saving) \u2013 12 s"},
      {"WriteBuffer  3 ", {0x3B, 0x04, 3}, 1'000, "WriteBuffer 3 (block) \u2013 1 s"},
      {"WriteBuffer ", {0x3B, 0xE6, 9}, 999, "WriteBuffer 9 (mode 6) \u2013 0 s"},
      {"Inquiry", {0x12, 0, 0, 0, 0x3A}, 3'050, "Inquiry \u2013 3 s"},
      {"ReadBuffer ", {0x3C, 0x01, 1}, 61'000, "ReadBuffer \u2013 61 s"},
      {"  ", {}, 0, "Command \u2013 0 s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DescribeWait({c.name, c.cdb, std::chrono::milliseconds(c.ms)}), c.text);
  }
}

TEST_F(ExecutorTest, ARequestThatNeverCompletesTimesOut) {
  ExecTimeout = std::chrono::milliseconds(50);
  Answer a;
  a.never = true;
  Answer1(a);
  EXPECT_EQ(Run("MemoryRead"), 4);
  EXPECT_EQ(fake->cancel_calls, 1);
  EXPECT_EQ(LastHaStat, 0x0B);
  EXPECT_EQ(ErrMsg.rfind("MemoryRead", 0), 0u);
  EXPECT_NE(ErrMsg.find("adapter timed out"), std::string::npos);
  EXPECT_NE(ErrMsg.find("50 ms"), std::string::npos);
}

TEST_F(ExecutorTest, ALateCompletionAfterTheTimeoutWritesNothing) {
  ExecTimeout = std::chrono::milliseconds(20);
  Answer a;
  a.delay_ms = 120;
  a.data_in = {0xAA, 0xBB};
  Answer1(a);
  EXPECT_EQ(Run(), 4);
  fake->JoinAll();
  EXPECT_EQ(DataBuf[0], 0);
  EXPECT_EQ(DataBuf[1], 0);
}

TEST_F(ExecutorTest, LengthsPastTheBuffersAreNotSubmitted) {
  struct Case {
    int32_t len;
    uint8_t cdbLen;
    bool sent;
  };
  const Case cases[] = {{-1, 6, false},    {37858, 6, false}, {0, 17, false},
                        {37857, 16, true}, {0, 0, true},      {37855, 12, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.len);
    fake->seen.clear();
    SetSenseState(0x29, 0, 0, 0);
    const int16_t r = Run("LoopReadLong", c.len, c.cdbLen);
    EXPECT_EQ(!fake->seen.empty(), c.sent);
    if (!c.sent) {
      EXPECT_EQ(r, 0xE0);
      EXPECT_EQ(ErrMsg.rfind("LoopReadLongInvalid parameter set in SRB", 0), 0u);
      EXPECT_EQ(SenseASC, 0);  // the reissue loop must not see a stale unit attention
    }
  }
}

TEST_F(ExecutorTest, NoManagerInstalledRefusesLikeAMissingManager) {
  InstallAspiManager(nullptr);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(ErrMsg, "ASPI Manager Not Found");
}

}  // namespace
}  // namespace qx
