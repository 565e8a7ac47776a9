#include "download/procedure.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "download/release.h"
#include "download/write_buffer.h"
#include "platform/window_system.h"

namespace qx {

namespace {

// Shows `text` as a critical box and records it as the outcome's message.
DownloadOutcome& Fail(DownloadOutcome& out, DownloadEnd end, std::string text, const char* title) {
  out.end = end;
  out.message = std::move(text);
  Ui().MsgBox(out.message, kStyleCritical, title);
  return out;
}

// Steps 2 onwards; the busy state is left to the caller's Finish.
DownloadOutcome Transfer(DownloadForm& form, DownloadOutcome& out) {
  form.SetStatus("Read Parameter File", true);

  ParameterFile file;
  if (auto message = HeaderCheck(form.FirmwareDir() + out.file, form.TargetEntry(), file)) {
    return Fail(out, DownloadEnd::kCheckFailed, *message, kTitleA);
  }
  if (Ui().MsgBox("Firmware Download Execute", kStyleQuestion, kTitleA) == kAnswerCancel) {
    file.Close();
    out.end = DownloadEnd::kCancelled;
    return out;
  }

  form.SetBusy(true);
  form.ClearAbort();

  Release release;
  if (auto message = ReleaseLoad(file, form.FirmwareDir(), out.file, release)) {
    return Fail(out, DownloadEnd::kLoadFailed, *message, kTitleA);
  }
  out.area_flags = release.AreaFlag;
  out.checksum = release.ParamChecksum;
  const std::vector<size_t> blocks = BlocksToSend(release);
  out.blocks_planned = static_cast<int>(blocks.size());
  if (form.AbortRequested()) {
    form.SetStatus("Abort By User", false);
    out.end = DownloadEnd::kAborted;
    return out;
  }
  form.SetStatus("Download Start !!", true);

  // Prepare the drive. Only a host adapter error ends the attempt here; what the
  // drive itself reports is passed over.
  bool prepared = true;
  if (MemoryRead(0x7FE0, 0x7FE1, 0) != 1) {
    prepared = LastHaStat == 0;
  } else {
    const unsigned word = DataBuf[0] * 256u + DataBuf[1];
    if (word != 0xCCDD && DiOut(0xE3, 0x80) != 1) prepared = LastHaStat == 0;
  }
  if (prepared && TestUnitReady() != 1) prepared = LastHaStat == 0;
  if (!prepared) return Fail(out, DownloadEnd::kPreparationFailed, ErrMsg, kTitleB);

  for (size_t b : blocks) {
    std::copy_n(ImageBuf.begin() + b * kBlockSize, kBlockSize, DataBuf.begin());
    Ui().DoEvents();
    out.block = static_cast<int>(b);
    if (form.AbortRequested()) {
      form.SetStatus("Abort By User", false);
      out.end = DownloadEnd::kAborted;
      return out;
    }
    const uint8_t mode = release.BlockMode[b];
    if (WriteBuffer(0, static_cast<int32_t>(kBlockSize), mode, static_cast<uint8_t>(b)) != 1) {
      form.SetStatus(ErrMsg, false);
      const std::string text = LastHaStat != 0 ? "HostAdaptrError!  \r\n" + ErrMsg : ErrMsg;
      return Fail(out, DownloadEnd::kBlockFailed, text, kTitleB);
    }
    form.BlockSent(static_cast<int>(b), mode, ++out.blocks_sent, out.blocks_planned);
    if (b != 15) form.BlockPause();
  }
  out.block = -1;

  out.end = DownloadEnd::kDone;
  out.message = form.TargetEntry() +
                "\r\n\r\nWait until all LED off.\r\n"
                "After all LED off ,turn Off drive & PC power.";
  Ui().MsgBox(out.message, kStyleExclamation, kTitleB);
  form.SetStatus("", false);
  return out;
}

constexpr std::pair<DownloadEnd, const char*> kEndWords[] = {
    {DownloadEnd::kNoFile, "no_file"},
    {DownloadEnd::kCheckFailed, "check_failed"},
    {DownloadEnd::kCancelled, "cancelled"},
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
    return Fail(out, DownloadEnd::kNoFile, "Set File Name", kTitleA);
  }
  Transfer(form, out);
  // Finish: every way out but the failed checks passes through the idle state.
  if (out.end != DownloadEnd::kCheckFailed) form.SetBusy(false);
  return out;
}

}  // namespace qx
