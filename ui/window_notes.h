// What the main window shows below its lists about the last scan and what
// came after it: the history's notices about the scanned drives, warnings of
// the history itself, and the download's notes (on battery, no sleep
// inhibitor, a stop that came too late). Kept until the next scan. The views
// only render Lines().
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "aspi/bus_scan.h"
#include "download/procedure.h"
#include "history/history.h"

namespace qx {

class WindowNotes {
 public:
  // After a scan: the history's notices about the drives it found (none
  // without a history), in place of everything shown before.
  void Scanned(history::Log* log, const ScanResult& scan);
  // A warning or note, shown with a capital letter ("cannot write the history
  // ..." becomes "Cannot write the history ...").
  void Warning(const std::string& text);
  // After a download: what the operator must know of how it ended.
  void Downloaded(const std::optional<DownloadOutcome>& outcome);
  // At start: the history that was wanted has no place.
  void NoHistory(const history::Log& log);

  // The notices first, then the warnings and notes, oldest first.
  std::vector<std::string> Lines() const;

 private:
  std::vector<std::string> notices_;
  std::vector<std::string> warnings_;
};

}  // namespace qx
