#include "ui/main_controller.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <utility>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "download/preview.h"
#include "download/release.h"
#include "platform/os.h"

namespace qx {

namespace {

// The spoken name and access key of each part of the window (the captions
// come from the model; the keys are marked by the views).
struct Naming {
  ControlId id;
  const char* object_name;
  const char* name;  // nullptr: the control's text is its name
  char key;
};
constexpr Naming kNaming[] = {
    {ControlId::kSCSIMode, "SCSIMode", nullptr, 'S'},
    {ControlId::kScsiScan, "Scsi_Scan", nullptr, 'R'},
    {ControlId::kHistory, "History", nullptr, 't'},
    {ControlId::kBanner, "TransportBadge", nullptr, 0},
    {ControlId::kTargetGroup, "TargetGroup", "Drive", 0},
    {ControlId::kImage1, "Image1", "Picture of the drive", 0},
    {ControlId::kLabel1, "Label1", "Host adapter", 'H'},
    {ControlId::kComboHA, "ComboHA", "Host adapter", 0},
    {ControlId::kLabel2, "Label2", "Target ID", 'I'},
    {ControlId::kComboID, "ComboID", "Target ID", 0},
    {ControlId::kLabel3_2, "Label3_2", nullptr, 'V'},
    {ControlId::kFWVer, "FWVer", "Current Firmware Version", 0},
    {ControlId::kScanNotes, "ScanNotes", "Scan notes", 0},
    {ControlId::kRestartElevated, "RestartElevated", nullptr, 'e'},
    {ControlId::kNotes, "HistoryNotes", "Notes", 0},
    {ControlId::kReleaseGroup, "ReleaseGroup", "Release", 0},
    {ControlId::kLabel3_0, "Label3_0", nullptr, 'F'},
    {ControlId::kFile1, "File1", "Select File", 0},
    {ControlId::kOpenRelease, "OpenRelease", nullptr, 'O'},
    {ControlId::kLabel3_1, "Label3_1", nullptr, 'N'},
    {ControlId::kLabel4, "Label4", "File Name", 0},
    {ControlId::kReleaseSummary, "ReleaseSummary", "Release check", 0},
    {ControlId::kCommand1, "Command1", nullptr, 'D'},
    {ControlId::kCheckDrive, "CheckDrive", nullptr, 'C'},
    {ControlId::kTyusi, "Tyusi", nullptr, 'A'},
    {ControlId::kProgress, "Progress", "Download progress", 0},
    {ControlId::kWaitInfo, "WaitInfo", "Drive activity", 0},
    {ControlId::kAbortNotice, "AbortNotice", "Abort notice", 0},
    {ControlId::kText1, "Text1", "Status", 0},
};
static_assert(std::size(kNaming) == kControlCount);
constexpr bool InIdOrder() {
  for (size_t i = 0; i < std::size(kNaming); ++i) {
    if (static_cast<size_t>(kNaming[i].id) != i) return false;
  }
  return true;
}
static_assert(InIdOrder());

constexpr const Naming& NamingOf(ControlId id) {
  return kNaming[static_cast<size_t>(id)];
}

}  // namespace

const char* ObjectName(ControlId id) {
  return id < ControlId::kCount ? NamingOf(id).object_name : "";
}

std::string WithAccessKey(const std::string& text, char key, char marker) {
  std::string out;
  bool marked = key == 0;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (char c : text) {
    if (c == marker) out.push_back(marker);
    if (!marked && lower(c) == lower(key)) {
      out.push_back(marker);
      marked = true;
    }
    out.push_back(c);
  }
  return out;
}

MainController::MainController(MainForm& form, history::Log* history, std::string window_title,
                               std::string banner, SettingsStore* settings)
    : form_(form), history_(history), settings_(settings), window_title_(std::move(window_title)) {
  state_[ControlId::kBanner].text = std::move(banner);
  form_.on_event = [this](const MainEvent& e) { OnModelEvent(e); };
  if (history_) history_->on_warning = [this](const std::string& w) { Warning(w); };
  Build();
}

MainController::~MainController() {
  form_.on_event = nullptr;
  if (history_) history_->on_warning = nullptr;
}

void MainController::Attach(MainView* view) {
  view_ = view;
  Publish();
}

void MainController::NoHistory() {
  if (history_ == nullptr) return;
  notes_.NoHistory(*history_);
  Publish();
}

void MainController::Warning(const std::string& text) {
  notes_.Warning(text);
  Publish();
}

void MainController::Announce(ControlId source, std::string text) {
  text = TrimSpaces(JoinedLines({text}));
  if (!text.empty()) state_.announcements.push_back({source, std::move(text)});
}

// --- intents ---------------------------------------------------------------

void MainController::Rescan() {
  if (busy_ || !form_.Scsi_Scan.Enabled) return;
  ScanResult scan;
  RunHandler([this, &scan] { scan = form_.Scan(); });
  const auto manager = InstalledAspiManager();
  scan_notes_ = manager ? TrimSpaces(manager->Notes()) : std::string();
  access_denied_ = manager && manager->AccessDenied();
  notes_.Scanned(history_, scan);
  Publish();
}

void MainController::ChooseAdapter(int index) {
  RunHandler([this, index] { form_.ComboHA.SetListIndex(index); });
}

void MainController::ChooseTarget(int index) {
  RunHandler([this, index] { form_.ComboID.SetListIndex(index); });
}

void MainController::ChooseFile(int index) {
  if (index < 0 || index == form_.File1.ListIndex()) return;
  RunHandler([this, index] { form_.File1.SetListIndex(index); });
}

void MainController::OpenRelease(const std::string& path) {
  if (busy_ || handler_depth_ > 0 || TrimSpaces(path).empty()) return;
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(os::PathFromUtf8(path), ec);
  const std::string name = os::Utf8FromPath(file.filename());
  // Nothing changes for a file that is not a release: the list and the name
  // chosen before stay as they were.
  if (!MatchesPattern(name, "*.OUB")) {
    Warning("Not a release: '" + path + "' (a release is a parameter file *.OUB)");
    return;
  }
  if (ec || !std::filesystem::is_regular_file(file, ec)) {
    Warning("Cannot open the release '" + path + "': there is no such file");
    return;
  }
  const std::string dir = os::Utf8FromPath(file.parent_path());
  RunHandler([this, &dir, &name] {
    form_.SetFirmwareDir(dir);
    // The name chosen before belongs to the folder shown before.
    if (!form_.ChooseFileNamed(name)) form_.Label4.Caption.clear();
  });
  if (settings_ != nullptr) settings_->SaveSetting(kSettingsApp, kReleasesSection, "Folder", dir);
  state_.focus = ControlId::kFile1;
  Publish();
}

std::string MainController::RememberedFolder(SettingsStore& settings) {
  const std::string dir = settings.GetSetting(kSettingsApp, kReleasesSection, "Folder", "");
  std::error_code ec;
  return !dir.empty() && std::filesystem::is_directory(os::PathFromUtf8(dir), ec) ? dir : "";
}

void MainController::Download() {
  std::optional<DownloadOutcome> outcome;
  const std::string drive = form_.ChosenDriveName();
  RunHandler([this, &outcome] { outcome = form_.StartDownload(history_); });
  if (!outcome) return;
  notes_.Downloaded(outcome, drive);
  if (const auto line = OutcomeLine(*outcome, drive)) Announce(ControlId::kNotes, *line);
  if (view_) view_->ReloadHistory();
  Publish();
}

void MainController::CheckDrive() {
  std::optional<DryRunReport> report;
  const std::string drive = form_.ChosenDriveName();
  RunHandler([this, &report] { report = form_.DryRun(history_); });
  if (!report) return;
  notes_.DryRun(*report, drive);
  Announce(ControlId::kNotes, DryRunLine(*report, drive));
  if (view_) view_->ReloadHistory();
  Publish();
}

void MainController::RestartElevated() {
  if (busy_ || handler_depth_ > 0 || !access_denied_ || !restart_elevated) return;
  if (!restart_elevated(ElevatedRestartArguments())) {
    Warning(kRestartFailedText);
    return;
  }
  // The new program takes over the drives; this window goes as on closing.
  if (view_) view_->PostClose();
}

std::vector<std::string> MainController::ElevatedRestartArguments() const {
  std::vector<std::string> args{"--drives"};
  const std::string& file = form_.Label4.Caption;
  if (!TrimSpaces(file).empty()) {
    args.push_back(os::Utf8FromPath(os::PathFromUtf8(form_.FirmwareDir) / os::PathFromUtf8(file)));
  } else if (!form_.FirmwareDir.empty()) {
    args.insert(args.end(), {"--dir", form_.FirmwareDir});
  }
  if (form_.ComboID.ListIndex() >= 0 && SelectedHaId <= 7 && SelectedTargetId <= 7) {
    args.insert(args.end(),
                {"--ha", std::to_string(SelectedHaId), "--id", std::to_string(SelectedTargetId)});
  }
  return args;
}

void MainController::ChooseDriveWhenShown(std::optional<int> ha, std::optional<int> id) {
  start_ha_ = ha;
  start_id_ = id;
}

void MainController::WindowShown() {
  if (!start_ha_ && !start_id_) return;
  const std::optional<int> ha = std::exchange(start_ha_, std::nullopt);
  const std::optional<int> id = std::exchange(start_id_, std::nullopt);
  Rescan();
  // The lists' entries start with their number: "0:SIM-HA0", "2:QX-R4410".
  auto find = [](const std::vector<std::string>& items, int number) {
    const std::string prefix = std::to_string(number) + ":";
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    }
    return -1;
  };
  if (ha) {
    const int index = find(form_.ComboHA.Items(), *ha);
    if (index >= 0 && index != form_.ComboHA.ListIndex()) ChooseAdapter(index);
  }
  if (id) {
    const int index = find(form_.ComboID.Items(), *id);
    if (index >= 0 && index != form_.ComboID.ListIndex()) ChooseTarget(index);
  }
}

