// The power seam where the system offers no way to hold off sleep or to read
// the battery (or this build was made without one): nothing is held, nothing
// is known, and the operator is told to see to it.
#include "platform/power.h"

namespace qx::os {

std::unique_ptr<SleepInhibitor> InhibitSleep(const std::string&, const std::string&,
                                             std::string* unavailable) {
  if (unavailable != nullptr) {
    *unavailable =
        "the system's sleep and shutdown could not be held off (this build cannot ask the "
        "system): keep the machine awake and on mains power yourself";
  }
  return nullptr;
}

PowerState ReadPowerState() {
  return {};
}

}  // namespace qx::os
