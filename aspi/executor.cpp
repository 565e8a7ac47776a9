#include "aspi/executor.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "aspi/manager.h"
#include "aspi/recorder.h"
#include "aspi/srb.h"
#include "aspi/trace.h"
#include "decode/decode.h"
#include "platform/window_system.h"

namespace qx {

namespace {

// How often the window system is asked to keep the front end alive while a
// command is outstanding (about one display frame).
constexpr auto kKeepAliveInterval = std::chrono::milliseconds(16);
// From this long on, the wait sleeps in longer pauses.
constexpr auto kPatientAfter = std::chrono::milliseconds(100);

// Waits until the block leaves "pending". The first checks spin (a synchronous
// or fast transport is done at once); after that the wait yields the processor
// in short sleeps so a slow drive does not cost a busy core, and every
// kKeepAliveInterval lets the window system keep the front end alive (repaint,
// show progress) without starting anything. Returns false when ExecTimeout
// passes first.
bool WaitForCompletion(const SRB_ExecSCSICmd& srb, const std::string& CmdName, const Cdb& CDB) {
  for (int i = 0; i < 2000; ++i) {
    if (LoadSrbStatus(&srb) != SS_PENDING) return true;
  }
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + ExecTimeout;
  auto next_keep_alive = started + kKeepAliveInterval;
  bool kept_alive = false;
  auto pause = std::chrono::microseconds(20);
  bool completed = true;
  while (LoadSrbStatus(&srb) == SS_PENDING) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      completed = false;
      break;
    }
    if (now >= next_keep_alive) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - started);
      Ui().KeepAlive({CmdName, std::span<const uint8_t>(CDB.data(), CDB.size()), elapsed});
      kept_alive = true;
      // A steady rate: the next call one interval after this one ended, so
      // slow event processing does not make calls pile up.
      next_keep_alive = std::chrono::steady_clock::now() + kKeepAliveInterval;
      continue;  // re-check the status before sleeping
    }
    std::this_thread::sleep_for(pause);
    // Short pauses while a quick answer is still likely; a command that has
    // already taken a while is checked less often (a few milliseconds more do
    // not matter there, a thousand wake-ups a second would).
    const auto cap = now - started < kPatientAfter ? std::chrono::microseconds(200)
                                                   : std::chrono::microseconds(4000);
    if (pause < cap) pause = std::min(pause * 2, cap);
  }
  if (kept_alive) Ui().WaitEnded();
  return completed;
}

std::string TimeoutText() {
  auto ms = ExecTimeout.count();
  std::string span = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
  return " (no answer within " + span + "; request cancelled)";
}

// The information field text appended after a sense message when VALID is set.
std::string InformationText() {
  if ((SenseData[0] & 0x80) == 0) return {};
  const uint32_t raw = (uint32_t{SenseData[3]} << 24) | (uint32_t{SenseData[4]} << 16) |
                       (uint32_t{SenseData[5]} << 8) | uint32_t{SenseData[6]};
  if (static_cast<int32_t>(raw) < 0) return "(------)";
  return "(" + Hex(raw) + ")";
}

// Refuses the call when no manager is ready: the box and ErrMsg say so.
bool RefusedWithoutManager() {
  if (ASPICheck() != kManagerReady) {
    Ui().MsgBox(kAspiNotFound, kStyleExclamation, kAspiErrorTitle);
    ErrMsg = kAspiNotFound;
    return true;
  }
  return false;
}

// Refuses the call when the selected adapter or target is out of range (7
// itself is accepted; the LUN is not tested): the box and ErrMsg say so.
bool RefusedWithoutTarget() {
  if (SelectedHaId > 7 || SelectedTargetId > 7) {
    Ui().MsgBox(kSetTargetText, kStyleExclamation, kSetTargetTitle);
    ErrMsg = kSetTargetText;
    return true;
  }
  return false;
}

// Fills `srb` as a fresh request block for this command alone, addressed to the
// selected adapter, target and LUN.
void BuildRequest(SRB_ExecSCSICmd& srb, int32_t DataLen, const Cdb& CDB, uint8_t CDBLen) {
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = SelectedHaId;
  srb.SRB_Target = SelectedTargetId;
  srb.SRB_Lun = SelectedLun;
  srb.SRB_BufLen = static_cast<uint32_t>(DataLen);
  srb.SRB_SenseLen = kSenseLen;
  srb.SRB_CDBLen = CDBLen;
  std::memcpy(srb.CDBByte, CDB.data(), kCdbSize);
}

// Every accepted call starts with clean sense values.
void ClearSense() {
  SenseASC = 0;
  SenseASCQ = 0;
  SenseByte19 = 0;
}

// Lengths that would let a transport run past DataBuf or the CDB are never
// submitted: true for those, with ErrMsg naming both lengths.
bool RefusedForLengths(const std::string& CmdName, int32_t DataLen, uint8_t CDBLen) {
  if (DataLen < 0 || DataLen > kDataBufSize || CDBLen > kCdbSize) {
    LastHaStat = 0;
    ErrMsg = CmdName + SrbStatusMsg(kResultInvalidParameter) + " (transfer length " +
             std::to_string(DataLen) + ", CDB length " + std::to_string(CDBLen) + ")";
    return true;
  }
  return false;
}

