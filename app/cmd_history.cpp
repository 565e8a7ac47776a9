// The history command: every record of the download history, oldest first.
#include <nlohmann/json.hpp>

#include "app/cli_session.h"

namespace qx::cli {

namespace {

std::string HumanLine(const history::Entry& e, const std::vector<history::Record>& records) {
  const history::Record& r = *e.record;
  const history::EntryWords words = history::Describe(e, records);
  std::string line = r.time + "  " + r.drive.transport + " " + std::to_string(r.drive.ha) + ":" +
                     std::to_string(r.drive.target) + " " + Latin1ToUtf8(r.drive.product) + "  ";
  if (r.kind == history::RecordKind::kVerify) return line + Latin1ToUtf8(words.text);
  if (r.kind == history::RecordKind::kDryRun) {
    line += r.release + "  " + words.outcome;
    if (r.blocks_planned > 0) line += " (" + std::to_string(r.blocks_planned) + " blocks planned)";
    if (!words.text.empty()) line += ": " + Latin1ToUtf8(words.text);
    return line;
  }
  line += r.release + "  " + words.outcome + " " + words.blocks + " blocks";
  const bool said = r.kind == history::RecordKind::kDownload && r.end == DownloadEnd::kDone;
  if (!said && !words.text.empty()) line += ": " + Latin1ToUtf8(words.text);
  return line;
}

}  // namespace

int RunHistory(Session& s) {
  if (s.options().no_history) {
    s.err() << "qxflash: --no-history leaves no history to list\n";
    return kExitUsage;
  }
  if (!s.history().unavailable().empty()) {
    s.err() << "qxflash: " << s.history().unavailable() << "\n";
    return kExitFailed;
  }
  const auto& h = s.history().Read();
  Reporter& r = s.reporter();
  if (h.records.empty()) {
    // Nothing recorded, and nothing can be: say why.
    if (auto why = history::NoPlaceFor(s.history().path())) {
      s.err() << "qxflash: warning: " << Printable(*why) << "\n";
    }
    if (!r.json()) r.Human("No downloads recorded in " + s.history().path());
  }
  for (const auto& entry : history::Listing(h.records)) {
    if (r.json()) {
      auto j = history::ToJson(*entry.record);
      j["event"] = "history";
      if (entry.interrupted) j["interrupted"] = true;
      if (entry.in_progress) j["in_progress"] = true;
      r.Json(j);
    } else {
      r.Human(HumanLine(entry, h.records));
    }
  }
  return kExitOk;
}

}  // namespace qx::cli
