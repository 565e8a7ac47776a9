// The drives on this machine on Windows: SCSI pass-through (SPTI).
#include "app/cli_transport.h"
#include "transport/spti/spti_bus.h"

namespace qx::cli {

const char* DrivesAlias() {
  return "--spti";
}

const char* DrivesHelp() {
  return "the drives on this machine (SCSI pass-through, SPTI)";
}

const char* VersionSuffix() {
  return " (Windows build)";
}

std::shared_ptr<AspiManager> MakeDrives(std::string*) {
  return spti::MakeSptiBus();
}

}  // namespace qx::cli
