#include "transport/passthrough/topology.h"

#include <algorithm>
#include <utility>

#include "text/text.h"

namespace qx::passthrough {

namespace {

constexpr size_t kMaxAdapters = 8;
constexpr uint32_t kScannedTargets = 8;  // the bus scan probes target IDs 0-7

// A bus that may become an adapter, with the devices it would show.
struct Candidate {
  Bus bus;
  bool addressed = true;     // false: the adapter of the devices without an address
  bool has_devices = false;  // a device sits on this very bus
  // Its devices in scan order, and those of its host on buses the system
  // does not list (shown as not mapped), when it is the host's first bus.
  std::vector<const Device*> devices;
};

Bus NoAddressBus() {
  Bus b;
  b.name = b.identifier = "no SCSI address";
  b.unique = b.detail = "device nodes";
  return b;
}

// Every listed bus with its devices, and the adapter of the devices without
// an address after them (a ninth of those is noted and left out).
std::vector<Candidate> Candidates(const Scan& scan, std::vector<std::string>& notes) {
  std::vector<Candidate> all;
  for (const Bus& b : scan.buses) all.push_back({b, true, false, {}});
  Candidate unaddressed{NoAddressBus(), false, true, {}};
  for (const Device& d : scan.devices) {
    if (!d.address) {
      if (unaddressed.devices.size() < kScannedTargets) {
        unaddressed.devices.push_back(&d);
      } else {
        notes.push_back(d.name +
                        " answers no SCSI address and is not shown: target IDs 0-7 of the "
                        "adapter for such devices are taken");
      }
      continue;
    }
    const Address& a = *d.address;
    auto own = std::find_if(all.begin(), all.end(), [&](const Candidate& c) {
      return c.bus.host == a.host && c.bus.bus == a.bus;
    });
    if (own != all.end()) {
      own->devices.push_back(&d);
      own->has_devices = true;
      continue;
    }
    auto host = std::find_if(all.begin(), all.end(),
                             [&](const Candidate& c) { return c.bus.host == a.host; });
    if (host != all.end()) host->devices.push_back(&d);
  }
  if (!unaddressed.devices.empty()) all.push_back(std::move(unaddressed));
  return all;
}

// At most eight, those with devices first, in their order, so that empty
// buses (AHCI has one host per port) do not crowd a drive out.
std::vector<size_t> Choose(const std::vector<Candidate>& all) {
  std::vector<size_t> chosen;
  for (const bool with_devices : {true, false}) {
    for (size_t i = 0; i < all.size() && chosen.size() < kMaxAdapters; ++i) {
      if (all[i].has_devices == with_devices) chosen.push_back(i);
    }
  }
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

std::string LeftOutNote(const std::vector<Candidate>& all, const std::vector<size_t>& chosen,
                        const std::string& adapters) {
  std::string note = "More than eight SCSI " + adapters + ": adapters 0-7 show ";
  for (size_t i = 0; i < chosen.size(); ++i) note += (i ? ", " : "") + all[chosen[i]].bus.name;
  note += "; not shown:";
  for (size_t i = 0; i < all.size(); ++i) {
    if (std::find(chosen.begin(), chosen.end(), i) != chosen.end()) continue;
    note += " " + all[i].bus.name + " (" + all[i].bus.detail;
    for (const Device* d : all[i].devices) note += ", " + d->name;
    note += ")";
  }
  return note;
}

// The adapter of the devices without an address: target IDs in the order found.
Adapter PlaceUnaddressed(const Candidate& c, const std::string& ha,
                         std::vector<std::string>& notes) {
  Adapter adapter{c.bus, {}};
  std::string note = "adapter " + ha +
                     " holds the devices that answer no SCSI address, at target IDs in the "
                     "order found:";
  for (const Device* d : c.devices) {
    const auto target = static_cast<uint8_t>(adapter.devices.size());
    note += " " + std::to_string(target) + " " + d->name;
    if (!d->product.empty()) note += " (" + d->product + ")";
    adapter.devices.push_back({target, 0, *d});
  }
  notes.push_back(note + "; a drive may show there and at its address too");
  for (const Placed& p : adapter.devices) {
    if (!p.device.caution.empty()) {
      notes.push_back(p.device.name + " at target ID " + std::to_string(p.target) + " on adapter " +
                      ha + " " + p.device.caution);
    }
  }
  return adapter;
}

// Adapter `ha` for a listed bus: its devices at their own target ID and LUN.
Adapter Place(const Candidate& c, const std::string& ha, std::vector<std::string>& notes) {
  if (!c.addressed) return PlaceUnaddressed(c, ha, notes);
  Adapter adapter{c.bus, {}};
  for (const Device* d : c.devices) {
    const Address& a = *d->address;
    const std::string where =
        d->name + " (" + AddressText(a) + ") on adapter " + ha + " (" + c.bus.name + ")";
    if (a.bus != c.bus.bus) {
      // Only Linux leaves buses out: it lists channel 0 of each host.
      notes.push_back(where + " is on channel " + std::to_string(a.bus) +
                      " and is not shown: only channel 0 is mapped");
      continue;
    }
    if (a.target > 255 || a.lun > 255) {
      notes.push_back(where + " has a target ID or LUN above 255 and is not shown");
      continue;
    }
    if (a.target >= kScannedTargets) {
      notes.push_back(where + " has target ID " + std::to_string(a.target) +
                      ": the bus scan probes target IDs 0-7 only");
    }
    if (!d->caution.empty()) notes.push_back(where + " " + d->caution);
    adapter.devices.push_back({static_cast<uint8_t>(a.target), static_cast<uint8_t>(a.lun), *d});
  }
  std::sort(adapter.devices.begin(), adapter.devices.end(), [](const Placed& x, const Placed& y) {
    return std::pair(x.target, x.lun) < std::pair(y.target, y.lun);
  });
  return adapter;
}

}  // namespace

const Placed* Topology::Find(uint8_t ha, uint8_t target, uint8_t lun) const {
  if (ha >= adapters.size()) return nullptr;
  for (const Placed& p : adapters[ha].devices) {
    if (p.target == target && p.lun == lun) return &p;
  }
  return nullptr;
}

std::string Topology::Warning() const {
  return JoinedLines(notes);
}

// The notes in the order the map meets what they say: the system's own, the
// devices without an address left out, the adapters left out, each adapter's
// devices, the system's closing ones.
Topology Map(Scan scan, const std::string& adapters) {
  Topology topo;
  topo.notes = std::move(scan.notes);
  topo.no_adapter_advice = std::move(scan.no_adapter_advice);
  topo.access_denied = scan.access_denied;
  const std::vector<Candidate> all = Candidates(scan, topo.notes);
  const std::vector<size_t> chosen = Choose(all);
  if (chosen.size() < all.size()) topo.notes.push_back(LeftOutNote(all, chosen, adapters));
  for (const size_t index : chosen) {
    topo.adapters.push_back(Place(all[index], std::to_string(topo.adapters.size()), topo.notes));
  }
  for (std::string& note : scan.final_notes) topo.notes.push_back(std::move(note));
  return topo;
}

}  // namespace qx::passthrough