void MainController::Abort() {
  if (!busy_) return;
  RunHandler([this] { form_.Tyusi_Click(); });
  Acknowledge(kAbortText);
}

void MainController::ShowHistory() {
  if (view_) view_->ShowHistory(history_ != nullptr ? history_->path() : std::string());
}

bool MainController::CloseRequested() {
  if (closed_) return false;
  if (busy_) {
    // Closing while blocks are being sent would leave the drive half written
    // with nobody told; the window stays until the download has ended.
    Announce(ControlId::kNotes, kCloseRefusedText);
    if (!close_refused_) notes_.Warning(kCloseRefusedText);
    close_refused_ = true;
    Publish();
    return false;
  }
  if (handler_depth_ > 0) {
    // A scan or a box is under way: the window closes once it has returned.
    close_when_done_ = true;
    return false;
  }
  form_.Form_Unload();
  closed_ = true;
  return true;
}

void MainController::StopRequested() {
  if (closed_) return;
  if (busy_) {
    // Like Abort: the command in flight completes, the next block is not sent.
    close_when_done_ = true;
    RunHandler([this] { form_.Tyusi_Click(); });
    Acknowledge(kStopText);
    return;
  }
  if (handler_depth_ > 0) {
    // A scan or a question is under way: let it return first. A box waiting
    // for an answer gets its safe one.
    close_when_done_ = true;
    if (view_) view_->AnswerOpenBox();
    return;
  }
  if (view_) view_->PostClose();
}

