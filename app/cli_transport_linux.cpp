#include "app/cli_transport.h"
#include "transport/sg/sg_bus.h"

namespace qx::cli {

const char* DrivesAlias() {
  return "--sg";
}

const char* DrivesHelp() {
  return "the drives on this machine (Linux SCSI generic, /dev/sgN)";
}

const char* VersionSuffix() {
  return "";
}

std::shared_ptr<AspiManager> MakeDrives(std::string*) {
  return sg::MakeSgBus();
}

}  // namespace qx::cli
