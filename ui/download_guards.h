// The guards of a firmware download that the window model answers for: the
// chosen target must be a CD/DVD device, the machine must have power enough,
// and while the blocks go out the drive is this program's alone and the
// machine stays awake. None of them sends a command to the drive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "aspi/manager.h"
#include "download/procedure.h"
#include "platform/power.h"

namespace qx {

// Firmware for this drive goes only to a CD/DVD device: INQUIRY byte 0 with
// peripheral qualifier 0 and device type 5, as the target's last INQUIRY
// reported it (nullopt: that INQUIRY failed, so nothing is known).
GuardVerdict TargetTypeVerdict(int target, std::optional<uint8_t> peripheral);

// The machine's power for a download: on battery below the least charge it
// refuses, on battery above it gives a note.
GuardVerdict PowerVerdictOf(const os::PowerState& state);

// The drive and the machine, taken for one download and given back when this
// object goes (every way out of the download).
class DriveWork {
 public:
  // `drive` names the drive for the operator and for the system's inhibitor.
  DriveWork(std::shared_ptr<AspiManager> manager, uint8_t ha, uint8_t target, uint8_t lun,
            std::string drive);
  ~DriveWork();
  DriveWork(const DriveWork&) = delete;
  DriveWork& operator=(const DriveWork&) = delete;

  // Refuses when a file system is mounted from the drive or another program
  // has it open; otherwise reserves it and holds off the system's sleep and
  // shutdown, with a note when the system cannot be asked.
  GuardVerdict Begin();

 private:
  std::shared_ptr<AspiManager> manager_;
  uint8_t ha_, target_, lun_;
  std::string drive_;
  bool reserved_ = false;
  std::unique_ptr<os::SleepInhibitor> inhibitor_;
};

}  // namespace qx
