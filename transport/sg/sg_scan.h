// The SCSI generic devices Linux shows, and their hosts, as the pass-through
// bus maps them (transport/passthrough/topology.h). Read from sysfs:
//   /sys/class/scsi_host/hostN/{proc_name,this_id}      one entry per host
//   /sys/class/scsi_generic/sgN/device -> .../H:C:T:L   one entry per LU
//
// Each host becomes one bus, channel 0 ("host2": HA_Identifier its proc_name,
// HA_Unique "host2", HA_SCSI_ID its this_id when the kernel gives 0-15);
// devices on other channels are therefore named in the notes and not mapped.
// The devices come in node-number order; a node without an address is named
// in the notes, and so is the absence of any node. A node this user may read
// but not write (access(2) with the effective IDs; nothing is opened) carries
// a caution, which the map's notes show with its place.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "transport/passthrough/device.h"
#include "transport/sg/sg_system.h"

namespace qx::sg {

inline constexpr uint8_t kDefaultHostId = 7;

inline constexpr const char* kSysScsiGeneric = "/sys/class/scsi_generic";
inline constexpr const char* kSysScsiHost = "/sys/class/scsi_host";

// "2:0:5:0" -> host 2, channel 0, target 5, LUN 0; nothing for anything else.
std::optional<passthrough::Address> ParseHctl(std::string_view text);

passthrough::Scan ReadScan(SgSystem& system);

}  // namespace qx::sg
