// The Win32 windows' class names and the control IDs of their children, with
// the model name each control renders. Tests and automation tools find a
// control by its ID and read it through ordinary window messages; this table
// gives them the name. No control uses ID 1 or 2: the dialog manager sends
// those (IDOK, IDCANCEL) for Enter and Escape.
#pragma once

namespace qx::win32 {

inline constexpr const wchar_t* kMainClass = L"qxflash.MAIN";
inline constexpr const wchar_t* kDebugClass = L"qxflash.D_WIn";
inline constexpr const wchar_t* kHistoryClass = L"qxflash.History";

// The window property that holds, as a global atom, the accessible name a
// control was given: automation tools that cannot ask the annotation
// service from another process read it there.
inline constexpr const wchar_t* kAccessibleNameProperty = L"qxflash.AccessibleName";

enum ControlId : int {
  // Main window.
  kIdBanner = 1001,  // TransportBadge
  kIdImage1,
  kIdLabel1,
  kIdComboHA,
  kIdLabel2,
  kIdComboID,
  kIdLabel3_2,
  kIdFWVer,
  kIdScanNotes,
  kIdHistoryNotes,
  kIdLabel3_0,
  kIdFile1,
  kIdLabel3_1,
  kIdLabel4,
  kIdReleaseSummary,
  kIdTyusi,
  kIdCommand1,
  kIdProgress,
  kIdWaitInfo,
  kIdAbortNotice,
  kIdText1,
  kIdOpenRelease,
  kIdRestartElevated,
  kIdCheckDrive,
  // Menu commands.
  kIdScsiScan = 1101,
  kIdHistory,
  // Debug window.
  kIdAspiRet = 1201,
  kIdDebugText1,
  kIdDebugText2,
  kIdDumpData,
  kIdDumpImage,
  // History window.
  kIdHistorySource = 1301,
  kIdHistoryWarnings,
  kIdHistoryTable,
  kIdHistoryReload,
  kIdHistoryClose,
};

struct ControlName {
  int id;
  const char* name;
};

// Every control with the name the Qt window gives the same control.
inline constexpr ControlName kControlNames[] = {
    {kIdBanner, "TransportBadge"},
    {kIdImage1, "Image1"},
    {kIdLabel1, "Label1"},
    {kIdComboHA, "ComboHA"},
    {kIdLabel2, "Label2"},
    {kIdComboID, "ComboID"},
    {kIdLabel3_2, "Label3_2"},
    {kIdFWVer, "FWVer"},
    {kIdScanNotes, "ScanNotes"},
    {kIdHistoryNotes, "HistoryNotes"},
    {kIdLabel3_0, "Label3_0"},
    {kIdFile1, "File1"},
    {kIdLabel3_1, "Label3_1"},
    {kIdLabel4, "Label4"},
    {kIdReleaseSummary, "ReleaseSummary"},
    {kIdTyusi, "Tyusi"},
    {kIdCommand1, "Command1"},
    {kIdProgress, "Progress"},
    {kIdWaitInfo, "WaitInfo"},
    {kIdAbortNotice, "AbortNotice"},
    {kIdText1, "Text1"},
    {kIdOpenRelease, "OpenRelease"},
    {kIdRestartElevated, "RestartElevated"},
    {kIdCheckDrive, "CheckDrive"},
    {kIdScsiScan, "Scsi_Scan"},
    {kIdHistory, "History"},
    {kIdAspiRet, "ASPI_Ret"},
    {kIdDebugText1, "Text1"},
    {kIdDebugText2, "Text2"},
    {kIdDumpData, "DumpData"},
    {kIdDumpImage, "DumpImage"},
    {kIdHistorySource, "HistorySource"},
    {kIdHistoryWarnings, "HistoryWarnings"},
    {kIdHistoryTable, "HistoryTable"},
    {kIdHistoryReload, "Reload"},
    {kIdHistoryClose, "Close"},
};

inline const char* ControlNameOf(int id) {
  for (const ControlName& c : kControlNames) {
    if (c.id == id) return c.name;
  }
  return nullptr;
}

}  // namespace qx::win32
