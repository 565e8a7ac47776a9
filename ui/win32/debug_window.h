// The debug window D_WIn as a Win32 view of the DebugForm model: the trace
// list ASPI_Ret, the two text boxes and the two dump buttons.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "ui/win32/fonts.h"
#include "ui/win32/window_proc.h"

namespace qx {
struct DebugForm;
}

namespace qx::win32 {

class Win32WindowSystem;

class DebugWindow {
 public:
  // Observes `form` (on_line / on_clear) until destroyed.
  DebugWindow(DebugForm& form, Win32WindowSystem& window_system);
  ~DebugWindow();
  DebugWindow(const DebugWindow&) = delete;
  DebugWindow& operator=(const DebugWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  // Shows the window at `x`, `y` (screen pixels) without activating it.
  void ShowAt(int x, int y);
  // Brings the list and the texts in line with the model.
  void Render();
  // Renders and repaints the trace list at once (window-system Refresh).
  void RefreshList();

  // The two dump buttons ("DataBuf", "ImageBuf"): hexadecimal dumps of the
  // transfer buffer and of the firmware image into the list.
  std::function<void()> on_dump_data;
  std::function<void()> on_dump_image;

 private:
  template <class T>
  friend LRESULT CALLBACK WindowProcOf(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void Layout();
  void AddLine(const std::string& line);
  // Draws the list again after a run of added lines.
  void DrawHeldLines();
  void ApplyFonts();

  DebugForm& form_;
  Win32WindowSystem& window_system_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  std::unique_ptr<Fonts> fonts_;
  HWND list_ = nullptr;
  HWND text1_ = nullptr;
  HWND text2_ = nullptr;
  HWND dump_data_ = nullptr;
  HWND dump_image_ = nullptr;
  int longest_ = 0;  // characters of the longest line, for the horizontal scroll bar
  bool holding_redraw_ = false;
};

}  // namespace qx::win32
