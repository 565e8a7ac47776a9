#include "app/window_front_end.h"
#include "ui/win32/gui.h"

namespace qx::app {

cli::WindowFrontEnd WindowOf(int, char**) {
  cli::WindowFrontEnd window;
  window.run = [](const cli::WindowOptions& o) {
    win32::GuiOptions gui;
    gui.transport_name = o.transport_name;
    gui.simulated = o.simulated;
    gui.history = o.history;
    gui.trace = o.trace;
    gui.firmware_dir = o.firmware_dir;
    gui.release = o.release;
    gui.ha = o.ha;
    gui.id = o.id;
    return win32::RunGui(gui);
  };
  window.startup_error = [](const std::string& text) { win32::ShowStartupError(text); };
  return window;
}

}  // namespace qx::app
