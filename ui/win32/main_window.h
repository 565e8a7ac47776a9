// The main window MAIN as a native Win32 view of the MainForm model. It
// renders the model's controls (child windows with the IDs of
// ui/win32/control_ids.h) and forwards user actions to the model's handlers;
// it holds no behaviour of its own.
#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window_system.h"
#include "ui/main_form.h"
#include "ui/win32/fonts.h"
#include "ui/win32/window_proc.h"
#include "ui/window_notes.h"

namespace qx::win32 {

class HistoryWindow;
class RegistrySettingsStore;
class Win32WindowSystem;

// Window title naming the transport; a simulated bus is called out as such
// (the same words as the Qt window's).
std::wstring WindowTitle(const std::string& caption, const std::string& transport, bool simulated);

class MainWindow {
 public:
  // `simulated`: the transport is a stand-in bus (AspiManager::Simulated());
  // the window then says plainly that no real drive is written. `placement`
  // remembers where the window was.
  MainWindow(MainForm& form, Win32WindowSystem& window_system, RegistrySettingsStore& placement,
             const std::string& transport, bool simulated);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  HWND AbortButton() const { return tyusi_; }

  // Shows the window where it was last (or where the system puts it).
  void Show(int show_command);
  // Shows the model's current state.
  void Render();
  // Renders one control and repaints it at once (window-system Refresh).
  void RefreshControl(std::string_view name);
  // True between the model's busy and idle notifications (a download runs).
  bool Busy() const { return busy_; }
  // The wait cursor over the window (pointer 11) or the usual one.
  void SetPointer(int pointer);

  // While the executor waits for one command: from the first second on, the
  // progress area names the command and the seconds waited (DescribeWait).
  void ShowWait(const CommandWait& wait);
  // The command is over: the progress area's wait text goes.
  void EndWait();
  // A stop from outside (the console closed, log-off, shutdown). During a
  // download it acts like Abort and the window closes once the download has
  // ended; while another handler runs (a scan, a message box) the window
  // closes when it has returned, an open box being answered with its escape
  // button; otherwise it closes at once.
  void RequestStop();
  // Runs the scan as the menu does (the autoscan hook for scripts).
  void Rescan();

  // The download history the window records in and checks after each scan
  // (null or disabled: nothing is recorded). Takes over log->on_warning: its
  // warnings become a notice in the window. The log must outlive the window.
  void SetHistory(history::Log* log);
  // A notice about the history below the lists (kept until the next scan).
  void HistoryWarning(const std::string& text);
  // At start: says when the history that was wanted has no place.
  void NoHistory(const history::Log& log) {
    notes_.NoHistory(log);
    RenderHistoryNotes();
  }
  // Opens (or raises and reloads) the history window; not modal, so Abort
  // stays reachable during a download.
  void ShowHistory();

  // After each model handler that a user action started has returned.
  std::function<void()> on_handler_finished;
  // Once, after the window has painted for the first time.
  std::function<void()> on_first_painted;
  // When the window has been closed (the model's Unload handler has run).
  std::function<void()> on_closed;

