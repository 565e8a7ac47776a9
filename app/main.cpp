// qxflash: the desktop window by default, sub-commands for the command line.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/window_front_end.h"
#include "platform/os.h"

int main(int argc, char** argv) {
  return qx::cli::Main(qx::os::ProgramArguments(argc, argv), std::cout, std::cerr,
                       qx::app::WindowOf(argc, argv));
}
