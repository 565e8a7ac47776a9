#include "commands/builder.h"

#include "aspi/executor.h"
#include "aspi/trace.h"

namespace qx {

int16_t RunCommand(const std::string& cmdName, const CdbFiller& fill) {
  if (TraceOn == 1) ClearTraceList();
  Cdb cdb{};
  int16_t result = kResultRefused;
  for (int attempt = 0; attempt <= kMaxReissues; ++attempt) {
    fill(cdb);
    result = ExecScsiCmd(cmdName, XferLen, cdb, CDBSize);
    // A refusal leaves SenseASC as the attempt before set it; it ends the loop.
    if (result == kResultRefused) break;
    if (SenseASC != kAscMediumMayHaveChanged && SenseASC != kAscPowerOnOrReset) break;
  }
  return result;
}

}  // namespace qx