// --- news from the window system ---------------------------------------------

void MainController::Waiting(const CommandWait& wait) {
  if (wait.elapsed < std::chrono::seconds(1)) return;
  std::string text = DescribeWait(wait);
  if (text == wait_text_) return;
  wait_text_ = std::move(text);
  Publish();
}

void MainController::WaitEnded() {
  if (wait_text_.empty()) return;
  wait_text_.clear();
  Publish();
}

void MainController::PaintStatusLine() {
  Publish();
  if (view_) view_->PaintNow(ControlId::kText1);
}

// --- the rules ---------------------------------------------------------------

void MainController::RunHandler(const std::function<void()>& handler) {
  ++handler_depth_;
  try {
    handler();
  } catch (const std::exception& e) {
    // Nothing should escape a handler; if something does, say so instead of
    // letting it unwind through the event loop.
    Ui().MsgBox(std::string("Internal error: ") + e.what(), kStyleCritical, window_title_);
  }
  --handler_depth_;
  UpdateReleaseSummary();
  Publish();
  if (on_handler_finished) on_handler_finished();
  if (handler_depth_ == 0 && close_when_done_) {
    close_when_done_ = false;
    if (view_) view_->PostClose();
  }
}

void MainController::OnModelEvent(const MainEvent& e) {
  switch (e.kind) {
    case MainEvent::kBusy:
      busy_ = e.busy;
      abort_acknowledged_ = false;
      acknowledgement_ = nullptr;
      close_refused_ = false;
      if (busy_) {
        state_.progress = {};
        // The keyboard stays with the download: Space, Enter or Escape on
        // Abort stop it.
        state_.focus = ControlId::kTyusi;
      } else {
        // Back to the releases, the chosen one in view.
        state_.focus = ControlId::kFile1;
      }
      break;
    case MainEvent::kBlockSent:
      state_.progress = {.value = e.index,
                         .maximum = e.count > 0 ? e.count : 1,
                         .text = std::to_string(e.index) + " / " +
                                 std::to_string(e.count > 0 ? e.count : 1) + " blocks"};
      break;
    case MainEvent::kNotice:
      // Shown below the lists with the history's notes, until the next scan.
      notes_.Warning(e.text);
      break;
    case MainEvent::kStatus:
    case MainEvent::kFirmware:
    case MainEvent::kAdapterItem:
    case MainEvent::kTargetItem:
      break;
  }
  Publish();
}

