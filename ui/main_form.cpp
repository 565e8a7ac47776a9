#include "ui/main_form.h"

#include <algorithm>
#include <filesystem>
#include <span>
#include <system_error>

#include "aspi/bus_scan.h"
#include "aspi/executor.h"
#include "aspi/manager.h"
#include "aspi/read_only.h"
#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "commands/hexdump.h"
#include "download/dry_run.h"
#include "download/release.h"
#include "platform/os.h"
#include "platform/window_system.h"
#include "ui/debug_form.h"
#include "ui/download_guards.h"

namespace qx {

namespace {

// The numeric value of an item's first character; anything but a digit is 0.
uint8_t LeadingDigit(const std::string& text) {
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') return static_cast<uint8_t>(text[0] - '0');
  return 0;
}

// `n` bytes of the INQUIRY data in DataBuf from `offset`, as characters.
std::string InquiryText(size_t offset, size_t n) {
  return std::string(reinterpret_cast<const char*>(&DataBuf[offset]), n);
}

// The pause after a block: a plain count that the optimiser must keep.
void CountPause(int last) {
  for (int i = 0; i <= last; ++i) asm volatile("" ::: "memory");
}

std::string CurrentDirectory() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  return ec ? std::string(".") : os::Utf8FromPath(cwd);
}

}  // namespace

MainForm::MainForm(SettingsStore& settings) : settings_(settings) {
  InstallTraceWindow(&D_WIn);
  ComboHA.Click = [this] { ComboHA_Click(); };
  ComboID.Click = [this] { ComboID_Click(); };
  File1.Click = [this] { File1_Click(); };
  BlockPause = [] { CountPause(10000); };
}

void MainForm::SetText1(std::string text, bool repaintNow) {
  Text1.Text = std::move(text);
  Emit({.kind = MainEvent::kStatus, .text = Text1.Text});
  if (repaintNow) Ui().Refresh(Paint::kStatusLine);
}

void MainForm::SetMousePointer(int pointer) {
  MousePointer = pointer;
  Ui().SetMousePointer(pointer);
}

void MainForm::SetFirmwareCaption(std::string text, bool ok) {
  FWVer.Caption = std::move(text);
  Emit({.kind = MainEvent::kFirmware, .text = FWVer.Caption, .ok = ok});
}

void MainForm::Form_Load() {
  OLD_HaINDX = SettingToInt(settings_.GetSetting(kSettingsApp, kSettingsSection, "Ha", "0"));
  OLD_IdINDX = SettingToInt(settings_.GetSetting(kSettingsApp, kSettingsSection, "ID", "0"));
  SelectedHaId = kNotChosen;
  SelectedTargetId = kNotChosen;
  SelectedLun = 0;
  FirmwareDir = JoinDir(CurrentDirectory());
  File1.SetPath(FirmwareDir);
  File1.SetPattern("*.OUB");
  AbortRequested = 0;
}

void MainForm::Form_Unload() {
  settings_.SaveSetting(kSettingsApp, kSettingsSection, "Ha", std::to_string(OLD_HaINDX));
  settings_.SaveSetting(kSettingsApp, kSettingsSection, "ID", std::to_string(OLD_IdINDX));
}

void MainForm::ComboHA_Click() {
  if (!ComboHA.Enabled) return;  // fixed while a download runs
  SelectedHaId = LeadingDigit(ComboHA.Text());
  OLD_HaINDX = static_cast<int16_t>(ComboHA.ListIndex());
  ComboID.Clear();
  listed_targets_.clear();
  // Items start with the adapter number; the table only has adapters 0-7.
  if (SelectedHaId <= 7) {
    for (int j = 0; j < 8; ++j) {
      const std::string& name = DeviceNames[SelectedHaId][j];
      if (name.empty()) continue;
      listed_targets_.push_back(j);
      ComboID.AddItem(name);
    }
  }
  SelectedHaId = LeadingDigit(ComboHA.Text());
  if (ComboID.ListCount() > 0) {
    ComboID.SetListIndex(OLD_IdINDX <= ComboID.ListCount() - 1 ? OLD_IdINDX : 0);
  }
}

void MainForm::ComboID_Click() {
  if (!ComboID.Enabled) return;  // fixed while a download runs
  SelectedTargetId = LeadingDigit(ComboID.Text());
  OLD_IdINDX = static_cast<int16_t>(ComboID.ListIndex());
  std::string caption = " ";
  FWVer.Caption = caption;
  const bool answered = Succeeded(Inquiry());
  if (answered) caption.append(reinterpret_cast<const char*>(&DataBuf[32]), 18);
  if (SelectedHaId <= 7 && SelectedTargetId <= 7) {
    peripheral_[SelectedHaId][SelectedTargetId] =
        answered ? std::optional<uint8_t>(DataBuf[0]) : std::nullopt;
  }
  SetFirmwareCaption(std::move(caption), answered);
}

