// The download command: the release named on the command line into the drive
// at --ha/--id, through the window's own "Download Start".
#include <nlohmann/json.hpp>

#include "app/cli_session.h"
#include "app/cli_stop.h"
#include "download/release.h"
#include "platform/os.h"

namespace qx::cli {

namespace {

// Points the file list at the release's directory and chooses it there, as
// an operator would; a name the list does not show goes to Label4 directly.
void ChooseRelease(MainForm& form, const std::filesystem::path& file) {
  std::filesystem::path dir = file.parent_path();
  if (dir.empty()) dir = ".";
  form.SetFirmwareDir(os::Utf8FromPath(dir));
  const std::string name = os::Utf8FromPath(file.filename());
  if (!form.ChooseFileNamed(name)) form.Label4.Caption = name;
}

}  // namespace

int RunDownload(Session& s) {
  const auto file = s.ReleaseArgument();
  if (!file) return kExitUsage;
  if (int rc = s.Select()) return rc;
  ChooseRelease(s.form(), *file);

  Reporter& r = s.reporter();
  // Nobody would see how it went: a download is not started into a broken output.
  if (r.failed()) return kExitFailed;
  const auto outcome = s.form().StartDownload(&s.history());
  if (!outcome) return kExitFailed;
  const int stop = PendingStop();
  r.EndLive();
  // A stop while the last block went out could not stop anything: say so,
  // rather than letting the operator believe the download was cut short.
  const bool too_late = outcome->end == DownloadEnd::kDone && (outcome->stop_too_late || stop != 0);
  if (r.json()) {
    nlohmann::json event = {{"event", "download"},
                            {"end", ToString(outcome->end)},
                            {"block", outcome->block},
                            {"blocks_sent", outcome->blocks_sent},
                            {"blocks_planned", outcome->blocks_planned}};
    if (too_late) event["stop_too_late"] = true;
    r.Json(event);
  }
  if (too_late) {
    s.err() << "qxflash: the stop came too late: the download had completed ("
            << outcome->blocks_sent << " of " << outcome->blocks_planned << " blocks sent)\n";
  }
  if (outcome->end == DownloadEnd::kAborted) {
    const std::string why =
        r.failed() ? "stopped: the output could not be written" : StopReason(stop);
    s.err() << "qxflash: download " << why;
    if (outcome->block >= 0) s.err() << " before block " << outcome->block;
    s.err() << "; " << outcome->blocks_sent << " of " << outcome->blocks_planned
            << " blocks sent (blocks already sent stay sent)\n";
  }
  return outcome->end == DownloadEnd::kDone ? kExitOk : kExitFailed;
}

}  // namespace qx::cli
