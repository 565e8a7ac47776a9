// Entry point of the native Win32 desktop front end.
#pragma once

#include <optional>
#include <string>

namespace qx::win32 {

struct GuiOptions {
  // Shown in the window title and banner ("simulated bus", ...). Empty: the
  // name the installed ASPI manager reports.
  std::string transport_name;
  // The transport is a stand-in bus whose drives are not real: the window
  // says so in its title and a banner. Unset: AspiManager::Simulated() of the
  // installed manager.
  std::optional<bool> simulated;
  // Switches the command trace on (TraceOn = 1) and shows the debug window.
  bool trace = false;
  // Directory of the release files listed in File1. Empty: the current directory.
  std::string firmware_dir;
  // Records every download started from the window in the download history
  // and checks the scanned drives against it (--no-history: false).
  bool history = true;
};

// Runs the window until it closes; returns the exit code. Precondition: the
// ASPI manager backend is already installed by the caller. A firmware
// directory that does not exist is reported on stderr and gives 2.
int RunGui(const GuiOptions& options);

// For failures before the window exists (e.g. the transport cannot be
// opened), where nobody may read stderr: prints `text` on stderr and shows it
// in a modal critical message box titled "qxflash".
void ShowStartupError(const std::string& text);

}  // namespace qx::win32
