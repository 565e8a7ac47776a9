#include "transport/sg/sg_topology.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

#include "text/text.h"

namespace qx::sg {

namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view s) {
  T value{};
  if (s.empty()) return std::nullopt;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

// "host12" -> 12, "sg3" -> 3 (prefix followed by decimal digits only).
std::optional<uint32_t> NumberAfter(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::string_view digits = name.substr(prefix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return ParseNumber<uint32_t>(digits);
}

std::string HostName(uint32_t host) {
  return "host" + std::to_string(host);
}

uint8_t HostScsiId(SgSystem& system, uint32_t host) {
  auto text = system.ReadText(std::string(kSysScsiHost) + "/" + HostName(host) + "/this_id");
  if (!text) return kDefaultHostId;
  auto id = ParseNumber<int>(Trim(*text));
  if (!id || *id < 0 || *id > 15) return kDefaultHostId;
  return static_cast<uint8_t>(*id);
}

std::string HostProcName(SgSystem& system, uint32_t host) {
  auto text = system.ReadText(std::string(kSysScsiHost) + "/" + HostName(host) + "/proc_name");
  if (!text) return "unknown";
  const std::string_view name = Trim(*text);
  return name.empty() ? "unknown" : std::string(name);
}

}  // namespace

std::optional<Hctl> ParseHctl(std::string_view text) {
  Hctl a;
  std::string_view parts[4];
  for (int i = 0; i < 4; ++i) {
    const size_t colon = text.find(':');
    if (i < 3) {
      if (colon == std::string_view::npos) return std::nullopt;
      parts[i] = text.substr(0, colon);
      text.remove_prefix(colon + 1);
    } else {
      if (colon != std::string_view::npos) return std::nullopt;
      parts[i] = text;
    }
    if (parts[i].empty() || parts[i].front() == '-' || parts[i].front() == '+') return std::nullopt;
  }
  auto h = ParseNumber<uint32_t>(parts[0]);
  auto c = ParseNumber<uint32_t>(parts[1]);
  auto t = ParseNumber<uint32_t>(parts[2]);
  auto l = ParseNumber<uint64_t>(parts[3]);
  if (!h || !c || !t || !l) return std::nullopt;
  a.host = *h;
  a.channel = *c;
  a.target = *t;
  a.lun = *l;
  return a;
}

std::string HctlText(const Hctl& a) {
  return std::to_string(a.host) + ":" + std::to_string(a.channel) + ":" + std::to_string(a.target) +
         ":" + std::to_string(a.lun);
}

const SgDevice* Topology::Find(uint8_t ha, uint8_t target, uint8_t lun) const {
  if (ha >= adapters.size()) return nullptr;
  for (const SgDevice& d : adapters[ha].devices) {
    if (d.address.target == target && d.address.lun == lun) return &d;
  }
  return nullptr;
}

std::string Topology::Warning() const {
  return JoinedLines(notes);
}

namespace {

// An sg node with its node number ("sg3" -> 3).
using NumberedNode = std::pair<uint32_t, SgDevice>;
using DevicesByHost = std::map<uint32_t, std::vector<SgDevice>>;

// Every sg node with its address, in node-number order. A node without an
// address is left out with a note, and a note says when there is none at all.
std::vector<NumberedNode> ReadNodes(SgSystem& system, std::vector<std::string>& notes) {
  std::vector<NumberedNode> nodes;
  for (const std::string& name : system.ListDir(kSysScsiGeneric)) {
    auto number = NumberAfter(name, "sg");
    if (!number) continue;
    auto link = system.ReadLink(std::string(kSysScsiGeneric) + "/" + name + "/device");
    std::optional<Hctl> address;
    if (link) {
      const size_t slash = link->find_last_of('/');
      address = ParseHctl(slash == std::string::npos ? *link : link->substr(slash + 1));
    }
    if (!address) {
      notes.push_back(name + " has no SCSI address in sysfs and is not shown");
      continue;
    }
    nodes.push_back({*number, SgDevice{name, *address}});
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  if (nodes.empty()) {
    notes.push_back("no SCSI generic devices (/dev/sg*) found; load the sg driver: modprobe sg");
  }
  return nodes;
}

// Each host's devices, in node-number order.
DevicesByHost GroupByHost(const std::vector<NumberedNode>& nodes) {
  DevicesByHost by_host;
  for (const auto& [number, dev] : nodes) by_host[dev.address.host].push_back(dev);
  return by_host;
}

// The devices on `host`; none for a host without sg nodes.
const std::vector<SgDevice>& DevicesOn(const DevicesByHost& by_host, uint32_t host) {
  static const std::vector<SgDevice> kNone;
  auto it = by_host.find(host);
  return it == by_host.end() ? kNone : it->second;
}

// Hosts: those sysfs lists plus any an sg node names.
std::set<uint32_t> ListHosts(SgSystem& system, const std::vector<NumberedNode>& nodes) {
  std::set<uint32_t> hosts;
  for (const std::string& name : system.ListDir(kSysScsiHost)) {
    if (auto number = NumberAfter(name, "host")) hosts.insert(*number);
  }
  for (const auto& [number, dev] : nodes) hosts.insert(dev.address.host);
  return hosts;
}

// Whether the host carries a device the map can show (one on channel 0).
bool HasChannel0(const DevicesByHost& by_host, uint32_t host) {
  const std::vector<SgDevice>& devices = DevicesOn(by_host, host);
  return std::any_of(devices.begin(), devices.end(),
                     [](const SgDevice& d) { return d.address.channel == 0; });
}

// The hosts that become adapters (ascending) and those left out.
struct HostChoice {
  std::vector<uint32_t> chosen;
  std::vector<uint32_t> left_out;
};

// Chooses at most eight hosts, hosts with reachable devices first, so empty
// ports do not crowd a drive out.
HostChoice ChooseHosts(const std::set<uint32_t>& hosts, const DevicesByHost& by_host) {
  HostChoice choice;
  std::vector<uint32_t>& chosen = choice.chosen;
  std::vector<uint32_t>& left_out = choice.left_out;
  if (hosts.size() <= kMaxAdapters) {
    chosen.assign(hosts.begin(), hosts.end());
  } else {
    for (uint32_t h : hosts) {
      if (HasChannel0(by_host, h) && chosen.size() < kMaxAdapters) chosen.push_back(h);
    }
    for (uint32_t h : hosts) {
      if (!HasChannel0(by_host, h) && chosen.size() < kMaxAdapters) chosen.push_back(h);
    }
    std::sort(chosen.begin(), chosen.end());
    for (uint32_t h : hosts) {
      if (std::find(chosen.begin(), chosen.end(), h) == chosen.end()) left_out.push_back(h);
    }
  }
  return choice;
}

// The note naming the hosts adapters 0-7 show and every host left out, with
// its driver and sg nodes.
std::string LeftOutNote(SgSystem& system, const HostChoice& choice, const DevicesByHost& by_host) {
  std::string note = "More than eight SCSI hosts: adapters 0-7 show ";
  for (size_t i = 0; i < choice.chosen.size(); ++i) {
    note += (i ? ", " : "") + HostName(choice.chosen[i]);
  }
  note += "; not shown:";
  for (uint32_t h : choice.left_out) {
    note += " " + HostName(h) + " (" + HostProcName(system, h);
    for (const SgDevice& d : DevicesOn(by_host, h)) note += ", " + d.node;
    note += ")";
  }
  return note;
}

// Adapter `index` for host `h`: its channel-0 devices in target, LUN order.
// Devices on other channels or beyond 255 are left out with a note; targets
// above 7 are kept with a note that the bus scan does not reach them.
Adapter MapAdapter(SgSystem& system, size_t index, uint32_t h, const std::vector<SgDevice>& devices,
                   std::vector<std::string>& notes) {
  Adapter adapter;
  adapter.host_no = h;
  adapter.scsi_id = HostScsiId(system, h);
  adapter.proc_name = HostProcName(system, h);
  for (const SgDevice& d : devices) {
    const std::string where = d.node + " (" + HctlText(d.address) + ") on adapter " +
                              std::to_string(index) + " (" + HostName(h) + ")";
    if (d.address.channel != 0) {
      notes.push_back(where + " is on channel " + std::to_string(d.address.channel) +
                      " and is not shown: only channel 0 is mapped");
      continue;
    }
    if (d.address.target > 255 || d.address.lun > 255) {
      notes.push_back(where + " has a target ID or LUN above 255 and is not shown");
      continue;
    }
    if (d.address.target > 7) {
      notes.push_back(where + " has target ID " + std::to_string(d.address.target) +
                      ": the bus scan probes target IDs 0-7 only");
    }
    adapter.devices.push_back(d);
  }
  std::sort(adapter.devices.begin(), adapter.devices.end(),
            [](const SgDevice& a, const SgDevice& b) {
              return std::pair(a.address.target, a.address.lun) <
                     std::pair(b.address.target, b.address.lun);
            });
  return adapter;
}

}  // namespace

// The map in its steps: the sg nodes, the hosts, the (at most eight) hosts that
// become adapters, and each adapter's devices; notes in that order.
Topology ReadTopology(SgSystem& system) {
  Topology topo;
  const std::vector<NumberedNode> nodes = ReadNodes(system, topo.notes);
  const DevicesByHost by_host = GroupByHost(nodes);
  const HostChoice choice = ChooseHosts(ListHosts(system, nodes), by_host);
  if (!choice.left_out.empty()) topo.notes.push_back(LeftOutNote(system, choice, by_host));
  for (size_t i = 0; i < choice.chosen.size(); ++i) {
    const uint32_t h = choice.chosen[i];
    topo.adapters.push_back(MapAdapter(system, i, h, DevicesOn(by_host, h), topo.notes));
  }
  return topo;
}

}  // namespace qx::sg
