#include "transport/sg/sg_bus.h"

#include "transport/sg/sg_devices.h"

namespace qx::sg {

std::shared_ptr<passthrough::PassThroughBus> MakeSgBus() {
  return std::make_shared<passthrough::PassThroughBus>(
      MakeSgDevices(std::make_shared<LinuxSgSystem>()));
}

}  // namespace qx::sg
