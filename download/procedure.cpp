#include "download/procedure.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "aspi/status_codes.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "download/release.h"
#include "download/write_buffer.h"
#include "platform/window_system.h"

namespace qx {

namespace {

// The drive's preparation (the state word in procedure.h): the vendor
// diagnostic output E3/80 before TEST UNIT READY.
constexpr uint8_t kPrepareFunction = 0xE3;
constexpr uint8_t kPrepareArgument = 0x80;
// The last block of the image (buffer ID 15): no pause after it.
constexpr size_t kLastBlock = kBlockCount - 1;

constexpr const char* kDoneInstructions =
    "\r\n\r\nWait until all LED off.\r\n"
    "After all LED off ,turn Off drive & PC power.";

// One attempt of "Download Start", step by step. Each step returns false when
// the attempt ends there (the outcome then says how).
class Attempt {
 public:
  Attempt(DownloadForm& form, DownloadOutcome& out) : form_(form), out_(out) {}

  // The header, version and model checks; the parameter file stays open.
  bool CheckRelease() {
    form_.SetStatus("Read Parameter File", true);
    if (auto message = HeaderCheck(form_.FirmwareDir() + out_.file, form_.TargetEntry(), file_)) {
      return Fail(DownloadEnd::kCheckFailed, *message, kTitleA);
    }
    return true;
  }

  // Before the confirmation: the chosen target is a CD/DVD device and the
  // machine has power enough. A refusal closes the parameter file.
  bool CheckGuards() {
    for (const GuardVerdict& v : {form_.CheckTarget(), form_.CheckPower()}) {
      if (v.refusal) {
        file_.Close();
        return Fail(DownloadEnd::kRefused, *v.refusal, kTitleA);
      }
      if (v.note) form_.Note(*v.note);
    }
    return true;
  }

  // The operator's OK; Cancel closes the parameter file.
  bool Confirm() {
    if (Ui().MsgBox("Firmware Download Execute", kStyleQuestion, kTitleA) == kAnswerCancel) {
      file_.Close();
      out_.end = DownloadEnd::kCancelled;
      return false;
    }
    out_.was_confirmed = true;
    return true;
  }

  // The rest of the parameter file, the image and its checksum.
  bool Load() {
    if (auto message = ReleaseLoad(file_, form_.FirmwareDir(), out_.file, release_)) {
      return Fail(DownloadEnd::kLoadFailed, *message, kTitleA);
    }
    out_.area_flags = release_.AreaFlag;
    out_.checksum = release_.ParamChecksum;
    blocks_ = BlocksToSend(release_);
    out_.blocks_planned = static_cast<int>(blocks_.size());
    if (StopRequested()) return Aborted();
    form_.SetStatus("Download Start !!", true);
    return true;
  }

  // Just before the first command: the drive is taken for this program
  // alone, the machine kept awake and the attempt recorded as begun.
  bool BeginDriveWork() {
    const GuardVerdict v = form_.BeginDriveWork(out_);
    if (v.refusal) return Fail(DownloadEnd::kRefused, *v.refusal, kTitleB);
    if (v.note) form_.Note(*v.note);
    return true;
  }

  // The drive's preparation. Only a host adapter error ends the attempt here;
  // what the drive itself reports is passed over. A stop asked for meanwhile
  // is seen before the next command, so nothing more goes to the drive.
  bool Prepare() {
    if (StopRequested()) return Aborted();  // the guards may have taken a while
    bool prepared = true;
    if (!Succeeded(MemoryRead(kStateWordStart, kStateWordEnd, kStateWordArea))) {
      prepared = LastHaStat == 0;
    } else {
      const unsigned word = DataBuf[0] * 256u + DataBuf[1];
      if (word != kReadyForFirmware) {
        if (StopRequested()) return Aborted();
        if (!Succeeded(DiOut(kPrepareFunction, kPrepareArgument))) prepared = LastHaStat == 0;
      }
    }
    if (prepared) {
      if (StopRequested()) return Aborted();
      if (!Succeeded(TestUnitReady())) prepared = LastHaStat == 0;
    }
    if (!prepared) return Fail(DownloadEnd::kPreparationFailed, ErrMsg, kTitleB);
    return true;
  }

