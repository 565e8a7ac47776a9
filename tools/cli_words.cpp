// Prints the command line's names from its tables, for the files made from
// them at build time and the checks of the documentation:
//   qx_cli_words completion   shell assignments for the bash completion
//   qx_cli_words commands|options|builders   one name per line
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"

namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : " ") + n;
  return text;
}

// A shell variable name for a command ("dump-image" -> "dump_image").
std::string VariableOf(std::string command) {
  for (char& c : command) {
    if (c == '-') c = '_';
  }
  return command;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qx::cli;
  const std::string what = argc > 1 ? argv[1] : "";
  std::vector<std::string> names;
  if (what == "commands") {
    names = CommandNames();
  } else if (what == "options") {
    names = OptionNames();
  } else if (what == "builders") {
    names = BuilderNames();
  } else if (what == "completion") {
    std::cout << "_qxflash_commands=\"" << Joined(CommandNames()) << "\"\n"
              << "_qxflash_options=\"" << Joined(OptionNames()) << " -h\"\n"
              << "_qxflash_builders=\"" << Joined(BuilderNames()) << "\"\n";
    for (const auto& c : CommandNames()) {
      std::cout << "_qxflash_options_" << VariableOf(c) << "=\"" << Joined(OptionNamesOf(c))
                << "\"\n";
    }
    return 0;
  } else {
    std::cerr << "usage: qx_cli_words completion|commands|options|builders\n";
    return 2;
  }
  for (const auto& n : names) std::cout << n << "\n";
  return 0;
}
