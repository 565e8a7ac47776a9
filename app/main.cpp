// qxflash: the desktop window by default, sub-commands for the command line.
#include <cmath>
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "aspi/manager.h"
#include "aspi/transport_state.h"
#ifdef QXFLASH_HAVE_QT
#include "ui/qt/gui.h"
#endif

int main(int argc, char** argv) {
  using namespace qx::cli;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = Parse(args, &error);
  if (!options) {
    std::cerr << "qxflash: " << error << "\n(see qxflash --help)\n";
    return kExitUsage;
  }
  if (options->help) {
    std::cout << UsageText();
    return kExitOk;
  }
  if (options->version) {
    std::cout << "qxflash " << QXFLASH_VERSION << "\n";
    return kExitOk;
  }
  if (options->timeout_s) {
    qx::ExecTimeout = std::chrono::milliseconds(std::llround(*options->timeout_s * 1000));
  }

  auto transport = MakeTransport(*options, &error);
  if (!transport) {
#ifdef QXFLASH_HAVE_QT
    if (options->command.empty()) {
      qx::qt::ShowStartupError(argc, argv, "qxflash: " + error);
      return options->transport == Options::Transport::kSim ? kExitUsage : kExitFailed;
    }
#endif
    std::cerr << "qxflash: " << error << "\n";
    return options->transport == Options::Transport::kSim ? kExitUsage : kExitFailed;
  }
  qx::InstallAspiManager(transport);

  int rc;
  if (!options->command.empty()) {
    rc = RunCommand(*options, std::cout, std::cerr);
  } else {
#ifdef QXFLASH_HAVE_QT
    qx::qt::GuiOptions gui;
    gui.transport_name = transport->Name();
    gui.simulated = transport->Simulated();
    gui.history = !options->no_history;
    gui.trace = options->trace;
    gui.firmware_dir = options->dir;
    rc = qx::qt::RunGui(argc, argv, gui);  // reports a missing display itself
#else
    std::cerr << "qxflash: this build has no desktop window; use the command line "
                 "(qxflash --help)\n";
    rc = kExitUsage;
#endif
  }
  qx::InstallAspiManager(nullptr);
  return rc;
}
