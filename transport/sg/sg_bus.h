// The bus for real drives on Linux: the pass-through bus
// (transport/passthrough/passthrough_bus.h) over SG_IO on /dev/sgN
// (sg_devices.h).
//
//   #include "transport/sg/sg_bus.h"
//   auto bus = qx::sg::MakeSgBus();
//   qx::InstallAspiManager(bus);
#pragma once

#include <memory>

#include "transport/passthrough/passthrough_bus.h"

namespace qx::sg {

// The bus on the real system.
std::shared_ptr<passthrough::PassThroughBus> MakeSgBus();

}  // namespace qx::sg
