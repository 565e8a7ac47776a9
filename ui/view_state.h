// What the main window shows, as one value both windows (Qt, Win32) apply:
// per control its text, whether it is enabled and visible, its spoken name and
// access key; the lists; the notes with their role; the progress; the control
// that should take the keyboard focus; and what a screen reader should say.
// The controller (ui/main_controller.h) makes it; a view only applies it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qx {

// The main window's parts, in the order the keyboard focus goes through them
// where they can take it.
enum class ControlId : uint8_t {
  kSCSIMode,  // the menu "SCSI Option"
  kScsiScan,  // its item "SCSI Rescan"
  kHistory,   // the menu item "History"
  kBanner,    // the line naming the transport
  kTargetGroup,
  kImage1,
  kLabel1,
  kComboHA,
  kLabel2,
  kComboID,
  kLabel3_2,
  kFWVer,
  kScanNotes,        // the transport's notes about the last scan
  kRestartElevated,  // offered when the drives were refused for want of rights
  kNotes,            // the history's notices, warnings, how the last download ended
  kReleaseGroup,
  kLabel3_0,
  kFile1,
  kOpenRelease,  // opens a release from any folder
  kLabel3_1,
  kLabel4,
  kReleaseSummary,  // what Download Start would find in the chosen file
  kCommand1,
  kCheckDrive,  // the dry run: every check of the download, nothing written
  kTyusi,
  kProgress,
  kWaitInfo,     // the command the drive is working on
  kAbortNotice,  // Abort acknowledged
  kText1,
  kCount,
};
inline constexpr size_t kControlCount = static_cast<size_t>(ControlId::kCount);

// The name views give the control's widget (its object name in Qt).
const char* ObjectName(ControlId id);

// How a text is meant; the views take its colour from the palette, never a
// fixed colour that a dark theme would drown.
enum class Role : uint8_t { kPlain, kInfo, kGood, kWarning, kError };

struct ControlState {
  std::string text;     // caption or value, as the model holds it
  std::string name;     // the name a screen reader speaks for it
  char access_key = 0;  // the letter of `text` the views mark, 0 for none
  bool enabled = true;
  bool visible = true;
  Role role = Role::kPlain;
};

struct ListState {
  std::vector<std::string> items;
  int index = -1;
};

struct ProgressState {
  int value = 0;
  int maximum = 1;
  std::string text;  // "5 / 16 blocks", empty before the first block
};

struct Announcement {
  ControlId source;
  std::string text;
};

struct ViewState {
  std::array<ControlState, kControlCount> controls;
  ListState adapters;  // ComboHA
  ListState targets;   // ComboID
  ListState files;     // File1
  std::string folder;  // the folder File1 lists (where an Open dialog starts)
  ProgressState progress;
  bool busy = false;  // a download runs
  // A control that should take the keyboard focus now; for File1 its chosen
  // file is scrolled into view too. Given once.
  std::optional<ControlId> focus;
  // What a screen reader should say since the last state, oldest first.
  std::vector<Announcement> announcements;

  ControlState& operator[](ControlId id) { return controls[static_cast<size_t>(id)]; }
  const ControlState& operator[](ControlId id) const { return controls[static_cast<size_t>(id)]; }
};

// `text` with its access key marked by `marker` before the key's first
// occurrence (either case): "&Abort" for ('A', '&'). A marker already in the
// text is doubled so that it shows as itself.
std::string WithAccessKey(const std::string& text, char key, char marker = '&');

}  // namespace qx
