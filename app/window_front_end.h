// The desktop window this build carries: one file per front end
// (window_qt.cpp, window_win32.cpp, window_none.cpp), chosen by the build.
#pragma once

#include "app/cli.h"

namespace qx::app {

cli::WindowFrontEnd WindowOf(int argc, char** argv);

}  // namespace qx::app
