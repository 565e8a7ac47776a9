#include "ui/qt/gui.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "ui/debug_form.h"
#include "ui/qt/artwork.h"
#include "ui/qt/fonts.h"
#include "ui/qt/gui_session.h"

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
      core_(options, settings_, window_system_) {
  window_ = std::make_unique<MainWindow>(core_.controller(), core_.Title(), core_.Banner(),
                                         core_.simulated());
  if (options.trace) {
    debug_ = std::make_unique<DebugWindow>(D_WIn);
    debug_->on_dump_data = [this] { Form().DumpDataBuffer(); };
    debug_->on_dump_image = [this] { Form().DumpImageBuffer(); };
    core_.on_trace_paint = [this] { debug_->RefreshList(); };
    Controller().on_handler_finished = [this] { debug_->Render(); };
  }
  window_system_.SetMainWindow(window_.get());
  window_system_.SetWaitInputWidget(window_->AbortButton());
  stop_signals_ = std::make_unique<StopSignalNotifier>();
  QObject::connect(stop_signals_.get(), &StopSignalNotifier::stopRequested, window_.get(),
                   [this](int) { Controller().StopRequested(); });
  window_system_.on_deliver_stops = [this] { stop_signals_->Drain(); };
}

GuiSession::~GuiSession() {
  window_system_.on_deliver_stops = nullptr;
  stop_signals_.reset();
  Controller().on_handler_finished = nullptr;
  core_.on_trace_paint = nullptr;
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
  if (const auto refused = CheckWindowOptions(options)) {
    std::fprintf(stderr, "%s\n", refused->c_str());
    return 2;
  }
  if (!DisplayAvailable()) {
    std::fprintf(stderr, "%s\n", NoDisplayMessage());
    return 2;
  }
  const ScriptHooks hooks;
  if (!hooks.warning().empty()) std::fprintf(stderr, "%s\n", hooks.warning().c_str());

  int qt_argc = argc;
  QApplication app(qt_argc, argv);
  QApplication::setApplicationName(QStringLiteral("qxflash"));
  UseProgramLook();

  GuiSession session(options);
  MainWindow* window = &session.Window();
  QObject::connect(window, &MainWindow::closed, &app, &QApplication::quit);
  QObject::connect(window, &MainWindow::firstPainted, window, [&session, &hooks, window] {
    const int quit_after = hooks.FirstPainted(session.Controller());
    if (quit_after >= 0) QTimer::singleShot(quit_after, window, [window] { window->close(); });
  });

  session.Show();
  return QApplication::exec();
}

}  // namespace qx::qt
