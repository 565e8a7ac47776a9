// The start-up of a desktop window, once for both toolkits: the options, the
// script hooks, the window-system hooks the views' window systems share, and
// the headless half of a running session (the download history, the MainForm
// model and the controller, wired to the window system). The Qt and Win32
// sessions add only their settings store, window system and views.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "history/history.h"
#include "platform/window_system.h"
#include "ui/main_controller.h"
#include "ui/main_form.h"
#include "ui/settings_store.h"
#include "ui/window_options.h"

namespace qx {

// What must hold before a window opens; the line to print otherwise
// ("qxflash: firmware directory 'X' does not exist").
std::optional<std::string> CheckWindowOptions(const WindowOptions& options);

// Hooks for scripts (screenshots, start-up measurement), from the environment:
// QXFLASH_GUI_AUTOSCAN=1 scans once the window has painted,
// QXFLASH_GUI_TIMING=1 says when it painted, QXFLASH_GUI_QUIT_AFTER_MS closes
// it after so many milliseconds. Not for operators.
class ScriptHooks {
 public:
  ScriptHooks();
  // A line for stderr about a hook that was set wrongly, empty otherwise.
  const std::string& warning() const { return warning_; }
  // After the first paint: chooses the drive asked for at start
  // (MainController::WindowShown), reports the time since construction and
  // scans when asked; returns the milliseconds after which to close (-1: never).
  int FirstPainted(MainController& controller) const;

 private:
  bool autoscan_ = false;
  bool timing_ = false;
  int quit_after_ = -1;
  std::string warning_;
  std::chrono::steady_clock::time_point started_;
};

// A window system whose news (a command being waited for, a control to paint
// at once, a stop to deliver) goes to a session. The Qt and Win32 window
// systems derive from it and add boxes, event processing and the pointer.
class ViewWindowSystem : public WindowSystem {
 public:
  void Refresh(Paint what) override {
    if (on_paint) on_paint(what);
  }
  void WaitEnded() override {
    if (on_wait_ended) on_wait_ended();
  }
  void DeliverStops() override {
    if (on_deliver_stops) on_deliver_stops();
  }

  std::function<void(Paint)> on_paint;
  // Called by KeepAlive before events are processed, so that what it changes
  // is painted in the same cycle, and once when that wait is over.
  std::function<void(const CommandWait&)> on_wait;
  std::function<void()> on_wait_ended;
  // Hands a pending stop from outside (a signal, a console event) to the window.
  std::function<void()> on_deliver_stops;

 protected:
  void NotifyWait(const CommandWait& wait) {
    if (on_wait) on_wait(wait);
  }
};

// The headless half of a running window: installs `window_system`, sets
// TraceOn, makes the model and its controller, runs the model's Load handler
// and points the file list at the options' directory. Uninstalls the window
// system when it goes.
class WindowSession {
 public:
  WindowSession(const WindowOptions& options, SettingsStore& settings,
                ViewWindowSystem& window_system);
  ~WindowSession();
  WindowSession(const WindowSession&) = delete;
  WindowSession& operator=(const WindowSession&) = delete;

  MainForm& form() { return form_; }
  MainController& controller() { return controller_; }
  const std::string& transport() const { return transport_; }
  bool simulated() const { return simulated_; }
  std::string Title() const;
  std::string Banner() const;

  // Called when the debug window's trace list must be painted at once.
  std::function<void()> on_trace_paint;

 private:
  ViewWindowSystem& window_system_;
  std::string transport_;
  bool simulated_;
  history::Log history_;  // outlives the controller, which records in it
  MainForm form_;
  MainController controller_;
};

}  // namespace qx
