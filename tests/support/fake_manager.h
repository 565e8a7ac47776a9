// A scripted ASPI manager for executor and builder tests: each execute request is
// answered by a callback; requests can complete inline, later from a thread, or never.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "aspi/manager.h"
#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "tests/support/recording_window_system.h"
#include "ui/debug_form.h"

namespace qx::testing {

struct Answer {
  uint8_t srb_status = SS_COMP;
  uint8_t ha_stat = 0;
  uint8_t targ_stat = 0;
  std::vector<uint8_t> sense;    // copied into SenseArea
  std::vector<uint8_t> data_in;  // copied into the buffer
  int32_t submit_result = -1;    // -1: same as srb_status
  bool never = false;            // leave the block pending
  int delay_ms = -1;             // >= 0: complete from a thread after this delay
};

struct Seen {
  std::vector<uint8_t> cdb16;  // all 16 CDBByte bytes
  uint8_t cdb_len = 0;
  uint32_t buf_len = 0;
  uint8_t ha = 0, target = 0, lun = 0;
  SRB_ExecSCSICmd block{};  // the block as submitted
  const uint8_t* buffer = nullptr;
};

// Fixed-format sense bytes with the given codes.
inline std::vector<uint8_t> Sense(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t byte19 = 0,
                                  bool valid = false, uint32_t info = 0) {
  std::vector<uint8_t> s(20, 0);
  s[0] = valid ? 0xF0 : 0x70;
  s[2] = key;
  s[3] = static_cast<uint8_t>(info >> 24);
  s[4] = static_cast<uint8_t>(info >> 16);
  s[5] = static_cast<uint8_t>(info >> 8);
  s[6] = static_cast<uint8_t>(info);
  s[7] = 12;
  s[12] = asc;
  s[13] = ascq;
  s[19] = byte19;
  return s;
}

inline Answer CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
  Answer a;
  a.srb_status = SS_ERR;
  a.targ_stat = STATUS_CHKCOND;
  a.sense = Sense(key, asc, ascq);
  return a;
}

class FakeManager : public AspiManager {
 public:
  ~FakeManager() override { JoinAll(); }

  uint32_t GetASPI32SupportInfo() override { return support_info; }

  int32_t BCSendASPI32Command(void* p, uint8_t* buffer) override {
    auto* srb = static_cast<SRB_ExecSCSICmd*>(p);
    Seen s;
    s.cdb16.assign(srb->CDBByte, srb->CDBByte + 16);
    s.cdb_len = srb->SRB_CDBLen;
    s.buf_len = srb->SRB_BufLen;
    s.ha = srb->SRB_HaId;
    s.target = srb->SRB_Target;
    s.lun = srb->SRB_Lun;
    s.block = *srb;
    s.buffer = buffer;
    seen.push_back(s);
    Answer a = answer ? answer(seen.size()) : Answer{};
    const int32_t submit = a.submit_result >= 0 ? a.submit_result : a.srb_status;
    if (a.never) return submit;
    if (a.delay_ms >= 0) {
      threads.emplace_back([this, srb, buffer, a] {
        std::this_thread::sleep_for(std::chrono::milliseconds(a.delay_ms));
        std::lock_guard lock(mutex);
        if (cancelled == srb) return;
        Complete(srb, buffer, a);
      });
      return submit;
    }
    Complete(srb, buffer, a);
    return submit;
  }

  void Cancel(void* srb) override {
    std::lock_guard lock(mutex);
    cancelled = srb;
    ++cancel_calls;
  }
  const char* Name() const override { return "fake"; }

  void JoinAll() {
    for (auto& t : threads) t.join();
    threads.clear();
  }

  static void Complete(SRB_ExecSCSICmd* srb, uint8_t* buffer, const Answer& a) {
    if (!a.data_in.empty()) std::memcpy(buffer, a.data_in.data(), a.data_in.size());
    srb->SRB_HaStat = a.ha_stat;
    srb->SRB_TargStat = a.targ_stat;
    if (!a.sense.empty()) std::memcpy(srb->SenseArea, a.sense.data(), a.sense.size());
    StoreSrbStatus(srb, a.srb_status);
  }

  uint32_t support_info = 0x0102;          // ready, two adapters
  std::function<Answer(size_t n)> answer;  // n: 1-based request number
  std::vector<Seen> seen;
  std::mutex mutex;
  void* cancelled = nullptr;
  int cancel_calls = 0;
  std::vector<std::thread> threads;
};

// Fixture: clean process state, a FakeManager installed, target 0:2 chosen,
// and a recording window system.
class FakeBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTransportState();
    ResetDebugForm();
    AspiStatus = 0;
    fake = std::make_shared<FakeManager>();
    InstallAspiManager(fake);
    SelectedHaId = 0;
    SelectedTargetId = 2;
  }
  void TearDown() override {
    fake->JoinAll();
    InstallAspiManager(nullptr);
  }

  std::shared_ptr<FakeManager> fake;
  RecordingWindowSystem ws;
  ScopedWindowSystem scoped{&ws};
};

}  // namespace qx::testing
