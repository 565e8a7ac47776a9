// The bus for real drives on Windows: the pass-through bus
// (transport/passthrough/passthrough_bus.h) over SCSI pass-through on the
// devices' nodes (spti_devices.h).
//
//   #include "transport/spti/spti_bus.h"
//   auto bus = qx::spti::MakeSptiBus();
//   qx::InstallAspiManager(bus);
#pragma once

#include <memory>

#include "transport/passthrough/passthrough_bus.h"

namespace qx::spti {

// The bus on the real system.
std::shared_ptr<passthrough::PassThroughBus> MakeSptiBus();

}  // namespace qx::spti
