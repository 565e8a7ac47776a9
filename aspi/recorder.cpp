#include "aspi/recorder.h"

namespace qx {

namespace {
CommandRecorder* installed = nullptr;
}  // namespace

void InstallCommandRecorder(CommandRecorder* recorder) {
  installed = recorder;
}

CommandRecorder* InstalledCommandRecorder() {
  return installed;
}

}  // namespace qx
