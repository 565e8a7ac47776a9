// Entry point of the Qt 6 desktop front end.
#pragma once

#include <string>

#include "ui/window_session.h"

namespace qx::qt {

// The window's options, as on every toolkit.
using GuiOptions = WindowOptions;

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
