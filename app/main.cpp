// qxflash: the desktop window by default, sub-commands for the command line.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/window_front_end.h"

int main(int argc, char** argv) {
  return qx::cli::Main(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr,
                       qx::app::WindowOf(argc, argv));
}
