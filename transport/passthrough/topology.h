// The map of a system's SCSI devices onto ASPI host adapters 0-7 and target
// IDs, and the notes about what it leaves out or shows differently.
//
// Every bus the system lists becomes an adapter, in the order listed, with
// target IDs and LUNs one to one; devices without an address share one
// adapter after those ("no SCSI address"), at target IDs 0-7 in the order
// found, and a ninth is not shown. With more than eight adapters the bus scan
// would never ask the ninth, so eight are kept, those with devices first,
// numbered in their order; the note names every one left out with its
// devices. Devices on a bus the system does not list, and target IDs or LUNs
// above 255, are not shown; target IDs 8-255 are shown but noted, since the
// bus scan probes 0-7 only. A device's caution (device.h) is noted with its
// place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/passthrough/device.h"

namespace qx::passthrough {

// A device where the map puts it.
struct Placed {
  uint8_t target = 0;
  uint8_t lun = 0;
  Device device;
};

struct Adapter {
  Bus bus;
  std::vector<Placed> devices;  // ascending target, LUN
};

struct Topology {
  std::vector<Adapter> adapters;  // at most eight
  std::vector<std::string> notes;
  std::string no_adapter_advice;
  bool access_denied = false;  // as the scan said (Scan::access_denied)

  // The device at (adapter, target, LUN), or nullptr.
  const Placed* Find(uint8_t ha, uint8_t target, uint8_t lun) const;
  // The notes, one a line; empty when everything is mapped.
  std::string Warning() const;
};

// `adapters` names the system's buses in the note about more than eight
// ("hosts", "buses").
Topology Map(Scan scan, const std::string& adapters);

}  // namespace qx::passthrough