void MainController::Acknowledge(const char* text) {
  if (!busy_) return;
  // Shown at once, even while the executor is still waiting for the drive:
  // the operator must see that the click counted and not power the drive off.
  abort_acknowledged_ = true;
  acknowledgement_ = text;
  Announce(ControlId::kAbortNotice, text);
  Publish();
  if (view_) {
    view_->PaintNow(ControlId::kTyusi);
    view_->PaintNow(ControlId::kAbortNotice);
  }
}

// The summary follows the chosen file and target; it is made only between
// handlers and never while a download runs (the file is being sent then).
void MainController::UpdateReleaseSummary() {
  if (busy_ || handler_depth_ > 0) return;
  const std::string& file = form_.Label4.Caption;
  const std::string entry = form_.ComboID.Text();
  std::string key = form_.FirmwareDir;
  key.append(1, '\0').append(file).append(1, '\0').append(entry);
  if (key == summary_key_) return;
  summary_key_ = std::move(key);
  // What the bar showed belongs to the release or drive chosen before.
  state_.progress = {};
  if (TrimSpaces(file).empty()) {
    summary_.clear();
    return;
  }
  const ReleasePreview preview = PreviewRelease(form_.FirmwareDir, file, entry);
  summary_ = PreviewText(preview);
  summary_ok_ = preview.ok;
}

void MainController::Build() {
  for (const Naming& n : kNaming) {
    ControlState& c = state_[n.id];
    c.access_key = n.key;
    if (n.name != nullptr) c.name = n.name;
  }
  state_[ControlId::kHistory].text = "History";
  state_[ControlId::kOpenRelease].text = kOpenReleaseText;
  state_[ControlId::kCheckDrive].text = kCheckDriveText;
  state_[ControlId::kReleaseSummary].role = Role::kGood;
  state_[ControlId::kScanNotes].role = Role::kInfo;
  state_[ControlId::kAbortNotice].role = Role::kError;
}

