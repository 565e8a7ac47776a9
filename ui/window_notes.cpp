#include "ui/window_notes.h"

#include <algorithm>

namespace qx {

std::optional<std::string> OutcomeLine(const DownloadOutcome& o, const std::string& drive) {
  if (!o.confirmed()) return std::nullopt;
  const std::string to = drive.empty() ? std::string() : " to " + drive;
  const std::string sent = std::to_string(o.blocks_sent) + " of " +
                           std::to_string(o.blocks_planned) + " blocks sent" + to;
  const std::string again = ". Download the release again before switching the drive off.";
  const std::string why = o.message.empty() ? std::string() : " (" + JoinedLines({o.message}) + ")";
  switch (o.end) {
    case DownloadEnd::kDone:
      return "Download finished: " + sent +
             ". Wait until all LEDs of the drive are off, then switch the drive and the PC off.";
    case DownloadEnd::kAborted:
      if (o.blocks_sent == 0) return "Download aborted: no firmware block was sent" + to + ".";
      return "Download aborted before block " + std::to_string(o.block) + ": " + sent + again;
    case DownloadEnd::kBlockFailed:
      return "Download failed at block " + std::to_string(o.block) + ": " + sent + again;
    case DownloadEnd::kPreparationFailed:
      return "Download failed while preparing the drive: no firmware block was sent" + to + why +
             ".";
    case DownloadEnd::kRefused:
    case DownloadEnd::kLoadFailed:
      return "Download not started: nothing was sent to the drive" + why + ".";
    case DownloadEnd::kNoFile:
    case DownloadEnd::kCheckFailed:
    case DownloadEnd::kCancelled:
      break;
  }
  return std::nullopt;
}

void WindowNotes::Add(std::vector<Line>& to, Role role, std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 32);
  to.push_back({role, std::move(text)});
}

std::string DryRunLine(const DryRunReport& report, const std::string& drive) {
  std::string line = "Dry run of " + report.release.file;
  if (!drive.empty()) line += " on " + drive;
  if (report.would_start()) return line + ": the download would start";
  return line + ": the download would not start: " + report.reason;
}

void WindowNotes::DryRun(const DryRunReport& report, const std::string& drive) {
  dry_run_.clear();
  Add(dry_run_, report.would_start() ? Role::kGood : Role::kError, DryRunLine(report, drive));
  for (const auto& step : report.steps) {
    // The refusal is said in the first line; the state word tells what the
    // download would send first.
    if (step.verdict == DryRunStep::Verdict::kNote) {
      Add(dry_run_, Role::kWarning, step.text);
    } else if (step.name == "state_word" && step.verdict == DryRunStep::Verdict::kOk) {
      Add(dry_run_, Role::kInfo, "State word " + step.text);
    }
  }
}

void WindowNotes::Scanned(history::Log* log, const ScanResult& scan) {
  notices_.clear();
  warnings_.clear();
  dry_run_.clear();
  if (log == nullptr || !scan.answered) return;
  for (const auto& notice : log->CheckScan(scan)) {
    Add(notices_, notice.interrupted ? Role::kWarning : Role::kInfo, notice.line);
  }
}

void WindowNotes::Warning(const std::string& text) {
  Add(warnings_, Role::kWarning, text);
}

void WindowNotes::Downloaded(const std::optional<DownloadOutcome>& outcome,
                             const std::string& drive) {
  if (!outcome) return;
  if (const auto line = OutcomeLine(*outcome, drive)) {
    const bool done = outcome->end == DownloadEnd::kDone;
    const bool aborted = outcome->end == DownloadEnd::kAborted;
    Add(warnings_, done ? Role::kGood : aborted ? Role::kWarning : Role::kError, *line);
  }
  if (!outcome->stop_too_late) return;
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
  std::vector<std::string> lines;
  for (const auto* part : {&notices_, &warnings_, &dry_run_}) {
    for (const auto& line : *part) lines.push_back(line.text);
  }
  return lines;
}

Role WindowNotes::Severity() const {
  auto rank = [](Role r) {
    switch (r) {
      case Role::kError:
        return 4;
      case Role::kWarning:
        return 3;
      case Role::kGood:
        return 2;
      case Role::kInfo:
        return 1;
      case Role::kPlain:
        break;
    }
    return 0;
  };
  Role most = Role::kPlain;
  for (const auto* part : {&notices_, &warnings_, &dry_run_}) {
    for (const auto& line : *part) {
      if (rank(line.role) > rank(most)) most = line.role;
    }
  }
  return most;
}

}  // namespace qx
