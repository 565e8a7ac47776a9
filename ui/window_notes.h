// What the main window shows below its lists about the last scan and what
// came after it: the history's notices about the scanned drives, warnings of
// the history itself, and the download's notes (on battery, no sleep
// inhibitor, how the last download ended, a stop that came too late). Kept
// until the next scan. Each line has a role; the views colour by the most
// serious one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "aspi/bus_scan.h"
#include "download/dry_run.h"
#include "download/procedure.h"
#include "history/history.h"
#include "ui/view_state.h"

namespace qx {

// One line for the operator and the screen reader on how a download that got
// past the confirmation ended ("Download finished: 16 of 16 blocks sent to
// ..."); nullopt for attempts that ended before it (the box said why).
std::optional<std::string> OutcomeLine(const DownloadOutcome& outcome, const std::string& drive);

// One line on a dry run ("Dry run of R.OUB on the drive at 0:2 (QX-R4410):
// the download would start").
std::string DryRunLine(const DryRunReport& report, const std::string& drive);

class WindowNotes {
 public:
  // After a scan: the history's notices about the drives it found (none
  // without a history), in place of everything shown before.
  void Scanned(history::Log* log, const ScanResult& scan);
  // A warning or note, shown with a capital letter ("cannot write the history
  // ..." becomes "Cannot write the history ...").
  void Warning(const std::string& text);
  // After a download: what the operator must know of how it ended, for
  // `drive` ("the drive at 0:2 (QX-R4410)").
  void Downloaded(const std::optional<DownloadOutcome>& outcome, const std::string& drive = {});
  // After a dry run: its outcome, what the state word means, and every note
  // or refusal, in place of an earlier dry run's lines.
  void DryRun(const DryRunReport& report, const std::string& drive);
  // At start: the history that was wanted has no place.
  void NoHistory(const history::Log& log);

  // The notices first, then the warnings and notes, oldest first.
  std::vector<std::string> Lines() const;
  // The most serious role of the lines (kPlain without any).
  Role Severity() const;

 private:
  struct Line {
    Role role;
    std::string text;
  };
  void Add(std::vector<Line>& to, Role role, std::string text);
  std::vector<Line> notices_;
  std::vector<Line> warnings_;
  std::vector<Line> dry_run_;
};

}  // namespace qx
