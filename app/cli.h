// The qxflash command line: sub-commands that drive the main window's handlers.
// One table of sub-commands, one of options and one of `send` builders give
// the parser, the help text and the completion lists.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aspi/manager.h"

namespace qx::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Options {
  enum class Transport { kSim, kSg };
  Transport transport = Transport::kSim;
  bool transport_given = false;  // --sim or --sg was named
  std::string scenario;          // empty: built-in scenario
  bool trace = false;
  bool json = false;
  bool help = false;
  bool version = false;
  std::optional<double> timeout_s;
  std::string dir;                // firmware directory for the GUI's file list
  std::string command;            // empty: the desktop GUI
  std::vector<std::string> args;  // positional arguments of the command
  std::optional<int> ha, id;
  std::optional<std::string> model;
  enum class Confirm { kAsk, kYes, kNo } confirm = Confirm::kAsk;
  bool no_history = false;  // neither record nor read the download history
};

// Names for completion and documentation, in table order.
std::vector<std::string> CommandNames();
std::vector<std::string> OptionNames();
std::vector<std::string> BuilderNames();

// Parses argv; on a usage error returns nullopt and sets *error.
std::optional<Options> Parse(const std::vector<std::string>& argv, std::string* error);

std::string UsageText();

// Creates the transport the options ask for; nullptr with *error on failure.
std::shared_ptr<AspiManager> MakeTransport(const Options& options, std::string* error);

// Runs one sub-command (options.command not empty) with the transport installed.
// `out` gets the events, `err` the diagnostics. A failed write to `out` ends
// the job with kExitFailed (during a download: like an abort).
int RunCommand(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace qx::cli
