// How the Linux SCSI hosts and their sg nodes appear as ASPI host adapters and
// targets. Read from sysfs:
//   /sys/class/scsi_host/hostN/{proc_name,this_id}      one entry per host
//   /sys/class/scsi_generic/sgN/device -> .../H:C:T:L   one entry per LU
//
// Hosts become adapters 0..7 in ascending host number. With more than eight
// hosts, hosts that carry an sg device on channel 0 are kept first (still in
// ascending order), so empty ports (AHCI has one host per port) do not crowd a
// drive out; the warning names every host left out. Target IDs and LUNs map one
// to one on channel 0; devices on other channels are not mapped and are named
// in the warning, as are targets outside 0..7 that the bus scan never probes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport/sg/sg_system.h"

namespace qx::sg {

inline constexpr size_t kMaxAdapters = 8;
inline constexpr uint8_t kDefaultHostId = 7;

inline constexpr const char* kSysScsiGeneric = "/sys/class/scsi_generic";
inline constexpr const char* kSysScsiHost = "/sys/class/scsi_host";

struct Hctl {
  uint32_t host = 0;
  uint32_t channel = 0;
  uint32_t target = 0;
  uint64_t lun = 0;

  friend bool operator==(const Hctl&, const Hctl&) = default;
};

// "2:0:5:0" -> {2, 0, 5, 0}; nothing for anything else.
std::optional<Hctl> ParseHctl(std::string_view text);
std::string HctlText(const Hctl& a);

struct SgDevice {
  std::string node;  // "sg3"; the device file is /dev/sg3
  Hctl address;
};

struct Adapter {
  uint32_t host_no = 0;
  uint8_t scsi_id = kDefaultHostId;  // this_id when the kernel gives 0..15
  std::string proc_name;             // driver name, e.g. "sym53c8xx"
  std::vector<SgDevice> devices;     // channel 0 only, ascending target, LUN
};

struct Topology {
  std::vector<Adapter> adapters;   // at most kMaxAdapters
  std::vector<std::string> notes;  // one line per thing not mapped

  // The device at (adapter, target, LUN), or nullptr.
  const SgDevice* Find(uint8_t ha, uint8_t target, uint8_t lun) const;
  // The notes joined by newlines; empty when everything is mapped.
  std::string Warning() const;
};

Topology ReadTopology(SgSystem& system);

}  // namespace qx::sg
