// The download history as a read-only table (a report list view), newest
// first: every attempt that got past the confirmation and every check of a
// drive after one. Not modal: Abort stays reachable while it is open.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "ui/win32/accessibility.h"
#include "ui/win32/fonts.h"
#include "ui/win32/window_proc.h"

namespace qx::win32 {

class Win32WindowSystem;

class HistoryWindow {
 public:
  // `path` empty: the history is switched off, and the window says so.
  HistoryWindow(std::string path, HWND owner, Win32WindowSystem& window_system);
  ~HistoryWindow();
  HistoryWindow(const HistoryWindow&) = delete;
  HistoryWindow& operator=(const HistoryWindow&) = delete;

  // Reads the file again and refills the table (damaged lines are skipped and
  // named in the warning line above the table).
  void Reload();
  // Shows and raises the window.
  void Show();
  bool Visible() const { return IsWindowVisible(hwnd_) != FALSE; }
  HWND hwnd() const { return hwnd_; }

  enum Column { kTime, kTransport, kWhere, kProduct, kRelease, kOutcome, kBlocks, kText, kColumns };

 private:
  template <class T>
  friend LRESULT CALLBACK WindowProcOf(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void Layout();
  void Name();

  std::string path_;
  Win32WindowSystem& window_system_;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  std::unique_ptr<Fonts> fonts_;
  HWND source_ = nullptr;
  HWND warnings_ = nullptr;
  HWND table_ = nullptr;
  HWND reload_ = nullptr;
  HWND close_ = nullptr;
  AccessibleNames accessible_;
};

}  // namespace qx::win32