void MainForm::File1_Click() {
  Label4.Caption = File1.FileName();
}

void MainForm::SetFirmwareDir(const std::string& dir) {
  FirmwareDir = JoinDir(dir);
  File1.SetPath(FirmwareDir);
}

bool MainForm::ChooseFileNamed(const std::string& name) {
  const auto& items = File1.Items();
  const auto it = std::find(items.begin(), items.end(), name);
  if (it == items.end()) return false;
  File1.SetListIndex(static_cast<int>(it - items.begin()));
  return true;
}

void MainForm::Tyusi_Click() {
  AbortRequested = -1;
}

void MainForm::Err_disp() {
  Ui().MsgBox("SCSI Error\r" + ErrMsg, kStyleExclamation, kTitleErr);
  SetText1(ErrMsg);
  SetMousePointer(kPointerDefault);
}

void MainForm::Scsi_Scan_Click() {
  Scan();
}

namespace {

// Restores a list's previous position (the last item when the list got
// shorter) when something was chosen before or found now; otherwise marks the
// selection as "nothing found".
void RestorePosition(ComboBox& combo, int16_t& oldIndex, uint8_t mark, uint8_t& selected) {
  if (mark > 7) {
    selected = kNothingFound;
    return;
  }
  const int n = combo.ListCount();
  combo.SetListIndex(n - 1 >= oldIndex ? oldIndex : n - 1);
  oldIndex = static_cast<int16_t>(combo.ListIndex());
}

}  // namespace

ScanResult MainForm::Scan() {
  ScanResult result;
  if (!Scsi_Scan.Enabled) return result;  // reached through the events a download lets run
  if (ASPICheck() != kManagerReady) {
    Ui().MsgBox(kAspiNotFound, kStyleExclamation, kAspiErrorTitle);
    return result;
  }
  const auto manager = InstalledAspiManager();
  result.answered = true;
  result.transport = manager ? manager->Name() : "";
  result.lun = SelectedLun;
  SetMousePointer(kPointerHourglass);
  SetText1("SCSI Rescan Executing", true);
  ComboHA.Clear();
  ComboID.Clear();
  listed_adapters_.clear();
  listed_targets_.clear();
  uint8_t adapterMark = SelectedHaId;
  uint8_t targetMark = SelectedTargetId;
  ClearTraceList();

  SRB_HAInquiry srb{};
  for (uint8_t i = 0; i <= 7; ++i) {
    if (!ListAdapter(srb, i, result)) continue;
    if (adapterMark > 7) adapterMark = i;
    for (uint8_t j = 0; j <= 7; ++j) {
      if (ListTarget(i, j, manager.get(), result.adapters.back()) && targetMark > 7) {
        targetMark = j;
      }
    }
  }

  RestorePosition(ComboHA, OLD_HaINDX, adapterMark, SelectedHaId);
  RestorePosition(ComboID, OLD_IdINDX, targetMark, SelectedTargetId);
  SetText1("SCSI Rescan Complete ");
  SetMousePointer(kPointerDefault);
  last_scan_ = result;
  return result;
}

bool MainForm::ListAdapter(SRB_HAInquiry& srb, uint8_t ha, ScanResult& result) {
  if (!Succeeded(HaInquiry(srb, ha))) return false;
  const uint8_t status = srb.SRB_Status;
  const std::string identifier = SrbText(srb.HA_Identifier);
  if (TraceOn == 1) TraceHaInquiry(srb, ha);
  std::string item = std::to_string(ha) + ":";
  if (Succeeded(status)) item += identifier;
  listed_adapters_.push_back(ha);
  ComboHA.AddItem(item);
  result.adapters.push_back({.ha = ha, .item = item, .targets = {}});
  Emit({.kind = MainEvent::kAdapterItem, .text = item, .ha = ha});
  return true;
}

bool MainForm::ListTarget(uint8_t ha, uint8_t id, const AspiManager* manager,
                          ScannedAdapter& adapter) {
  SelectedHaId = ha;
  SelectedTargetId = id;
  if (!Succeeded(Inquiry())) {
    DeviceNames[ha][id].clear();
    peripheral_[ha][id].reset();
    return false;
  }
  peripheral_[ha][id] = DataBuf[0];
  // The product identification as a name: control and 8-bit bytes become blanks.
  for (size_t k = 16; k <= 31; ++k) {
    if (DataBuf[k] < 32 || DataBuf[k] > 127) DataBuf[k] = 32;
  }
  DeviceNames[ha][id] = std::to_string(id) + ":" + InquiryText(16, 16);
  listed_targets_.push_back(id);
  ComboID.AddItem(DeviceNames[ha][id]);
  ScannedTarget target{.id = id,
                       .item = DeviceNames[ha][id],
                       .caption = " " + InquiryText(32, 18),
                       .vendor = InquiryText(8, 8)};
  if (manager) {
    const auto where = manager->DeviceLocation(ha, id, SelectedLun);
    target.address = where.address;
    target.node = where.node;
  }
  adapter.targets.push_back(target);
  Emit({.kind = MainEvent::kTargetItem,
        .text = target.item,
        .caption = target.caption,
        .ha = ha,
        .target = id});
  return true;
}