void MainController::Publish() {
  auto set = [this](ControlId id, const std::string& text, bool enabled = true) {
    ControlState& c = state_[id];
    c.text = text;
    c.enabled = enabled;
    if (NamingOf(id).name == nullptr) c.name = TrimSpaces(JoinedLines({text}));
  };
  set(ControlId::kSCSIMode, form_.SCSIMode.Caption, form_.SCSIMode.Enabled);
  // A rescan re-selects the target; never while a download is sending to it.
  set(ControlId::kScsiScan, form_.Scsi_Scan.Caption, form_.Scsi_Scan.Enabled && !busy_);
  set(ControlId::kHistory, "History");
  set(ControlId::kBanner, state_[ControlId::kBanner].text);
  set(ControlId::kLabel1, form_.Label1.Caption);
  set(ControlId::kLabel2, form_.Label2.Caption);
  set(ControlId::kComboHA, form_.ComboHA.Text(), form_.ComboHA.Enabled);
  set(ControlId::kComboID, form_.ComboID.Text(), form_.ComboID.Enabled);
  for (size_t i = 0; i < 3; ++i) {
    static constexpr ControlId kLabel3[] = {ControlId::kLabel3_0, ControlId::kLabel3_1,
                                            ControlId::kLabel3_2};
    set(kLabel3[i], form_.Label3[i].Caption);
  }
  set(ControlId::kFWVer, form_.FWVer.Caption);
  set(ControlId::kFile1, form_.File1.FileName(), form_.File1.Enabled);
  set(ControlId::kOpenRelease, kOpenReleaseText, form_.File1.Enabled);
  set(ControlId::kLabel4, form_.Label4.Caption);
  set(ControlId::kCommand1, form_.Command1.Caption, form_.Command1.Enabled);
  set(ControlId::kCheckDrive, kCheckDriveText, form_.Command1.Enabled && !busy_);
  set(ControlId::kTyusi, form_.Tyusi.Caption, form_.Tyusi.Enabled && !abort_acknowledged_);
  set(ControlId::kText1, form_.Text1.Text);
  set(ControlId::kProgress, state_.progress.text, busy_);
  set(ControlId::kWaitInfo, wait_text_);
  set(ControlId::kAbortNotice, acknowledgement_ != nullptr ? acknowledgement_ : "");
  set(ControlId::kScanNotes, scan_notes_);
  set(ControlId::kRestartElevated, kRestartElevatedText, !busy_);
  state_[ControlId::kRestartElevated].visible = access_denied_ && restart_elevated != nullptr;
  set(ControlId::kReleaseSummary, summary_);

  std::string notes;
  for (const auto& line : notes_.Lines()) notes += (notes.empty() ? "" : "\n") + line;
  set(ControlId::kNotes, notes);
  state_[ControlId::kNotes].role = notes_.Severity();
  state_[ControlId::kReleaseSummary].role = summary_ok_ ? Role::kGood : Role::kError;

  for (ControlId id : {ControlId::kScanNotes, ControlId::kNotes, ControlId::kReleaseSummary,
                       ControlId::kAbortNotice}) {
    state_[id].visible = !state_[id].text.empty();
  }

  state_.adapters = {form_.ComboHA.Items(), form_.ComboHA.ListIndex()};
  state_.targets = {form_.ComboID.Items(), form_.ComboID.ListIndex()};
  state_.files = {form_.File1.Items(), form_.File1.ListIndex()};
  state_.folder = form_.FirmwareDir;
  state_.busy = busy_;

  // Every new text of the status line is said.
  const std::string status = TrimSpaces(form_.Text1.Text);
  if (status != status_said_) {
    status_said_ = status;
    Announce(ControlId::kText1, status);
  }

  if (view_) view_->Apply(state_);
  state_.focus.reset();
  state_.announcements.clear();
}

}  // namespace qx
