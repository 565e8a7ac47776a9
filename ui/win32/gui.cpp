#include "ui/win32/gui.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "download/release.h"
#include "platform/os.h"
#include "platform/version.h"
#include "ui/debug_form.h"
#include "ui/main_form.h"
#include "ui/win32/debug_window.h"
#include "ui/win32/main_window.h"
#include "ui/win32/registry_settings_store.h"
#include "ui/win32/text.h"
#include "ui/win32/win32_window_system.h"
#include "ui/window_texts.h"

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

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
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

// One running front end: the settings store, the MainForm model, the Win32
// window system, the download history and the views, wired together.
class Session {
 public:
  explicit Session(const GuiOptions& options)
      : history_(history::Log::ForUser(options.history, kProgramVersion)) {
    InstallWindowSystem(&window_system_);
    TraceOn = options.trace ? 1.0f : 0.0f;
    form_ = std::make_unique<MainForm>(settings_);
    window_ = std::make_unique<MainWindow>(*form_, window_system_, settings_,
                                           TransportName(options.transport_name),
                                           TransportSimulated(options.simulated));
    if (options.trace) {
      debug_ = std::make_unique<DebugWindow>(D_WIn, window_system_);
      debug_->on_dump_data = [this] { form_->DumpDataBuffer(); };
      debug_->on_dump_image = [this] { form_->DumpImageBuffer(); };
      window_->on_handler_finished = [this] { debug_->Render(); };
    }
    window_->SetHistory(&history_);
    window_->NoHistory(history_);
    window_system_.SetMainWindow(window_->hwnd());
    window_system_.SetWaitInputWindow(window_->AbortButton());
    window_system_.on_pointer = [this](int pointer) { window_->SetPointer(pointer); };
    window_system_.on_wait = [this](const CommandWait& wait) { window_->ShowWait(wait); };
    window_system_.on_wait_ended = [this] { window_->EndWait(); };
    window_system_.on_deliver_stops = [this] { DrainStops(); };
    window_system_.on_refresh = [this](std::string_view control) {
      if (control == "ASPI_Ret") {
        if (debug_) debug_->RefreshList();
      } else {
        window_->RefreshControl(control);
      }
    };
    window_->on_closed = [] { PostQuitMessage(0); };

    form_->Form_Load();
    if (!options.firmware_dir.empty()) {
      form_->FirmwareDir = JoinDir(options.firmware_dir);
      form_->File1.SetPath(form_->FirmwareDir);
    }
    window_->Render();

    g_stop.store(0);
    os::HandleStops(os::StopSet::kSessionEnd, OnStop);
    // The event loop looks for a stop ten times a second; a download asks
    // between commands (DeliverStops).
    stop_timer_ = SetTimer(nullptr, 0, 100, OnStopTimer);
    current_ = this;
  }

  ~Session() {
    current_ = nullptr;
    KillTimer(nullptr, stop_timer_);
    os::RestoreStops();
    window_system_.on_deliver_stops = nullptr;
    window_system_.on_refresh = nullptr;
    window_system_.on_wait = nullptr;
    window_system_.on_wait_ended = nullptr;
    window_system_.on_pointer = nullptr;
    InstallWindowSystem(nullptr);
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
    if (g_stop.exchange(0) != 0) window_->RequestStop();
  }

  static void CALLBACK OnStopTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (current_ != nullptr) current_->DrainStops();
  }

  MainWindow& Window() { return *window_; }
  Win32WindowSystem& WindowSystem() { return window_system_; }

 private:
  static inline Session* current_ = nullptr;
  RegistrySettingsStore settings_;
  Win32WindowSystem window_system_;
  history::Log history_;  // outlives the window, which records in it
  std::unique_ptr<MainForm> form_;
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
  std::error_code ec;
  if (!options.firmware_dir.empty() && !std::filesystem::is_directory(options.firmware_dir, ec)) {
    std::fprintf(stderr, "qxflash: firmware directory '%s' does not exist\n",
                 options.firmware_dir.c_str());
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  ReleaseOwnConsole();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                                     ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                                     ICC_TAB_CLASSES};
  InitCommonControlsEx(&controls);

  Session session(options);

  // Hooks for scripts (screenshots, start-up measurement); not for operators.
  const bool autoscan = Env("QXFLASH_GUI_AUTOSCAN") == "1";
  const bool timing = Env("QXFLASH_GUI_TIMING") == "1";
  const std::string quit_after_text = Env("QXFLASH_GUI_QUIT_AFTER_MS");
  const int quit_after = ParseMilliseconds(quit_after_text);
  if (!quit_after_text.empty() && quit_after < 0) {
    std::fprintf(stderr, "qxflash: ignoring QXFLASH_GUI_QUIT_AFTER_MS='%s' (not a number)\n",
                 quit_after_text.c_str());
  }
  MainWindow& window = session.Window();
  window.on_first_painted = [&] {
    if (timing) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
      std::fprintf(stderr, "qxflash: window painted %lld ms after the GUI started\n",
                   static_cast<long long>(ms));
      std::fflush(stderr);
    }
    if (autoscan) {
      window.Rescan();
      std::fprintf(stderr, "qxflash: autoscan finished\n");
      std::fflush(stderr);
    }
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
