#include "app/window_front_end.h"
#include "ui/win32/gui.h"

namespace qx::app {

cli::WindowFrontEnd WindowOf(int, char**) {
  cli::WindowFrontEnd window;
  window.run = [](const cli::WindowOptions& options) { return win32::RunGui(options); };
  window.startup_error = [](const std::string& text) { win32::ShowStartupError(text); };
  return window;
}

}  // namespace qx::app
