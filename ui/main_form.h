// The main window MAIN as a headless model: its controls, its window-level state
// and its event handlers. The Qt view renders it and forwards user actions; the
// command line drives the same handlers; tests script them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "ui/controls.h"
#include "ui/settings_store.h"

namespace qx {

inline constexpr const char* kSettingsApp = "DUDUrevorod";
inline constexpr const char* kSettingsSection = "Startup";
inline constexpr const char* kModel = "QX-R4410";
inline constexpr const char* kTitleA = "QX-R4410 Ambervault Tool 2 ";     // checks and confirmation
inline constexpr const char* kTitleB = "QX-R4410 Ambervault Tool 2";      // drive messages
inline constexpr const char* kTitleErr = "QX-R4410 Ambervault Tool 2 2";  // Err_disp

// What a front end may want to show as it happens. Observing changes nothing.
struct MainEvent {
  enum Kind {
    kStatus,       // Text1 changed: text
    kFirmware,     // FWVer caption changed: text
    kAdapterItem,  // item appended to ComboHA: text
    kTargetItem,   // item appended to ComboID: text, ha
    kBlockSent,    // a WRITE BUFFER block completed: block, mode, index (1-based), count
    kBusy,         // the controls went busy (1) or idle (0): index
  };
  Kind kind;
  std::string text;
  int ha = 0;
  int block = 0;
  int mode = 0;
  int index = 0;
  int count = 0;
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
  void SetFirmwareCaption(std::string text);
  void SetBusy(bool busy);
  bool Download();  // steps 2 onwards; false when it ended without Finish

  SettingsStore& settings_;
};

// Resets every piece of process-wide state to its start-up value (for tests).
void ResetProcessState();

}  // namespace qx
