#include "ui/qt/gui.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "download/release.h"
#include "platform/version.h"
#include "ui/debug_form.h"
#include "ui/qt/artwork.h"
#include "ui/qt/fonts.h"
#include "ui/qt/gui_session.h"
#include "ui/window_texts.h"

namespace qx::qt {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

// A local X display ":N" or ":N.S" has its socket under /tmp/.X11-unix; a
// display on another host (or an abstract socket only) cannot be checked here
// and counts as available.
bool X11DisplayReachable(const std::string& display) {
  if (display.empty()) return false;
  if (display[0] != ':') return true;
  const size_t dot = display.find('.');
  const std::string number =
      display.substr(1, dot == std::string::npos ? std::string::npos : dot - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return true;
  return Exists("/tmp/.X11-unix/X" + number);
}

bool WaylandDisplayReachable(const std::string& display) {
  if (display.empty()) return false;
  if (display[0] == '/') return Exists(display);
  const std::string runtime = Env("XDG_RUNTIME_DIR");
  return runtime.empty() || Exists(runtime + "/" + display);
}

// The program's icon and font for every window of the running application.
void UseProgramLook() {
  QApplication::setWindowIcon(AppIcon());
  QApplication::setFont(UiFont());
}

}  // namespace

bool DisplayAvailable() {
  if (!Env("QT_QPA_PLATFORM").empty()) return true;
  return X11DisplayReachable(Env("DISPLAY")) || WaylandDisplayReachable(Env("WAYLAND_DISPLAY"));
}

const char* NoDisplayMessage() {
  return "qxflash: no display to open the window on (DISPLAY and WAYLAND_DISPLAY name no "
         "running display server). Use the command-line sub-commands (qxflash --help), or set "
         "QT_QPA_PLATFORM (for example offscreen).";
}

void ShowStartupError(int argc, char** argv, const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  if (!DisplayAvailable()) return;
  // When no application runs yet, one just for the box (it ends with the box).
  int qt_argc = argc;
  std::optional<QApplication> app;
  if (QCoreApplication::instance() == nullptr) {
    app.emplace(qt_argc, argv);
    UseProgramLook();
  }
  ShowMessageBox(nullptr, text, 16, "qxflash");
}

GuiSession::GuiSession(const GuiOptions& options, MessageBoxAsker asker)
    : settings_(QString::fromStdString(options.settings_file)),
      window_system_(std::move(asker)),
      history_(history::Log::ForUser(options.history, kProgramVersion)) {
  InstallWindowSystem(&window_system_);
  TraceOn = options.trace ? 1.0f : 0.0f;
  form_ = std::make_unique<MainForm>(settings_);
  window_ = std::make_unique<MainWindow>(*form_, TransportName(options.transport_name),
                                         TransportSimulated(options.simulated));
  if (options.trace) {
    debug_ = std::make_unique<DebugWindow>(D_WIn);
    debug_->on_dump_data = [this] { form_->DumpDataBuffer(); };
    debug_->on_dump_image = [this] { form_->DumpImageBuffer(); };
  }
  window_->SetHistory(&history_);
  window_->NoHistory(history_);
  window_system_.SetMainWindow(window_.get());
  window_system_.SetWaitInputWidget(window_->AbortButton());
  window_system_.on_wait = [this](const CommandWait& wait) { window_->ShowWait(wait); };
  window_system_.on_wait_ended = [this] { window_->EndWait(); };
  stop_signals_ = std::make_unique<StopSignalNotifier>();
  QObject::connect(stop_signals_.get(), &StopSignalNotifier::stopRequested, window_.get(),
                   [window = window_.get()](int) { window->RequestStop(); });
  window_system_.on_deliver_stops = [this] { stop_signals_->Drain(); };
  window_system_.on_refresh = [this](std::string_view control) {
    if (control == "ASPI_Ret") {
      if (debug_) debug_->RefreshList();
    } else {
      window_->RefreshControl(control);
    }
  };
  if (debug_) {
    QObject::connect(window_.get(), &MainWindow::handlerFinished, debug_.get(),
                     &DebugWindow::Render);
  }

  form_->Form_Load();
  if (!options.firmware_dir.empty()) {
    form_->FirmwareDir = JoinDir(options.firmware_dir);
    form_->File1.SetPath(form_->FirmwareDir);
  }
  window_->Render();
}

GuiSession::~GuiSession() {
  window_system_.on_deliver_stops = nullptr;
  stop_signals_.reset();
  window_system_.on_refresh = nullptr;
  window_system_.on_wait = nullptr;
  window_system_.on_wait_ended = nullptr;
  InstallWindowSystem(nullptr);
  debug_.reset();
  window_.reset();
}

void GuiSession::Show() {
  window_->show();
  if (debug_) {
    const QRect frame = window_->frameGeometry();
    debug_->move(frame.right() + 8, frame.top());
    debug_->show();
    window_->raise();
    window_->activateWindow();
  }
}

int RunGui(int argc, char** argv, const GuiOptions& options) {
  if (!options.firmware_dir.empty() && !std::filesystem::is_directory(options.firmware_dir)) {
    std::fprintf(stderr, "qxflash: firmware directory '%s' does not exist\n",
                 options.firmware_dir.c_str());
    return 2;
  }
  if (!DisplayAvailable()) {
    std::fprintf(stderr, "%s\n", NoDisplayMessage());
    return 2;
  }
  QElapsedTimer started;
  started.start();

  int qt_argc = argc;
  QApplication app(qt_argc, argv);
  QApplication::setApplicationName(QStringLiteral("qxflash"));
  UseProgramLook();

  GuiSession session(options);
  QObject::connect(&session.Window(), &MainWindow::closed, &app, &QApplication::quit);

  // Hooks for scripts (screenshots, start-up measurement); not for operators.
  const bool autoscan = Env("QXFLASH_GUI_AUTOSCAN") == "1";
  const bool timing = Env("QXFLASH_GUI_TIMING") == "1";
  const std::string quit_after_text = Env("QXFLASH_GUI_QUIT_AFTER_MS");
  const int quit_after = ParseMilliseconds(quit_after_text);
  if (!quit_after_text.empty() && quit_after < 0) {
    std::fprintf(stderr, "qxflash: ignoring QXFLASH_GUI_QUIT_AFTER_MS='%s' (not a number)\n",
                 quit_after_text.c_str());
  }
  MainWindow* window = &session.Window();
  QObject::connect(window, &MainWindow::firstPainted, window, [&, window] {
    if (timing) {
      std::fprintf(stderr, "qxflash: window painted %lld ms after the GUI started\n",
                   static_cast<long long>(started.elapsed()));
    }
    if (autoscan) {
      const auto actions = window->findChildren<QAction*>(QStringLiteral("Scsi_Scan"));
      if (!actions.isEmpty()) actions.front()->trigger();
      std::fprintf(stderr, "qxflash: autoscan finished\n");
    }
    if (quit_after >= 0) QTimer::singleShot(quit_after, window, [window] { window->close(); });
  });

  session.Show();
  return QApplication::exec();
}

}  // namespace qx::qt
