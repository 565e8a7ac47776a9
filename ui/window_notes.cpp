#include "ui/window_notes.h"

namespace qx {

void WindowNotes::Scanned(history::Log* log, const ScanResult& scan) {
  notices_.clear();
  warnings_.clear();
  if (log == nullptr || !scan.answered) return;
  for (const auto& notice : log->CheckScan(scan)) notices_.push_back(notice.line);
}

void WindowNotes::Warning(const std::string& text) {
  std::string line = text;
  if (!line.empty() && line[0] >= 'a' && line[0] <= 'z') line[0] = static_cast<char>(line[0] - 32);
  warnings_.push_back(std::move(line));
}

void WindowNotes::Downloaded(const std::optional<DownloadOutcome>& outcome) {
  if (!outcome || !outcome->stop_too_late) return;
  // Abort (or a stop) came while the last block went out: nothing was
  // stopped, and the operator must not think the drive is half written.
  Warning("Abort came too late: the download had completed (" +
          std::to_string(outcome->blocks_sent) + " of " + std::to_string(outcome->blocks_planned) +
          " blocks sent).");
}

void WindowNotes::NoHistory(const history::Log& log) {
  if (!log.unavailable().empty()) Warning(log.unavailable() + "; downloads are not recorded");
}

std::vector<std::string> WindowNotes::Lines() const {
  std::vector<std::string> lines = notices_;
  lines.insert(lines.end(), warnings_.begin(), warnings_.end());
  return lines;
}

}  // namespace qx