  // The chosen blocks with WRITE BUFFER, buffer ID = block number; the abort
  // request is polled before each.
  bool SendBlocks() {
    for (size_t b : blocks_) {
      std::copy_n(ImageBuf.begin() + b * kBlockSize, kBlockSize, DataBuf.begin());
      Ui().DoEvents();
      out_.block = static_cast<int>(b);
      if (form_.AbortRequested()) return Aborted();
      const uint8_t mode = release_.BlockMode[b];
      if (!Succeeded(
              WriteBuffer(0, static_cast<int32_t>(kBlockSize), mode, static_cast<uint8_t>(b)))) {
        form_.SetStatus(ErrMsg, false);
        const std::string text = LastHaStat != 0 ? "HostAdaptrError!  \r\n" + ErrMsg : ErrMsg;
        return Fail(DownloadEnd::kBlockFailed, text, kTitleB);
      }
      form_.BlockSent(static_cast<int>(b), mode, ++out_.blocks_sent, out_.blocks_planned);
      if (b != kLastBlock) form_.BlockPause();
    }
    out_.block = -1;
    // A stop that came while the last block went out could not stop anything.
    out_.stop_too_late = StopRequested();
    return true;
  }

  // How to restart the drive.
  void Done() {
    out_.end = DownloadEnd::kDone;
    out_.message = form_.TargetEntry() + kDoneInstructions;
    Ui().MsgBox(out_.message, kStyleExclamation, kTitleB);
    form_.SetStatus("", false);
  }

 private:
  // Shows `text` as a critical box and records it as the outcome's message.
  bool Fail(DownloadEnd end, std::string text, const char* title) {
    out_.end = end;
    out_.message = std::move(text);
    Ui().MsgBox(out_.message, kStyleCritical, title);
    return false;
  }
  bool Aborted() {
    form_.SetStatus("Abort By User", false);
    out_.end = DownloadEnd::kAborted;
    return false;
  }
  // Whether Abort was pressed or a stop request came from outside.
  bool StopRequested() {
    Ui().DeliverStops();
    return form_.AbortRequested();
  }

  DownloadForm& form_;
  DownloadOutcome& out_;
  ParameterFile file_;
  Release release_;
  std::vector<size_t> blocks_;
};

constexpr std::pair<DownloadEnd, const char*> kEndWords[] = {
    {DownloadEnd::kNoFile, "no_file"},
    {DownloadEnd::kCheckFailed, "check_failed"},
    {DownloadEnd::kCancelled, "cancelled"},
    {DownloadEnd::kRefused, "refused"},
    {DownloadEnd::kLoadFailed, "load_failed"},
    {DownloadEnd::kAborted, "aborted"},
    {DownloadEnd::kPreparationFailed, "preparation_failed"},
    {DownloadEnd::kBlockFailed, "block_failed"},
    {DownloadEnd::kDone, "done"},
};

}  // namespace

const char* ToString(DownloadEnd end) {
  for (const auto& [e, word] : kEndWords) {
    if (e == end) return word;
  }
  return "unknown";
}

std::optional<DownloadEnd> DownloadEndFromString(std::string_view word) {
  for (const auto& [e, w] : kEndWords) {
    if (word == w) return e;
  }
  return std::nullopt;
}

DownloadOutcome RunDownload(DownloadForm& form) {
  DownloadOutcome out;
  out.file = form.FileName();
  if (TrimSpaces(out.file).empty()) {
    out.end = DownloadEnd::kNoFile;
    out.message = "Set File Name";
    Ui().MsgBox(out.message, kStyleCritical, kTitleA);
    return out;
  }
  Attempt attempt(form, out);
  if (attempt.CheckRelease() && attempt.CheckGuards() && attempt.Confirm()) {
    form.SetBusy(true);
    form.ClearAbort();
    if (attempt.Load() && attempt.BeginDriveWork() && attempt.Prepare() && attempt.SendBlocks()) {
      attempt.Done();
    }
    form.EndDriveWork();
  }
  // Finish: every way out after the checks passes through the idle state.
  if (out.end == DownloadEnd::kCancelled || out.confirmed()) form.SetBusy(false);
  return out;
}

}  // namespace qx
