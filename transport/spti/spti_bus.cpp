#include "transport/spti/spti_bus.h"

#include "transport/spti/spti_devices.h"

namespace qx::spti {

std::shared_ptr<passthrough::PassThroughBus> MakeSptiBus() {
  return std::make_shared<passthrough::PassThroughBus>(
      MakeSptiDevices(std::make_shared<WindowsSptiSystem>()));
}

}  // namespace qx::spti
