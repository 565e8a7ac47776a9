// The qxflash command line: sub-commands that drive the main window's handlers.
// One table of sub-commands (each with the options it takes), one of options
// and one of `send` builders give the parser, the help text, the completion
// and the manual page's lists.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aspi/manager.h"
#include "ui/window_options.h"

namespace qx::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Options {
  // The simulated bus, or the drives on this machine through the system's
  // pass-through (SCSI generic on Linux, SPTI on Windows).
  enum class Transport { kSim, kDrives };
  Transport transport = Transport::kSim;
  bool transport_given = false;            // a transport option was named
  std::string drives_option = "--drives";  // as written: --drives or the system's own name
  std::string scenario;                    // empty: built-in scenario
  bool trace = false;
  bool json = false;
  bool help = false;
  bool version = false;
  std::optional<double> timeout_s;
  std::string dir;                // firmware directory for the window's file list
  std::string command;            // empty: the desktop window
  std::vector<std::string> args;  // positional arguments of the command
  std::optional<int> ha, id;
  std::optional<std::string> model;
  enum class Confirm { kAsk, kYes, kNo } confirm = Confirm::kAsk;
  bool no_history = false;  // neither record nor read the download history
  bool dry_run = false;     // download: every check up to the first write, and no write
  std::string record;       // a twin of the drives' answers is written here

  // Field by field: whether an option given twice asked for the same.
  bool operator==(const Options&) const = default;
};

// Names for completion and documentation, in table order.
std::vector<std::string> CommandNames();
std::vector<std::string> OptionNames();
std::vector<std::string> BuilderNames();
// The options `command` takes ("" for the window), in table order.
std::vector<std::string> OptionNamesOf(const std::string& command);

// Parses argv; on a usage error returns nullopt and sets *error.
std::optional<Options> Parse(const std::vector<std::string>& argv, std::string* error);

std::string UsageText();

// Creates the transport the options ask for; nullptr with *error on failure.
std::shared_ptr<AspiManager> MakeTransport(const Options& options, std::string* error);

// Runs one sub-command (options.command not empty) with the transport installed.
// `out` gets the events, `err` the diagnostics. A failed write to `out` ends
// the job with kExitFailed (during a download: like an abort).
int RunCommand(const Options& options, std::ostream& out, std::ostream& err);

// What the window needs from the command line: the windows' own options.
using WindowOptions = qx::WindowOptions;
// The desktop window of this build, if it has one.
struct WindowFrontEnd {
  // Runs the window until it closes; returns the exit status.
  std::function<int(const WindowOptions&)> run;
  // Shows a failure before the window exists (also on stderr).
  std::function<void(const std::string&)> startup_error;
};

// The whole program: parsing, --help and --version, the transport, then the
// command or (without one) the window. Returns the exit status.
int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
         const WindowFrontEnd& window = {});

}  // namespace qx::cli
