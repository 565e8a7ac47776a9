// The download command: the release named on the command line into the drive
// at --ha/--id, through the window's own "Download Start".
#include <nlohmann/json.hpp>

#include "app/cli_session.h"
#include "app/cli_stop.h"
#include "app/cli_twin.h"
#include "aspi/read_only.h"
#include "aspi/transport_state.h"
#include "download/dry_run.h"
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

// Every command of a dry run, the scan's included, passes a guard that lets
// only reading commands through; the bus is put back on every way out.
class ReadOnlyGuard {
 public:
  ReadOnlyGuard() : bus_(InstalledAspiManager()) {
    if (bus_) InstallAspiManager(std::make_shared<ReadOnlyManager>(bus_));
  }
  ~ReadOnlyGuard() {
    if (bus_) InstallAspiManager(bus_);
  }
  ReadOnlyGuard(const ReadOnlyGuard&) = delete;
  ReadOnlyGuard& operator=(const ReadOnlyGuard&) = delete;

 private:
  std::shared_ptr<AspiManager> bus_;
};

const char* VerdictLabel(DryRunStep::Verdict v) {
  switch (v) {
    case DryRunStep::Verdict::kOk:
      return "  ok       ";
    case DryRunStep::Verdict::kNote:
      return "  note     ";
    case DryRunStep::Verdict::kRefused:
      break;
  }
  return "  refused  ";
}

// The step as the operator reads it before its text.
std::string StepLabel(const std::string& name) {
  static const std::pair<const char*, const char*> kLabels[] = {
      {"release", "release"},
      {"drive", "drive"},
      {"target", "device type"},
      {"power", "power"},
      {"drive_work", "drive taken"},
      {"state_word", "state word"},
      {"test_unit_ready", "TEST UNIT READY"},
      {"history", "history"},
      {"blocks", "blocks"},
      {"read_only", "read-only guard"},
  };
  for (const auto& [n, label] : kLabels) {
    if (name == n) return label;
  }
  return name;
}

void Report(Session& s, const DryRunReport& report) {
  Reporter& r = s.reporter();
  if (r.json()) {
    for (const auto& step : report.steps) {
      r.Json({{"event", "dry_run_step"},
              {"step", step.name},
              {"verdict", ToString(step.verdict)},
              {"text", Latin1ToUtf8(step.text)}});
    }
    nlohmann::json blocks = nlohmann::json::array();
    for (const auto& b : report.blocks)
      blocks.push_back({{"buffer_id", b.buffer_id}, {"mode", b.mode}});
    nlohmann::json event = {{"event", "dry_run"},
                            {"would_start", report.would_start()},
                            {"release", report.release.file},
                            {"blocks", blocks},
                            {"prepare", report.would_prepare}};
    event["would_end"] = report.would_end ? nlohmann::json(ToString(*report.would_end)) : nullptr;
    event["reason"] = Latin1ToUtf8(report.reason);
    event["state_word"] =
        report.state_word ? nlohmann::json("0x" + Hex(*report.state_word)) : nullptr;
    r.Json(event);
    return;
  }
  r.Human("Dry run of " + report.release.file + " on target " +
          TrimTrailingSpaces(s.form().ComboID.Text()) + ": nothing that changes the drive is sent");
  for (const auto& step : report.steps) {
    r.Human(VerdictLabel(step.verdict) + StepLabel(step.name) + ": " + Latin1ToUtf8(step.text));
  }
  r.Human(report.would_start() ? "The download would start."
                               : "The download would not start: " + Latin1ToUtf8(report.reason));
}

// The drive for the operator and the twin: "the drive at 0:2 (QX-R4410),
// /dev/sg3 1:0:2:0".
std::string DriveDescription(Session& s) {
  std::string text = s.form().ChosenDriveName();
  if (auto manager = InstalledAspiManager()) {
    const auto where = manager->DeviceLocation(SelectedHaId, SelectedTargetId, SelectedLun);
    if (!where.node.empty()) text += ", " + where.node;
    if (!where.address.empty()) text += " " + where.address;
  }
  return Latin1ToUtf8(text);
}

int RunDryRun(Session& s, const std::filesystem::path& file) {
  ReadOnlyGuard guard;
  TwinRecording twin(s);
  if (int rc = s.Select()) return rc;
  ChooseRelease(s.form(), file);
  if (s.reporter().failed()) return kExitFailed;
  const auto report = s.form().DryRun(&s.history());
  if (!report) return kExitFailed;
  Report(s, *report);
  if (!twin.Write(DriveDescription(s))) return kExitFailed;
  return report->would_start() ? kExitOk : kExitFailed;
}

}  // namespace

int RunDownload(Session& s) {
  const auto file = s.ReleaseArgument();
  if (!file) return kExitUsage;
  if (s.options().dry_run) return RunDryRun(s, *file);
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
