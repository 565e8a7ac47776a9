// The main window MAIN as a native Win32 view of the controller's state. It
// builds its child windows (with the IDs of ui/win32/control_ids.h), turns
// their messages into the controller's intents, applies the state it
// publishes and carries out what the controller asks (paint now, close,
// answer the open box, the history). It holds no behaviour of its own.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ui/main_controller.h"
#include "ui/win32/accessibility.h"
#include "ui/win32/fonts.h"
#include "ui/win32/main_layout.h"
#include "ui/win32/window_proc.h"

namespace qx::win32 {

class HistoryWindow;
class RegistrySettingsStore;
class Win32WindowSystem;

class MainWindow final : private MainView {
 public:
  // `title` and `banner` name the transport; `simulated`: it is a stand-in
  // bus, and the banner says so in its own colours. `placement` remembers
  // where the window was.
  MainWindow(MainController& controller, Win32WindowSystem& window_system,
             RegistrySettingsStore& placement, const std::string& title, const std::string& banner,
             bool simulated);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  HWND AbortButton() const { return Control(Part::kTyusi); }

  // Shows the window where it was last (or where the system puts it).
  void Show(int show_command);
  // The wait cursor over the window (pointer 11) or the usual one.
  void SetPointer(int pointer);

  // Once, after the window has painted for the first time.
  std::function<void()> on_first_painted;
  // When the window has been closed (the model's Unload handler has run).
  std::function<void()> on_closed;

 private:
  using Part = ::qx::ControlId;
  template <class T>
  friend LRESULT CALLBACK WindowProcOf(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

  // MainView
  void Apply(const ViewState& state) override;
  void PaintNow(Part id) override;
  void PostClose() override;
  void AnswerOpenBox() override;
  void ShowHistory(const std::string& path) override;
  void ReloadHistory() override;

  HWND Control(Part id) const { return controls_[static_cast<size_t>(id)]; }
  void CreateControls();
  void CreateMenus();
  void ApplyFonts();
  // Texts, names and roles of the parts; true when the layout must change.
  bool ApplyParts(const ViewState& state);
  void ApplyAccessible(Part id, const ControlState& c, const std::wstring& shown);
  void Announce(const Announcement& a);

  void Layout();  // ui/win32/main_layout.h

  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  std::optional<LRESULT> OnDrawMessage(UINT message, WPARAM wparam, LPARAM lparam);
  void OnCommand(int id, int code);
  void OnComboNotification(Part id, int code);
  void OpenRelease();
  void OnDrop(HDROP drop);
  bool OnClose();
  void OnEndSession();
  void DrawItem(const DRAWITEMSTRUCT& item);
  void Paint();

  MainController& controller_;
  Win32WindowSystem& window_system_;
  RegistrySettingsStore& placement_;
  bool simulated_ = false;
  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  std::unique_ptr<Fonts> fonts_;
  HICON picture_ = nullptr;     // Image1, made for the DPI
  HACCEL shortcuts_ = nullptr;  // F5, Ctrl+H, Ctrl+O
  HMENU menu_ = nullptr;
  HMENU scsi_mode_ = nullptr;
  std::array<HWND, kControlCount> controls_{};
  HWND tooltip_ = nullptr;  // Text1's full text when it has several lines
  std::wstring text1_tip_;
  PanelFrames frames_;
  AccessibleNames accessible_;
  std::unique_ptr<HistoryWindow> history_window_;

  bool painted_ = false;
  bool wait_pointer_ = false;
  bool applying_ = false;  // list changes made by Apply are not the operator's choices
  // A list was opened: the item picked from it is a choice even when it is
  // the item that was chosen already.
  bool combo_dropped_ = false;
};

}  // namespace qx::win32
