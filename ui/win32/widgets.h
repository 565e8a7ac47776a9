// Small pieces the Win32 views share: window texts, lists and menu items
// brought in line with a model without needless repaints, the colours of
// texts by their role, notices drawn on a tinted panel, the block count on
// the progress bar, and the moves of one layout pass.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ui/colours.h"
#include "ui/view_state.h"

namespace qx::win32 {

std::wstring WindowText(HWND window);
// Whether the window is meant to show (WS_VISIBLE), whether or not its
// parent shows yet.
inline bool Shown(HWND window) {
  return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}
// Sets a window's text unless it has it already (no flicker, no repaint);
// true when it changed.
bool SetText(HWND window, const std::wstring& text);

// A combo box's or list box's items (model strings, refilled only when they
// differ, so that the position and the scrolling stay) and its position.
void ApplyList(HWND view, const std::vector<std::string>& items, int index);

// Scrolls a list box so that row `index` shows whole.
void ScrollIntoView(HWND list, int index);

// A menu item's caption and state, changed only where they differ; true when
// something changed (the menu bar is then drawn again).
bool ApplyMenuItem(HMENU menu, UINT item, bool by_position, const std::wstring& caption,
                   bool enabled);

Rgb SystemColour(int index);  // GetSysColor
inline COLORREF ToColorref(Rgb c) {
  return RGB(c.r, c.g, c.b);
}

// A panel for a text of `role` on the window's face colour: its background
// tinted toward the role's hue, its text and border readable on it.
struct PanelColours {
  COLORREF background, text, border;
};
PanelColours NoticeColours(Role role);

// Fills `area` with the panel and draws `text` in it (DrawTextW `format`).
void DrawNotice(HDC dc, const RECT& area, const std::wstring& text, const PanelColours& colours,
                HFONT font, UINT dpi, UINT format);
// The width of `text` on one line in `font` (an access key's '&' not counted).
int TextWidth(HWND window, HFONT font, const std::wstring& text);
// The height a notice needs to show `text` word-wrapped in `width` pixels.
int NoticeHeight(HWND window, const std::wstring& text, HFONT font, UINT dpi, int width);

// Draws `progress`'s text over the bar ("5 / 16 blocks"; nothing while it is
// empty) until EndProgressText: over the filled part in a colour readable on
// the bar, over the rest in one readable on the window. `progress` must
// outlive the drawing.
void DrawProgressText(HWND bar, const ProgressState* progress);
void EndProgressText(HWND bar);

// The moves of one layout pass, made together (DeferWindowPos) when Apply is
// called; a negative width or height is taken as none.
class Placer {
 public:
  explicit Placer(int count) : moves_(BeginDeferWindowPos(count)) {}
  void operator()(HWND window, int x, int y, int width, int height);
  void Apply() { EndDeferWindowPos(moves_); }

 private:
  HDWP moves_;
};

}  // namespace qx::win32
