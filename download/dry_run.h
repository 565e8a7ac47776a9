// The dry run: everything "Download Start" does up to the first command that
// changes the drive, and nothing after. The release is checked and loaded,
// the guards give their verdicts (the target's type, the power, the mounts,
// the exclusive open, the sleep inhibitor), the drive's state word is read
// and TEST UNIT READY sent; then the report says, step by step, what the real
// download would do: whether it would send the preparation command, which
// blocks it would send with which mode, or where and why it would stop.
// No box is shown and nothing is asked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "download/procedure.h"

namespace qx {

struct DryRunStep {
  enum class Verdict { kOk, kNote, kRefused };
  std::string name;  // "release", "drive", "target", "power", "drive_work",
                     // "state_word", "test_unit_ready", "history", "blocks"
  Verdict verdict = Verdict::kOk;
  std::string text;  // one line of plain English
};
// "ok", "note", "refused".
const char* ToString(DryRunStep::Verdict verdict);

struct PlannedBlock {
  int buffer_id = 0;
  int mode = 0;
};

struct DryRunReport {
  std::vector<DryRunStep> steps;
  // How the real download would end before its first write; nullopt: it
  // would start (prepare the drive and send the blocks).
  std::optional<DownloadEnd> would_end;
  std::string reason;  // why it would end there (the refusing step's text)
  // What the release and the drive said.
  DownloadOutcome release;  // file, area flags, checksum, blocks planned
  std::vector<PlannedBlock> blocks;
  std::optional<unsigned> state_word;  // nullopt: not read
  bool would_prepare = false;          // the preparation command would be sent
  bool would_start() const { return !would_end; }
};

// What the dry run needs of the window around it.
class DryRunForm {
 public:
  virtual ~DryRunForm() = default;
  virtual std::string FileName() const = 0;         // the name shown in Label4
  virtual std::string FirmwareDir() const = 0;      // with separator
  virtual std::string TargetEntry() const = 0;      // text of the chosen ComboID entry
  virtual std::string FirmwareVersion() const = 0;  // the FWVer caption
  virtual GuardVerdict CheckTarget() = 0;
  virtual GuardVerdict CheckPower() = 0;
  // The drive taken for this program alone and the machine kept awake, as a
  // download takes them (nothing recorded); EndDriveWork gives them back.
  virtual GuardVerdict BeginDriveWork() = 0;
  virtual void EndDriveWork() = 0;
  // What the history says about the drive (an interrupted attempt, the last
  // download); nullopt when nothing.
  virtual std::optional<std::string> HistoryNote() = 0;
  // Commands a read-only guard stopped before they reached the drive (none,
  // unless the procedure has a fault), as CDB lines.
  virtual std::vector<std::string> StoppedCommands() const = 0;
};

DryRunReport RunDryRun(DryRunForm& form);

}  // namespace qx
