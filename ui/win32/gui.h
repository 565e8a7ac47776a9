// Entry point of the native Win32 desktop front end.
#pragma once

#include <string>

#include "ui/window_session.h"

namespace qx::win32 {

// The window's options, as on every toolkit.
using GuiOptions = WindowOptions;

// Runs the window until it closes; returns the exit code. Precondition: the
// ASPI manager backend is already installed by the caller. A firmware
// directory that does not exist is reported on stderr and gives 2.
int RunGui(const GuiOptions& options);

// For failures before the window exists (e.g. the transport cannot be
// opened), where nobody may read stderr: prints `text` on stderr and shows it
// in a modal critical message box titled "qxflash".
void ShowStartupError(const std::string& text);

}  // namespace qx::win32
