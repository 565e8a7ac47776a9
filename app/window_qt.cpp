#include "app/window_front_end.h"
#include "ui/qt/gui.h"

namespace qx::app {

cli::WindowFrontEnd WindowOf(int argc, char** argv) {
  cli::WindowFrontEnd window;
  window.run = [argc, argv](const cli::WindowOptions& o) {
    qt::GuiOptions gui;
    gui.transport_name = o.transport_name;
    gui.simulated = o.simulated;
    gui.history = o.history;
    gui.trace = o.trace;
    gui.firmware_dir = o.firmware_dir;
    gui.release = o.release;
    gui.ha = o.ha;
    gui.id = o.id;
    return qt::RunGui(argc, argv, gui);  // reports a missing display itself
  };
  window.startup_error = [argc, argv](const std::string& text) {
    qt::ShowStartupError(argc, argv, text);
  };
  return window;
}

}  // namespace qx::app
