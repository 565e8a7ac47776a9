// Entry point of the Qt 6 desktop front end.
#pragma once

#include <optional>
#include <string>

namespace qx::qt {

struct GuiOptions {
  // Shown in the window title and banner ("simulated bus", "SCSI generic", ...).
  // Empty: the name the installed ASPI manager reports.
  std::string transport_name;
  // The transport is a stand-in bus whose drives are not real: the window says
  // so in its title and a banner. Unset: AspiManager::Simulated() of the
  // installed manager.
  std::optional<bool> simulated;
  // Switches the command trace on (TraceOn = 1) and shows the debug window.
  bool trace = false;
  // Directory of the release files listed in File1. Empty: the current directory.
  std::string firmware_dir;
  // INI file for the two persisted list positions. Empty: the per-user settings
  // store (QSettings "DUDUrevorod"/"DUDUrevorod").
  std::string settings_file;
  // Records every download started from the window in the download history
  // (history::DefaultPath()) and checks the scanned drives against it. The
  // command line's --no-history sets it to false.
  bool history = true;
};

// Runs the desktop GUI until the main window closes; returns the exit code.
// Precondition: the ASPI manager backend is already installed by the caller.
// Without a display it prints NoDisplayMessage() to stderr and returns 2; a
// firmware directory that does not exist is reported the same way.
int RunGui(int argc, char** argv, const GuiOptions& options);

// False when there is no X11/Wayland display to connect to and QT_QPA_PLATFORM
// is unset (Qt would abort at start-up in that case).
bool DisplayAvailable();

// One line for the user when DisplayAvailable() is false.
const char* NoDisplayMessage();

// For failures before the window exists (e.g. the transport cannot be opened)
// when the program was started from a desktop launcher, where nobody reads
// stderr: prints `text` on stderr and, if a display is available, also shows it
// in a modal critical message box titled "qxflash".
void ShowStartupError(int argc, char** argv, const std::string& text);

}  // namespace qx::qt