MainForm::Selection MainForm::SelectTarget(int ha, int id) {
  auto position = [](const std::vector<int>& numbers, int n) {
    auto it = std::find(numbers.begin(), numbers.end(), n);
    return it == numbers.end() ? -1 : static_cast<int>(it - numbers.begin());
  };
  const int adapter = position(listed_adapters_, ha);
  if (adapter < 0) return Selection::kNoAdapter;
  ComboHA.SetListIndex(adapter);
  const int target = position(listed_targets_, id);
  if (target < 0) return Selection::kNoTarget;
  ComboID.SetListIndex(target);
  return Selection::kOk;
}

std::optional<std::string> MainForm::ProbeTarget(int ha, int id) {
  const uint8_t haWas = SelectedHaId, targetWas = SelectedTargetId;
  SelectedHaId = static_cast<uint8_t>(ha);
  SelectedTargetId = static_cast<uint8_t>(id);
  const bool answered = Succeeded(Inquiry());
  SelectedHaId = haWas;
  SelectedTargetId = targetWas;
  if (answered) return std::nullopt;
  return ErrMsg;
}

void MainForm::SetBusy(bool busy) {
  SetMousePointer(busy ? kPointerHourglass : kPointerDefault);
  ComboHA.Enabled = !busy;
  ComboID.Enabled = !busy;
  Command1.Enabled = !busy;
  File1.Enabled = !busy;
  // A rescan during a download would move the current target under it.
  Scsi_Scan.Enabled = !busy;
  Tyusi.Enabled = busy;
  Emit({.kind = MainEvent::kBusy, .busy = busy});
}

// The window as the download procedure sees it, with the guards it answers
// for and the attempt's record in the history.
class MainForm::DownloadView final : public DownloadForm {
 public:
  DownloadView(MainForm& form, history::Log* history, history::Drive drive)
      : f_(form),
        history_(history),
        drive_(std::move(drive)),
        version_before_(form.FWVer.Caption) {}

  std::string FileName() const override { return f_.Label4.Caption; }
  std::string FirmwareDir() const override { return f_.FirmwareDir; }
  std::string TargetEntry() const override { return f_.ComboID.Text(); }
  void SetStatus(std::string text, bool repaintNow) override {
    f_.SetText1(std::move(text), repaintNow);
  }
  void SetBusy(bool busy) override { f_.SetBusy(busy); }
  bool AbortRequested() const override { return f_.AbortRequested != 0; }
  void ClearAbort() override { f_.AbortRequested = 0; }
  void BlockPause() override {
    if (f_.BlockPause) f_.BlockPause();
  }
  void BlockSent(int block, int mode, int index, int count) override {
    f_.Emit({.kind = MainEvent::kBlockSent,
             .block = block,
             .mode = mode,
             .index = index,
             .count = count});
  }

  GuardVerdict CheckTarget() override { return f_.TargetVerdict(); }
  GuardVerdict CheckPower() override { return PowerVerdictOf(os::ReadPowerState()); }
  GuardVerdict BeginDriveWork(const DownloadOutcome& so_far) override {
    work_.emplace(InstalledAspiManager(), SelectedHaId, SelectedTargetId, SelectedLun,
                  f_.ChosenDriveName());
    GuardVerdict v = work_->Begin();
    if (v.refusal) return v;
    if (history_ != nullptr) history_->BeginAttempt(drive_, version_before_, so_far);
    return v;
  }
  void EndDriveWork() override { work_.reset(); }
  void Note(const std::string& text) override {
    f_.Emit({.kind = MainEvent::kNotice, .text = text});
  }

  // Records how the attempt ended.
  void Record(const DownloadOutcome& outcome) {
    if (history_ != nullptr) history_->RecordAttempt(drive_, version_before_, outcome);
  }

 private:
  MainForm& f_;
  history::Log* history_;
  history::Drive drive_;
  std::string version_before_;
  std::optional<DriveWork> work_;
};

void MainForm::Command1_Click() {
  StartDownload();
}

