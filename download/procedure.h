// The download procedure behind "Download Start": check the chosen release, ask
// for confirmation, prepare the drive and send the chosen blocks of the image
// with WRITE BUFFER. It runs over a small interface to the window around it, so
// the window model, the command line and tests share one procedure, and it
// returns a structured outcome that front ends read instead of texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "text/text.h"

namespace qx {

inline constexpr const char* kModel = "QX-R4410";
inline constexpr const char* kTitleA = "QX-R4410 Ambervault Tool 2 ";  // checks and confirmation
inline constexpr const char* kTitleB = "QX-R4410 Ambervault Tool 2";   // drive messages

// A guard's answer: a refusal (the download must not go on; the text says why
// and what to do), or a note for the operator, or nothing.
struct GuardVerdict {
  std::optional<std::string> refusal;
  std::optional<std::string> note;
};

// The drive's state word at 0x7FE0-0x7FE1 (memory area 0) tells whether it
// is set to take new firmware: it then reads 0xCCDD; otherwise the download
// first sends the vendor diagnostic output E3/80, which sets it so.
inline constexpr int32_t kStateWordStart = 0x7FE0;
inline constexpr int32_t kStateWordEnd = 0x7FE1;
inline constexpr uint8_t kStateWordArea = 0;
inline constexpr unsigned kReadyForFirmware = 0xCCDD;

struct DownloadOutcome;

// What the procedure needs of the main window.
class DownloadForm {
 public:
  virtual ~DownloadForm() = default;
  virtual std::string FileName() const = 0;     // the name shown in Label4
  virtual std::string FirmwareDir() const = 0;  // directory of the file list, with separator
  virtual std::string TargetEntry() const = 0;  // text of the chosen ComboID entry
  virtual void SetStatus(std::string text, bool repaintNow) = 0;  // Text1
  virtual void SetBusy(bool busy) = 0;  // the busy state of the controls (false: Finish)
  virtual bool AbortRequested() const = 0;
  virtual void ClearAbort() = 0;
  virtual void BlockPause() = 0;  // after each block but the last
  // A WRITE BUFFER block completed: buffer ID, mode, 1-based index of `count`.
  virtual void BlockSent(int block, int mode, int index, int count) = 0;

  // The guards of a firmware download, around the defined steps. None of them
  // sends a command to the drive.
  // After the header check: whether the chosen target may take this firmware
  // at all (a CD/DVD device, as its last INQUIRY reported).
  virtual GuardVerdict CheckTarget() { return {}; }
  // Before the confirmation: the machine's power (a low battery refuses).
  virtual GuardVerdict CheckPower() { return {}; }
  // Just before the first command: the drive taken for this program alone and
  // the machine kept awake, and the attempt recorded as begun. A refusal ends
  // the attempt before anything is sent. Whatever was taken is given back by
  // EndDriveWork, on every way out.
  virtual GuardVerdict BeginDriveWork(const DownloadOutcome& /*so_far*/) { return {}; }
  virtual void EndDriveWork() {}
  // A note for the operator (on battery, no sleep inhibitor, ...): shown, not asked.
  virtual void Note(const std::string& /*text*/) {}
};

enum class DownloadEnd {
  kNoFile,             // no file chosen (nothing shown but the box)
  kCheckFailed,        // header or model check failed
  kCancelled,          // Cancel at the confirmation
  kRefused,            // a guard refused the drive or the machine (nothing was sent)
  kLoadFailed,         // release load (checksum, no area) failed
  kAborted,            // the operator aborted before a block was sent
  kPreparationFailed,  // a preparation command failed with a host adapter error
  kBlockFailed,        // a WRITE BUFFER failed
  kDone,               // every chosen block was sent
};

// One word per ending ("no_file", "check_failed", "cancelled", "refused",
// "load_failed", "aborted", "preparation_failed", "block_failed", "done"), as the command
// line's events and the download history write it.
const char* ToString(DownloadEnd end);
std::optional<DownloadEnd> DownloadEndFromString(std::string_view word);

struct DownloadOutcome {
  DownloadEnd end = DownloadEnd::kNoFile;
  int block = -1;       // buffer ID the attempt ended at (aborted or failed); -1 otherwise
  int blocks_sent = 0;  // WRITE BUFFER blocks that completed
  int blocks_planned = 0;
  std::string message;  // the box text shown at the end (empty for an abort or Cancel)
  std::string file;     // the parameter file's name as chosen
  std::array<int16_t, 3> area_flags{};
  double checksum = 0;         // the parameter file's checksum item
  bool was_confirmed = false;  // the operator answered OK at the confirmation
  // A stop was asked for while the last block went out: it came too late, the
  // download had completed.
  bool stop_too_late = false;
  bool confirmed() const { return was_confirmed; }
};

// Runs the whole procedure once. Every box, status text and command is exactly
// that of the "Download Start" click.
DownloadOutcome RunDownload(DownloadForm& form);

}  // namespace qx
