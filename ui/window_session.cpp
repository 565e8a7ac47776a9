#include "ui/window_session.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "aspi/transport_state.h"
#include "download/release.h"
#include "platform/version.h"
#include "ui/window_texts.h"

namespace qx {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace

std::optional<std::string> CheckWindowOptions(const WindowOptions& options) {
  std::error_code ec;
  if (!options.firmware_dir.empty() && !std::filesystem::is_directory(options.firmware_dir, ec)) {
    return "qxflash: firmware directory '" + options.firmware_dir + "' does not exist";
  }
  return std::nullopt;
}

ScriptHooks::ScriptHooks()
    : autoscan_(Env("QXFLASH_GUI_AUTOSCAN") == "1"),
      timing_(Env("QXFLASH_GUI_TIMING") == "1"),
      started_(std::chrono::steady_clock::now()) {
  const std::string quit_after = Env("QXFLASH_GUI_QUIT_AFTER_MS");
  quit_after_ = ParseMilliseconds(quit_after);
  if (!quit_after.empty() && quit_after_ < 0) {
    warning_ = "qxflash: ignoring QXFLASH_GUI_QUIT_AFTER_MS='" + quit_after + "' (not a number)";
  }
}

int ScriptHooks::FirstPainted(MainController& controller) const {
  controller.WindowShown();
  if (timing_) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started_)
                        .count();
    std::fprintf(stderr, "qxflash: window painted %lld ms after the GUI started\n",
                 static_cast<long long>(ms));
    std::fflush(stderr);
  }
  if (autoscan_) {
    controller.Rescan();
    std::fprintf(stderr, "qxflash: autoscan finished\n");
    std::fflush(stderr);
  }
  return quit_after_;
}

WindowSession::WindowSession(const WindowOptions& options, SettingsStore& settings,
                             ViewWindowSystem& window_system)
    : window_system_(window_system),
      transport_(TransportName(options.transport_name)),
      simulated_(TransportSimulated(options.simulated)),
      history_(history::Log::ForUser(options.history, kProgramVersion)),
      form_((InstallWindowSystem(&window_system), settings)),
      controller_(form_, &history_, Title(), Banner(), &settings) {
  TraceOn = options.trace ? 1.0f : 0.0f;
  window_system_.on_paint = [this](Paint what) {
    if (what == Paint::kStatusLine) {
      controller_.PaintStatusLine();
    } else if (on_trace_paint) {
      on_trace_paint();
    }
  };
  window_system_.on_wait = [this](const CommandWait& wait) { controller_.Waiting(wait); };
  window_system_.on_wait_ended = [this] { controller_.WaitEnded(); };
  form_.Form_Load();
  // The folder named on the command line, else the one of the last release
  // opened, else (the first start) the current directory.
  if (!options.firmware_dir.empty()) {
    form_.SetFirmwareDir(options.firmware_dir);
  } else if (const std::string dir = MainController::RememberedFolder(settings); !dir.empty()) {
    form_.SetFirmwareDir(dir);
  }
  controller_.NoHistory();
  if (!options.release.empty()) controller_.OpenRelease(options.release);
  controller_.ChooseDriveWhenShown(options.ha, options.id);
}

WindowSession::~WindowSession() {
  window_system_.on_paint = nullptr;
  window_system_.on_wait = nullptr;
  window_system_.on_wait_ended = nullptr;
  InstallWindowSystem(nullptr);
}

std::string WindowSession::Title() const {
  return WindowTitleText(form_.Caption, transport_, simulated_);
}

std::string WindowSession::Banner() const {
  return BannerText(transport_, simulated_);
}

}  // namespace qx
