#include "ui/win32/gui.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <memory>

#include "platform/os.h"
#include "ui/debug_form.h"
#include "ui/win32/debug_window.h"
#include "ui/win32/elevation.h"
#include "ui/win32/main_window.h"
#include "ui/win32/registry_settings_store.h"
#include "ui/win32/text.h"
#include "ui/win32/win32_window_system.h"

namespace qx::win32 {

namespace {

// A stop request from outside (the console closed, log-off, shutdown of a
// console session): written by the system's thread for the event, read by
// the window's thread.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnStop(int code) {
  g_stop.store(code);
}

// A console window the system made for this program alone (it was started
// from Explorer or a shortcut, not from a shell) would stay open behind the
// window for nothing: it goes. A console shared with a shell stays, so that
// the shell waits for the program and shows what it prints.
void ReleaseOwnConsole() {
  if (GetConsoleWindow() == nullptr) return;
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}

// One running front end: the registry settings store, the Win32 window
// system, the headless session (history, model, controller) and the views,
// wired together.
class Session {
 public:
  explicit Session(const GuiOptions& options) : core_(options, settings_, window_system_) {
    window_ = std::make_unique<MainWindow>(core_.controller(), window_system_, settings_,
                                           core_.Title(), core_.Banner(), core_.simulated());
    if (options.trace) {
      debug_ = std::make_unique<DebugWindow>(D_WIn, window_system_);
      debug_->on_dump_data = [this] { core_.form().DumpDataBuffer(); };
      debug_->on_dump_image = [this] { core_.form().DumpImageBuffer(); };
      core_.on_trace_paint = [this] { debug_->RefreshList(); };
      core_.controller().on_handler_finished = [this] { debug_->Render(); };
    }
    window_system_.SetMainWindow(window_->hwnd());
    window_system_.SetWaitInputWindow(window_->AbortButton());
    window_system_.on_pointer = [this](int pointer) { window_->SetPointer(pointer); };
    window_system_.on_deliver_stops = [this] { DrainStops(); };
    window_->on_closed = [] { PostQuitMessage(0); };
    core_.controller().restart_elevated = [](const std::vector<std::string>& arguments) {
      return StartElevated(arguments);
    };

    g_stop.store(0);
    os::HandleStops(os::StopSet::kSessionEnd, OnStop);
    // The event loop looks for a stop ten times a second; a download asks
    // between commands (DeliverStops).
    stop_timer_ = SetTimer(nullptr, 0, 100, OnStopTimer);
    current_ = this;
  }

  ~Session() {
    current_ = nullptr;
    core_.controller().restart_elevated = nullptr;
    KillTimer(nullptr, stop_timer_);
    os::RestoreStops();
    window_system_.on_deliver_stops = nullptr;
    window_system_.on_pointer = nullptr;
    core_.controller().on_handler_finished = nullptr;
    core_.on_trace_paint = nullptr;
    debug_.reset();
    window_.reset();
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Shows the main window and, with tracing on, the debug window beside it.
  void Show() {
    window_->Show(SW_SHOWNORMAL);
    if (debug_) {
      RECT frame;
      GetWindowRect(window_->hwnd(), &frame);
      debug_->ShowAt(frame.right + 8, frame.top);
      SetForegroundWindow(window_->hwnd());
    }
  }

  void DrainStops() {
    if (g_stop.exchange(0) != 0) core_.controller().StopRequested();
  }

  static void CALLBACK OnStopTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (current_ != nullptr) current_->DrainStops();
  }

  MainWindow& Window() { return *window_; }
  MainController& Controller() { return core_.controller(); }
  Win32WindowSystem& WindowSystem() { return window_system_; }

 private:
  static inline Session* current_ = nullptr;
  RegistrySettingsStore settings_;
  Win32WindowSystem window_system_;
  WindowSession core_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<DebugWindow> debug_;
  UINT_PTR stop_timer_ = 0;
};

HWND g_quit_window = nullptr;

void CALLBACK OnQuitTimer(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  PostMessageW(g_quit_window, WM_CLOSE, 0, 0);
}

}  // namespace

int RunGui(const GuiOptions& options) {
  if (const auto refused = CheckWindowOptions(options)) {
    std::fprintf(stderr, "%s\n", refused->c_str());
    return 2;
  }
  const ScriptHooks hooks;
  if (!hooks.warning().empty()) std::fprintf(stderr, "%s\n", hooks.warning().c_str());
  ReleaseOwnConsole();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                                     ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                     ICC_TAB_CLASSES};
  InitCommonControlsEx(&controls);

  Session session(options);
  MainWindow& window = session.Window();
  window.on_first_painted = [&session, &hooks, &window] {
    const int quit_after = hooks.FirstPainted(session.Controller());
    if (quit_after >= 0) {
      g_quit_window = window.hwnd();
      SetTimer(nullptr, 0, static_cast<UINT>(quit_after), OnQuitTimer);
    }
  };

  session.Show();
  return session.WindowSystem().Run();
}

void ShowStartupError(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  MessageBoxW(nullptr, MessageBoxText(text).c_str(), L"qxflash",
              MB_ICONHAND | MB_OK | MB_SETFOREGROUND);
}

}  // namespace qx::win32
