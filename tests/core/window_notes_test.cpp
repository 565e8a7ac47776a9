// The notes below the main window's lists, as both windows show them.
#include "ui/window_notes.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(WindowNotes, WarningsAndTheDownloadsNotesUntilTheNextScan) {
  WindowNotes notes;
  history::Log none({}, "0", "no place for the download history (HOME is not set)");
  notes.NoHistory(none);
  notes.Warning("history line 3 is damaged; skipped");
  DownloadOutcome late;
  late.end = DownloadEnd::kDone;
  late.blocks_sent = late.blocks_planned = 2;
  late.stop_too_late = true;
  notes.Downloaded(late);
  notes.Downloaded(DownloadOutcome{});  // nothing to say
  notes.Downloaded(std::nullopt);
  EXPECT_EQ(notes.Lines(),
            (std::vector<std::string>{
                "No place for the download history (HOME is not set); downloads are not recorded",
                "History line 3 is damaged; skipped",
                "Abort came too late: the download had completed (2 of 2 blocks sent)."}));
  notes.Scanned(nullptr, ScanResult{.answered = true, .transport = "", .lun = 0, .adapters = {}});
  EXPECT_TRUE(notes.Lines().empty());
}

}  // namespace
}  // namespace qx
