// What a desktop window is started with: the transport it shows, the folder
// and release it opens, the drive it chooses, and where it keeps its state.
#pragma once

#include <optional>
#include <string>

namespace qx {

struct WindowOptions {
  // Shown in the window title and banner ("simulated bus", "SCSI generic", ...).
  // Empty: the name the installed ASPI manager reports.
  std::string transport_name;
  // The transport is a stand-in bus whose drives are not real: the window says
  // so in its title and a banner. Unset: AspiManager::Simulated() of the
  // installed manager.
  std::optional<bool> simulated;
  // Switches the command trace on (TraceOn = 1) and shows the debug window.
  bool trace = false;
  // Directory of the release files listed in File1. Empty: the folder of the
  // last release opened, or the current directory.
  std::string firmware_dir;
  // A release to open at start (its folder listed, it chosen).
  std::string release;
  // The drive to choose once the window shows (a scan runs then): host
  // adapter and target ID, as the lists number them.
  std::optional<int> ha, id;
  // INI file for the two persisted list positions (Qt). Empty: the per-user
  // settings store.
  std::string settings_file;
  // Records every download started from the window in the download history
  // (history::DefaultPath()) and checks the scanned drives against it. The
  // command line's --no-history sets it to false.
  bool history = true;
};

}  // namespace qx
