#include "app/window_front_end.h"

namespace qx::app {

// A build without a window: the command line says so when no command is given.
cli::WindowFrontEnd WindowOf(int, char**) {
  return {};
}

}  // namespace qx::app
