// The command line's three tables: options, sub-commands and `send` builders.
// Parsing, the help text, the completion word lists and the documentation
// checks all read them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"

namespace qx::cli {

class Session;

// Which options a command takes, by group.
enum OptionGroup : unsigned {
  kAlways = 0,           // --help, --version: with any command
  kTransport = 1u << 0,  // which bus (accepted by every command)
  kDrive = 1u << 1,      // how commands go to the drive: --trace, --timeout
  kOutput = 1u << 2,     // --json
  kTarget = 1u << 3,     // --ha, --id
  kConfirm = 1u << 4,    // --yes, --no
  kModel = 1u << 5,      // --model
  kWindow = 1u << 6,     // --dir
  kHistory = 1u << 7,    // --no-history
  kDryRun = 1u << 8,     // --dry-run
  kRecord = 1u << 9,     // --record
};

struct OptionSpec {
  const char* name;
  const char* value;  // name of the value, nullptr for a flag
  const char* help;
  unsigned group;
  std::function<std::optional<std::string>(Options&, const std::string&)> apply;
};

struct CommandSpec {
  const char* name;      // "" for the window (no command)
  const char* synopsis;  // what follows the name
  const char* help;
  size_t max_args;
  unsigned groups;  // the option groups it takes
  int (*run)(Session&);
};

struct ArgSpec {
  const char* name;
  long long lo, hi;
};

struct BuilderSpec {
  const char* name;
  std::vector<ArgSpec> args;
  std::function<int16_t(const std::vector<long long>&)> run;
};

const std::vector<OptionSpec>& OptionTable();
// Every sub-command, then the window's entry (name "").
const std::vector<CommandSpec>& CommandTable();
const std::vector<BuilderSpec>& BuilderTable();

const CommandSpec* FindCommand(const std::string& name);
const BuilderSpec* FindBuilder(const std::string& name);

}  // namespace qx::cli
