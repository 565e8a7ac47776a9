// The program as a whole: what main() runs.
#include <chrono>
#include <cmath>
#include <filesystem>
#include <ostream>

#include "app/cli.h"
#include "app/cli_output.h"
#include "app/cli_session.h"
#include "app/cli_transport.h"
#include "aspi/transport_state.h"
#include "platform/os.h"
#include "platform/version.h"
#include "transport/sim/sim_bus.h"

namespace qx::cli {

namespace {

bool IsDirectory(const std::string& dir) {
  std::error_code ec;
  return std::filesystem::is_directory(os::PathFromUtf8(dir), ec);
}

}  // namespace

std::shared_ptr<AspiManager> MakeTransport(const Options& options, std::string* error) {
  if (options.transport == Options::Transport::kDrives) return MakeDrives(error);
  if (options.scenario.empty()) return sim::SimBus::BuiltIn();
  auto bus = sim::SimBus::FromJsonFile(options.scenario, error);
  // The loader names the file as given, which may be any length: quote a
  // part of it, as every message about an argument does.
  if (!bus && error != nullptr && options.scenario.size() > kQuotedBytes) {
    const std::string quoted = ExcerptWithLength(options.scenario, kQuotedBytes);
    for (size_t at = 0; (at = error->find(options.scenario, at)) != std::string::npos;) {
      error->replace(at, options.scenario.size(), quoted);
      at += quoted.size();
    }
  }
  return bus;
}

int RunCommand(const Options& options, std::ostream& out, std::ostream& err) {
  Session session(options, out, err);
  const int rc = session.Run();
  if (rc == kExitFailed) {
    if (auto manager = InstalledAspiManager()) {
      const std::string hint = manager->LastHint();
      if (!hint.empty()) err << "hint: " << Printable(hint) << "\n";
    }
  }
  return rc;
}

int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
         const WindowFrontEnd& window) {
  os::PrepareConsole();  // the program's texts are UTF-8
  std::string error;
  auto options = Parse(args, &error);
  if (!options) {
    err << "qxflash: " << error << "\n(see qxflash --help)\n";
    return kExitUsage;
  }
  if (options->help) {
    out << UsageText();
    return kExitOk;
  }
  if (options->version) {
    out << "qxflash " << kProgramVersion << VersionSuffix() << "\n";
    return kExitOk;
  }
  if (options->timeout_s) {
    ExecTimeout = std::chrono::milliseconds(std::llround(*options->timeout_s * 1000));
  }

  auto transport = MakeTransport(*options, &error);
  if (!transport) {
    const int rc = options->transport == Options::Transport::kSim ? kExitUsage : kExitFailed;
    if (options->command.empty() && window.startup_error) {
      window.startup_error("qxflash: " + error);
    } else {
      err << "qxflash: " << Printable(error) << "\n";
    }
    return rc;
  }
  InstallAspiManager(transport);

  int rc;
  if (!options->command.empty()) {
    rc = RunCommand(*options, out, err);
  } else if (window.run && !options->dir.empty() && !IsDirectory(options->dir)) {
    // Said here rather than by the window, so that a name of any length is
    // quoted in part.
    err << "qxflash: firmware directory '" << QuotedArg(options->dir) << "' does not exist\n";
    rc = kExitUsage;
  } else if (window.run) {
    WindowOptions opened;
    opened.transport_name = transport->Name();
    opened.simulated = transport->Simulated();
    opened.trace = options->trace;
    opened.firmware_dir = options->dir;
    if (!options->args.empty()) opened.release = options->args.front();
    opened.ha = options->ha;
    opened.id = options->id;
    opened.history = !options->no_history;
    rc = window.run(opened);
  } else {
    err << "qxflash: this build has no desktop window; use the command line "
           "(qxflash --help)\n";
    rc = kExitUsage;
  }
  InstallAspiManager(nullptr);
  return rc;
}

}  // namespace qx::cli