std::string MainForm::ChosenDriveName() const {
  if (SelectedHaId > 7 || SelectedTargetId > 7) return {};
  const std::string product = TrimSpaces(ChosenDrive().product);
  return "the drive at " + std::to_string(SelectedHaId) + ":" + std::to_string(SelectedTargetId) +
         (product.empty() ? std::string() : " (" + product + ")");
}

GuardVerdict MainForm::TargetVerdict() const {
  std::optional<uint8_t> peripheral;
  if (SelectedHaId <= 7 && SelectedTargetId <= 7) {
    peripheral = peripheral_[SelectedHaId][SelectedTargetId];
  }
  return TargetTypeVerdict(SelectedTargetId, peripheral);
}

history::Drive MainForm::ChosenDrive() const {
  history::Drive drive;
  drive.transport = last_scan_.transport;
  drive.ha = SelectedHaId;
  drive.target = SelectedTargetId;
  drive.lun = SelectedLun;
  drive.product = ComboID.Text().substr(ComboID.Text().find(':') + 1);
  for (const auto& a : last_scan_.adapters) {
    if (a.ha != SelectedHaId) continue;
    for (const auto& t : a.targets) {
      if (t.id == SelectedTargetId) drive = history::DriveOf(last_scan_, a, t);
    }
  }
  return drive;
}

std::optional<DownloadOutcome> MainForm::StartDownload(history::Log* history) {
  if (!Command1.Enabled) return std::nullopt;  // one download at a time
  DownloadView view(*this, history, ChosenDrive());
  DownloadOutcome outcome = RunDownload(view);
  view.Record(outcome);
  return outcome;
}

// The window as the dry run sees it: the download's guards, the drive taken
// and given back, and the history's word on the drive.
class MainForm::DryRunView final : public DryRunForm {
 public:
  DryRunView(MainForm& form, history::Log* history, history::Drive drive,
             const ReadOnlyManager& guard)
      : f_(form), history_(history), drive_(std::move(drive)), guard_(guard) {}

  std::string FileName() const override { return f_.Label4.Caption; }
  std::string FirmwareDir() const override { return f_.FirmwareDir; }
  std::string TargetEntry() const override { return f_.ComboID.Text(); }
  std::string FirmwareVersion() const override { return f_.FWVer.Caption; }
  GuardVerdict CheckTarget() override { return f_.TargetVerdict(); }
  GuardVerdict CheckPower() override { return PowerVerdictOf(os::ReadPowerState()); }
  GuardVerdict BeginDriveWork() override {
    work_.emplace(InstalledAspiManager(), SelectedHaId, SelectedTargetId, SelectedLun,
                  f_.ChosenDriveName());
    return work_->Begin();
  }
  void EndDriveWork() override { work_.reset(); }
  std::optional<std::string> HistoryNote() override {
    if (history_ == nullptr || !history_->enabled()) return std::nullopt;
    return history::DriveNote(history_->Read().records, drive_);
  }
  std::vector<std::string> StoppedCommands() const override { return guard_.Refused(); }

  void Record(const DryRunReport& report) {
    if (history_ == nullptr) return;
    DownloadOutcome outcome = report.release;
    outcome.message = report.reason;
    history_->RecordDryRun(drive_, f_.FWVer.Caption, outcome, report.would_start());
  }

 private:
  MainForm& f_;
  history::Log* history_;
  history::Drive drive_;
  const ReadOnlyManager& guard_;
  std::optional<DriveWork> work_;
};

std::optional<DryRunReport> MainForm::DryRun(history::Log* history) {
  if (!Command1.Enabled) return std::nullopt;  // not while a download runs
  // Every command of the dry run passes the read-only guard: whatever the
  // procedure asks, nothing that changes the drive reaches it.
  const auto bus = InstalledAspiManager();
  const auto guard = std::make_shared<ReadOnlyManager>(bus);
  if (bus) InstallAspiManager(guard);
  DryRunView view(*this, history, ChosenDrive(), *guard);
  DryRunReport report = RunDryRun(view);
  if (bus) InstallAspiManager(bus);
  view.Record(report);
  return report;
}

void MainForm::DumpDataBuffer() {
  ClearTraceList();
  RefreshTraceList();
  for (auto& line : DumpLines(std::span<const uint8_t>(DataBuf.data(), 16384))) {
    AddTraceLine(std::move(line));
  }
}

void MainForm::DumpImageBuffer() {
  ClearTraceList();
  RefreshTraceList();
  for (auto& line : DumpLines(ImageBuf)) AddTraceLine(std::move(line));
}

void ResetProcessState() {
  ResetTransportState();
  ResetDebugForm();
  ResetReleaseState();
  AspiStatus = 0;
}

}  // namespace qx
