// Where the parts of the main window go. Top down: the banner, the target
// panel (picture, lists, firmware version) and the notes; bottom up: the
// status line, the activity line and the progress bar; the release panel
// (file list, name, summary, buttons) takes the room between. Short of room
// (a small screen at a large scale) the layout goes compact: no picture, the
// two lists side by side, the activity line beside the progress bar, the four
// buttons in one row and the file list between, smaller gaps. Sizes are
// pixels at 96 DPI, scaled for the window's.
#pragma once

#include <windows.h>

#include <array>

#include "ui/view_state.h"
#include "ui/win32/fonts.h"

namespace qx::win32 {

// The client area the window opens with, and its smallest: at 200 % with
// frame and menu the window then fits a 1280x720 screen.
inline constexpr SIZE kMainClient{530, 540};
inline constexpr SIZE kMainMinimumClient{460, 280};

struct PanelFrames {
  RECT target{};
  RECT release{};
};

// Moves the parts (`controls`, by ControlId; the notices only where visible)
// into `window`'s client area; returns the frames of the two panels, which
// the window draws.
PanelFrames LayOutMainWindow(HWND window, const std::array<HWND, kControlCount>& controls,
                             const Fonts& fonts, UINT dpi);

}  // namespace qx::win32
