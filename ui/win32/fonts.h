// The fonts of the windows, made for one DPI: Arial for every text control, a
// fixed-pitch font for the target and trace lists, as in the Qt window. Where
// Arial is not installed, a metric-compatible substitute keeps the layout
// (Liberation Sans, then Arimo).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace qx::win32 {

class Fonts {
 public:
  explicit Fonts(UINT dpi) { Make(dpi); }
  ~Fonts() { Free(); }
  Fonts(const Fonts&) = delete;
  Fonts& operator=(const Fonts&) = delete;

  HFONT ui() const { return ui_; }
  HFONT bold() const { return bold_; }
  HFONT fixed() const { return fixed_; }
  // The UI font's line height in pixels.
  int line_height() const { return line_height_; }

 private:
  void Make(UINT dpi);
  void Free();

  HFONT ui_ = nullptr;
  HFONT bold_ = nullptr;
  HFONT fixed_ = nullptr;
  int line_height_ = 0;
};

// WM_DPICHANGED: fonts made for `dpi` replace `fonts`, `apply` sets them on
// the window's controls (the old fonts go once no control uses them), and
// `window` takes the place and size the system suggests.
void ChangeDpi(HWND window, UINT dpi, const RECT& suggested, std::unique_ptr<Fonts>& fonts,
               const std::function<void()>& apply);

// Pixels for `value` at 96 DPI on a screen of `dpi`.
inline int Scale(int value, UINT dpi) {
  return MulDiv(value, static_cast<int>(dpi), 96);
}

}  // namespace qx::win32
