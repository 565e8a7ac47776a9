// The drives on this machine on Windows: SCSI pass-through (SPTI). Until this
// build carries the pass-through backend, --drives and --spti say so and end
// with a failure instead of pretending that no drive is there.
#include "app/cli_transport.h"

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

std::shared_ptr<AspiManager> MakeDrives(std::string* error) {
  if (error) *error = "this build has no SCSI pass-through (SPTI) yet; use --sim";
  return nullptr;
}

}  // namespace qx::cli
