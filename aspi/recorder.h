// What the drives answered, as it happens: every executed request and every
// host adapter inquiry reaches the recorder installed here (one at a time,
// none by default). A dry run installs one to write the drive's answers down
// as a scenario the simulated bus can replay.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "aspi/srb.h"
#include "aspi/transport_state.h"

namespace qx {

struct ExecutedCommand {
  const SRB_ExecSCSICmd& srb;      // the completed block: address, CDB, statuses, sense
  int16_t result;                  // the request's final status (1: success)
  bool timed_out;                  // no answer within ExecTimeout: cancelled
  std::span<const uint8_t> data;   // the data phase (SRB_BufLen bytes of DataBuf)
  std::chrono::microseconds took;  // from submission to completion
};

class CommandRecorder {
 public:
  virtual ~CommandRecorder() = default;
  virtual void Executed(const ExecutedCommand& command) = 0;
  // A host adapter inquiry of adapter `ha` that returned `status`.
  virtual void AdapterInquired(const SRB_HAInquiry& srb, uint8_t ha, int16_t status) = 0;
};

// nullptr: nothing is recorded. The recorder must outlive its installation.
void InstallCommandRecorder(CommandRecorder* recorder);
CommandRecorder* InstalledCommandRecorder();

}  // namespace qx
