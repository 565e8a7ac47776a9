// The history command: every record of the download history, oldest first.
#include <nlohmann/json.hpp>

#include "app/cli_session.h"

namespace qx::cli {

namespace {

std::string HumanLine(const history::Record& r, const std::vector<history::Record>& records) {
  std::string line = r.time + "  " + r.drive.transport + " " + std::to_string(r.drive.ha) + ":" +
                     std::to_string(r.drive.target) + " " + Latin1ToUtf8(r.drive.product) + "  ";
  if (r.kind == history::RecordKind::kDownload) {
    line += r.release + "  " + ToString(r.end) + " " + std::to_string(r.blocks_sent) + "/" +
            std::to_string(r.blocks_planned) + " blocks";
    if (r.end != DownloadEnd::kDone && !r.message.empty()) line += ": " + r.message;
  } else {
    line += Latin1ToUtf8(history::VerifyText(r, records));
  }
  return line;
}

}  // namespace

int RunHistory(Session& s) {
  if (s.options().no_history) {
    s.err() << "qxflash: --no-history leaves no history to list\n";
    return kExitUsage;
  }
  const auto& h = s.history().Read();
  Reporter& r = s.reporter();
  if (!r.json() && h.records.empty()) {
    r.Human("No downloads recorded in " + s.history().path());
  }
  for (const auto& record : h.records) {
    if (r.json()) {
      auto j = history::ToJson(record);
      j["event"] = "history";
      r.Json(j);
    } else {
      r.Human(HumanLine(record, h.records));
    }
  }
  return kExitOk;
}

}  // namespace qx::cli
