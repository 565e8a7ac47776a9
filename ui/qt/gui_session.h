// One running desktop front end on Qt: the QSettings store, the Qt window
// system, the headless session (history, model, controller) and the views,
// wired together. RunGui runs one; tests build their own with a temporary INI
// file and a scripted message-box asker.
#pragma once

#include <memory>

#include "ui/qt/debug_window.h"
#include "ui/qt/gui.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_settings_store.h"
#include "ui/qt/qt_window_system.h"
#include "ui/qt/stop_signals.h"
#include "ui/window_session.h"

namespace qx::qt {

class GuiSession {
 public:
  // Needs a QApplication. Installs the Qt window system, sets TraceOn from
  // options.trace, turns SIGTERM and SIGHUP into the controller's stop
  // request and runs the window's Load handler.
  explicit GuiSession(const GuiOptions& options, MessageBoxAsker asker = {});
  ~GuiSession();
  GuiSession(const GuiSession&) = delete;
  GuiSession& operator=(const GuiSession&) = delete;

  // Shows the main window and, with tracing on, the debug window beside it.
  void Show();

  MainForm& Form() { return core_.form(); }
  MainController& Controller() { return core_.controller(); }
  MainWindow& Window() { return *window_; }
  DebugWindow* Debug() { return debug_.get(); }  // null unless options.trace
  StopSignalNotifier& StopSignals() { return *stop_signals_; }

 private:
  QtSettingsStore settings_;
  QtWindowSystem window_system_;
  WindowSession core_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<DebugWindow> debug_;
  std::unique_ptr<StopSignalNotifier> stop_signals_;
};

}  // namespace qx::qt
