// The transports the command line offers: the simulated bus everywhere, and
// the drives on this machine through the system's own pass-through. One file
// per system implements the second (cli_transport_linux.cpp, ..._windows.cpp).
#pragma once

#include <memory>
#include <string>

#include "aspi/manager.h"

namespace qx::cli {

// The system's own name for --drives ("--sg" on Linux, "--spti" on Windows).
const char* DrivesAlias();
// The help line of --drives, naming the pass-through.
const char* DrivesHelp();
// What `qxflash --version` adds after the version for this system ("" on Linux).
const char* VersionSuffix();
// The pass-through backend; nullptr with *error when this build has none.
std::shared_ptr<AspiManager> MakeDrives(std::string* error);

}  // namespace qx::cli