// Cancels a request that did not complete within ExecTimeout; from then on the
// transport touches neither the block nor DataBuf. True when it was still
// pending: the block, LastHaStat and ErrMsg then record an adapter timeout.
// False when it completed while being cancelled, to be evaluated as usual.
bool EndedByTimeout(SRB_ExecSCSICmd& srb, const std::string& CmdName) {
  if (auto manager = InstalledAspiManager()) manager->Cancel(&srb);
  if (LoadSrbStatus(&srb) == SS_PENDING) {
    srb.SRB_HaStat = kHaStatTimeout;
    srb.SRB_TargStat = 0;
    StoreSrbStatus(&srb, SS_ERR);
    LastHaStat = kHaStatTimeout;
    ErrMsg = CmdName + HaStatusMsg(kHaStatTimeout) + TimeoutText();
    return true;
  }
  return false;
}

// Keeps a check condition's sense data in SenseData, and its ASC, ASCQ and
// byte 19 in the sense values the callers test.
void KeepSense(const SRB_ExecSCSICmd& srb) {
  std::memcpy(SenseData.data(), srb.SenseArea, SenseData.size());
  SenseASC = SenseData[12];
  SenseASCQ = SenseData[13];
  SenseByte19 = SenseData[19];
}

// ErrMsg for a failed request: for a completed-with-error one the host adapter
// status, else a check condition's sense text with its information field, else
// the target status; for any other end, the submission result.
void DescribeFailure(const std::string& CmdName, int16_t result, int16_t submitResult,
                     const SRB_ExecSCSICmd& srb) {
  if (result == SS_ERR) {
    if (srb.SRB_HaStat != 0) {
      ErrMsg = CmdName + HaStatusMsg(srb.SRB_HaStat);
    } else if (srb.SRB_TargStat == STATUS_CHKCOND) {
      KeepSense(srb);
      ErrMsg = CmdName + SenseMsg(SenseASC, SenseASCQ, SenseByte19) + InformationText();
    } else {
      ErrMsg = CmdName + TargetStatusMsg(srb.SRB_TargStat);
    }
  } else {
    ErrMsg = CmdName + SrbStatusMsg(submitResult);
  }
}

// Writes the trace record of a submitted command when tracing is on.
void TraceCommand(const std::string& CmdName, int32_t DataLen, const Cdb& CDB, uint8_t CDBLen,
                  int16_t submitResult, const SRB_ExecSCSICmd& srb) {
  if (TraceOn == 1)
    WriteTraceRecord(CmdName, DataLen, CDB, CDBLen, submitResult, srb, DataBuf.data());
}

// Hands the ended request to the installed recorder, if any.
void RecordCommand(const SRB_ExecSCSICmd& srb, int16_t result, bool timedOut, int32_t DataLen,
                   std::chrono::steady_clock::time_point submitted) {
  CommandRecorder* recorder = InstalledCommandRecorder();
  if (recorder == nullptr) return;
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - submitted);
  recorder->Executed(
      {.srb = srb,
       .result = result,
       .timed_out = timedOut,
       .data = std::span<const uint8_t>(DataBuf.data(), static_cast<size_t>(DataLen)),
       .took = took});
}

}  // namespace

int16_t ExecScsiCmd(const std::string& CmdName, const int32_t& DataLen, const Cdb& CDB,
                    const uint8_t& CDBLen) {
  if (RefusedWithoutManager() || RefusedWithoutTarget()) return kResultRefused;

  SRB_ExecSCSICmd srb;
  BuildRequest(srb, DataLen, CDB, CDBLen);
  ClearSense();
  if (RefusedForLengths(CmdName, DataLen, CDBLen)) return kResultInvalidParameter;

  // Submit, then wait for the end, bounded by ExecTimeout.
  const auto submitted = std::chrono::steady_clock::now();
  const int16_t submitResult = static_cast<int16_t>(BCSendASPI32Command(&srb, DataBuf.data()));
  if (!WaitForCompletion(srb, CmdName, CDB) && EndedByTimeout(srb, CmdName)) {
    TraceCommand(CmdName, DataLen, CDB, CDBLen, submitResult, srb);
    RecordCommand(srb, SS_ERR, true, DataLen, submitted);
    return SS_ERR;
  }

  // The final status is the result.
  const int16_t result = LoadSrbStatus(&srb);
  LastHaStat = srb.SRB_HaStat;
  if (!Succeeded(result)) DescribeFailure(CmdName, result, submitResult, srb);
  TraceCommand(CmdName, DataLen, CDB, CDBLen, submitResult, srb);
  RecordCommand(srb, result, false, DataLen, submitted);
  return result;
}

}  // namespace qx
