// One running desktop front end: the settings store, the MainForm model, the
// Qt window system, the download history and the views, wired together. RunGui runs one; tests
// build their own with a temporary INI file and a scripted message-box asker.
#pragma once

#include <memory>

#include "history/history.h"
#include "ui/main_form.h"
#include "ui/qt/debug_window.h"
#include "ui/qt/gui.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_settings_store.h"
#include "ui/qt/qt_window_system.h"
#include "ui/qt/stop_signals.h"

namespace qx::qt {

class GuiSession {
 public:
  // Needs a QApplication. Installs the Qt window system, sets TraceOn from
  // options.trace, turns SIGTERM and SIGHUP into the window's RequestStop and
  // runs the window's Load handler.
  explicit GuiSession(const GuiOptions& options, MessageBoxAsker asker = {});
  // Uninstalls the window system and detaches the views from the models.
  ~GuiSession();
  GuiSession(const GuiSession&) = delete;
  GuiSession& operator=(const GuiSession&) = delete;

  // Shows the main window and, with tracing on, the debug window beside it.
  void Show();

  MainForm& Form() { return *form_; }
  MainWindow& Window() { return *window_; }
  DebugWindow* Debug() { return debug_.get(); }  // null unless options.trace
  StopSignalNotifier& StopSignals() { return *stop_signals_; }

 private:
  QtSettingsStore settings_;
  QtWindowSystem window_system_;
  history::Log history_;  // outlives the window, which records in it
  std::unique_ptr<MainForm> form_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<DebugWindow> debug_;
  std::unique_ptr<StopSignalNotifier> stop_signals_;
};

}  // namespace qx::qt
