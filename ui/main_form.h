// The main window MAIN as a headless model: its controls, its window-level state
// and its event handlers. The Qt view renders it and forwards user actions; the
// command line drives the same handlers; tests script them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "aspi/bus_scan.h"
#include "aspi/manager.h"
#include "download/dry_run.h"
#include "download/procedure.h"
#include "history/history.h"
#include "ui/controls.h"
#include "ui/settings_store.h"

namespace qx {

inline constexpr const char* kSettingsApp = "DUDUrevorod";
inline constexpr const char* kSettingsSection = "Startup";
inline constexpr const char* kTitleErr = "QX-R4410 Ambervault Tool 2 2";  // Err_disp

// What a front end may want to show as it happens. Observing changes nothing.
struct MainEvent {
  enum Kind {
    kStatus,       // Text1 changed: text
    kFirmware,     // FWVer caption changed: text; ok when the drive answered INQUIRY
    kAdapterItem,  // item appended to ComboHA: text, ha
    kTargetItem,   // item appended to ComboID by the scan: text, ha, target, and the
                   // firmware version caption its INQUIRY data gives

    kBlockSent,  // a WRITE BUFFER block completed: block, mode, index (1-based), count
    kBusy,       // the controls went busy or idle: busy
    kNotice,     // a note for the operator during a download (on battery, ...): text
  };
  Kind kind = kStatus;
  std::string text = {};
  std::string caption = {};
  int ha = 0;
  int target = 0;
  int block = 0;
  int mode = 0;
  int index = 0;
  int count = 0;
  bool ok = false;
  bool busy = false;
};

class MainForm {
 public:
  explicit MainForm(SettingsStore& settings);
  MainForm(const MainForm&) = delete;
  MainForm& operator=(const MainForm&) = delete;

  // Controls.
  std::string Caption = "QX-R4410 Firmware Download";
  CommandButton Tyusi{"Abort", false};
  CommandButton Command1{"Download Start", true};
  FileListBox File1;
  TextBox Text1;
  ComboBox ComboHA;
  ComboBox ComboID;
  Label Label4;
  Label FWVer;
  std::array<Label, 3> Label3{{{"Select File"}, {"File Name"}, {"Current Firmware Version"}}};
  Label Label1{"HA"};
  Label Label2{"ID"};
  MenuItem SCSIMode{"SCSI Option"};
  MenuItem Scsi_Scan{"SCSI Rescan"};
  int MousePointer = 0;

  // Window-level state.
  int16_t OLD_HaINDX = 0;
  int16_t OLD_IdINDX = 0;
  int16_t AbortRequested = 0;  // 0 false, -1 true
  std::string FirmwareDir;
  // Names of the devices found by the bus scan, by adapter and target ID.
  std::array<std::array<std::string, 8>, 8> DeviceNames;

  // Event handlers.
  void Form_Load();
  void Form_Unload();
  void ComboHA_Click();
  void ComboID_Click();
  void File1_Click();
  void Tyusi_Click();
  void Command1_Click();   // the download procedure
  void Scsi_Scan_Click();  // the bus scan
  void Err_disp();

  // Command1_Click with its outcome; nullopt when the button is disabled.
  // With `history` (enabled), the attempt is recorded there: the chosen drive
  // as the last scan listed it, its firmware caption before, the outcome.
  std::optional<DownloadOutcome> StartDownload(history::Log* history = nullptr);
  // The dry run of the chosen release on the chosen drive ("Check Drive and
  // Release"): every check of the download up to its first write, through a
  // guard that lets only reading commands reach the drive; recorded in
  // `history` as a dry run. nullopt when a download runs.
  std::optional<DryRunReport> DryRun(history::Log* history = nullptr);
  // The bus scan with what it found; `answered` is false when no ASPI manager
  // answered (the scan then showed its box and changed nothing).
  ScanResult Scan();

  // Chooses adapter `ha` and target `id` the way an operator does, by setting
  // the two list positions (which runs their click handlers and INQUIRY).
  enum class Selection { kOk, kNoAdapter, kNoTarget };
  Selection SelectTarget(int ha, int id);
  // Asks one target with INQUIRY without changing the selection; the
  // executor's ErrMsg when it did not answer, nullopt when it did.
  std::optional<std::string> ProbeTarget(int ha, int id);

  // "the drive at 0:2 (QX-R4410)" for the chosen target, for messages, the
  // system's inhibitor and the window's notes; "" when none is chosen.
  std::string ChosenDriveName() const;
  // Points the file list at `dir` (FirmwareDir is `dir` with its separator).
  void SetFirmwareDir(const std::string& dir);
  // Chooses the file list's entry `name` as a click would; false when the list
  // does not show it.
  bool ChooseFileNamed(const std::string& name);

  // Hexadecimal dumps of DataBuf (first 16 KiB) and ImageBuf into the debug
  // window's list.
  void DumpDataBuffer();
  void DumpImageBuffer();

  // Status line and mouse pointer, with their repaint and notification.
  void SetText1(std::string text, bool repaintNow = false);
  void SetMousePointer(int pointer);

  std::function<void(const MainEvent&)> on_event;

  // The pause after each block but the last: a plain count from 0 to 10000 that
  // processes no events. Tests may replace it to observe it.
  std::function<void()> BlockPause;

 private:
  void Emit(MainEvent e) {
    if (on_event) on_event(e);
  }
  void SetFirmwareCaption(std::string text, bool ok);
  // One adapter of the scan: its inquiry, trace and list item; false when it
  // did not answer.
  bool ListAdapter(SRB_HAInquiry& srb, uint8_t ha, ScanResult& result);
  // One target of an answering adapter: its INQUIRY, name and list item;
  // false when it did not answer.
  bool ListTarget(uint8_t ha, uint8_t id, const AspiManager* manager, ScannedAdapter& adapter);
  void SetBusy(bool busy);
  // The chosen drive as the last scan listed it, for the history.
  history::Drive ChosenDrive() const;
  // Whether the chosen target may take firmware, as its last INQUIRY said.
  GuardVerdict TargetVerdict() const;
  class DownloadView;
  class DryRunView;

  SettingsStore& settings_;
  ScanResult last_scan_;
  // INQUIRY byte 0 (peripheral qualifier and device type) of each target's
  // last INQUIRY, from the scan or the selection; nullopt when it failed.
  std::array<std::array<std::optional<uint8_t>, 8>, 8> peripheral_{};
  // Adapter and target numbers behind the list items, in list order.
  std::vector<int> listed_adapters_;
  std::vector<int> listed_targets_;
};

// Resets every piece of process-wide state to its start-up value (for tests).
void ResetProcessState();

}  // namespace qx