 private:
  template <class T>
  friend LRESULT CALLBACK WindowProcOf(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  // The groups of messages Handle passes on; nullopt: not handled here, the
  // default processing follows.
  std::optional<LRESULT> OnControlMessage(UINT message, WPARAM wparam, LPARAM lparam);
  std::optional<LRESULT> OnDrawMessage(UINT message, WPARAM wparam, LPARAM lparam);
  std::optional<LRESULT> OnSizeMessage(UINT message, WPARAM wparam, LPARAM lparam);
  std::optional<LRESULT> OnFocusMessage(UINT message, WPARAM wparam, LPARAM lparam);
  std::optional<LRESULT> OnCloseMessage(UINT message, WPARAM wparam);
  void OnDpiChanged(UINT dpi, const RECT& suggested);
  void OnEndSession();

  // The controls in the order Tab goes through them.
  void CreateControls();
  void CreateMenus();
  HWND Child(const wchar_t* window_class, int id, DWORD style, DWORD ex_style = 0);
  void ApplyFonts();
  // Layout places each part of the window with a function of its own; Placer
  // collects the moves of one pass.
  class Placer;
  void Layout();
  int LayoutBanner(Placer& place, int left, int width, int top) const;
  int LayoutTargetPanel(Placer& place, int left, int width, int top);
  int LayoutNotices(Placer& place, int left, int width, int top) const;
  int LayoutBottomArea(Placer& place, int left, int width, int bottom) const;
  void LayoutReleasePanel(Placer& place, int left, int width, int panel_top, int panel_bottom);
  int AbortNoticeWidth(int width) const;
  int NoticeHeight(HWND notice, int width) const;

  void OnCommand(int id, int code);
  void OnComboNotification(int id, int code);
  void OnModelEvent(const MainEvent& e);
  void RunHandler(const std::function<void()>& handler);
  void RenderText1();
  void RenderProgress(int index, int count);
  void ClearProgress();
  void AcknowledgeAbort(const std::wstring& notice);
  void RenderScanNotes();
  void Download();
  void VerifyScanned(const ScanResult& scan);
  void RenderHistoryNotes();
  void UpdateReleaseSummary();
  void ShowNotice(HWND notice, const std::wstring& text);
  bool OnClose();
  void SavePlacement();
  void DrawItem(const DRAWITEMSTRUCT& item);
  void Paint();

  MainForm& form_;
  Win32WindowSystem& window_system_;
  RegistrySettingsStore& placement_;
  bool simulated_ = false;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  std::unique_ptr<Fonts> fonts_;
  HICON picture_ = nullptr;   // Image1, made for the DPI
  HICON icon_big_ = nullptr;  // shared: the system frees them
  HICON icon_small_ = nullptr;

  bool busy_ = false;
  bool painted_ = false;
  bool closed_ = false;
  bool abort_acknowledged_ = false;  // Abort seen during this download
  bool close_when_done_ = false;     // a stop waits for the handlers to end
  int handler_depth_ = 0;            // model handlers running (nested through events)
  bool rendering_ = false;           // list changes made by Render are not user choices
  bool wait_pointer_ = false;
  bool summary_ok_ = false;
  // A list was opened: the item picked from it is a choice even when it is
  // the item that was chosen already.
  bool combo_dropped_ = false;

  HMENU menu_ = nullptr;
  HMENU scsi_mode_ = nullptr;
  HWND banner_ = nullptr;
  HWND image1_ = nullptr;
  HWND label1_ = nullptr;
  HWND combo_ha_ = nullptr;
  HWND label2_ = nullptr;
  HWND combo_id_ = nullptr;
  std::array<HWND, 3> label3_{};
  HWND fwver_ = nullptr;
  HWND scan_notes_ = nullptr;     // the transport's notes about the last scan
  HWND history_notes_ = nullptr;  // verifications after the last scan, history warnings
  HWND file1_ = nullptr;
  HWND label4_ = nullptr;
  HWND release_summary_ = nullptr;  // what Download Start would find in the chosen file
  HWND tyusi_ = nullptr;
  HWND command1_ = nullptr;
  HWND progress_ = nullptr;
  HWND wait_info_ = nullptr;     // the command the drive is working on
  HWND abort_notice_ = nullptr;  // Abort acknowledged
  HWND text1_ = nullptr;
  HWND tooltip_ = nullptr;  // Text1's full text when it has several lines
  HWND focus_ = nullptr;    // the control that had the focus when the window was left
  std::wstring text1_tip_;
  std::wstring progress_text_;  // drawn over the bar: "5 / 16 blocks"
  RECT target_panel_{};
  RECT release_panel_{};

  std::unique_ptr<HistoryWindow> history_window_;
  history::Log* history_ = nullptr;
  WindowNotes notes_;
  // File, target entry and directory the release summary was made for.
  std::string summary_key_;
};

}  // namespace qx::win32
