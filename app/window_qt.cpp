#include "app/window_front_end.h"
#include "ui/qt/gui.h"

namespace qx::app {

cli::WindowFrontEnd WindowOf(int argc, char** argv) {
  cli::WindowFrontEnd window;
  window.run = [argc, argv](const cli::WindowOptions& options) {
    return qt::RunGui(argc, argv, options);  // reports a missing display itself
  };
  window.startup_error = [argc, argv](const std::string& text) {
    qt::ShowStartupError(argc, argv, text);
  };
  return window;
}

}  // namespace qx::app
