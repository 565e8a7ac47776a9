#include "transport/sg/sg_topology.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

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
  std::string text;
  for (const std::string& note : notes) {
    if (!text.empty()) text += '\n';
    // One note per line, whatever a driver name read from sysfs holds.
    for (char c : note) text += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return text;
}

Topology ReadTopology(SgSystem& system) {
  Topology topo;

  // Every sg node with its address, in node-number order.
  std::vector<std::pair<uint32_t, SgDevice>> nodes;
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
      topo.notes.push_back(name + " has no SCSI address in sysfs and is not shown");
      continue;
    }
    nodes.push_back({*number, SgDevice{name, *address}});
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  if (nodes.empty()) {
    topo.notes.push_back(
        "no SCSI generic devices (/dev/sg*) found; load the sg driver: modprobe sg");
  }

  // Hosts: those sysfs lists plus any an sg node names.
  std::set<uint32_t> hosts;
  for (const std::string& name : system.ListDir(kSysScsiHost)) {
    if (auto number = NumberAfter(name, "host")) hosts.insert(*number);
  }
  std::map<uint32_t, std::vector<SgDevice>> by_host;
  for (const auto& [number, dev] : nodes) {
    hosts.insert(dev.address.host);
    by_host[dev.address.host].push_back(dev);
  }
  auto has_channel0 = [&](uint32_t host) {
    auto it = by_host.find(host);
    if (it == by_host.end()) return false;
    return std::any_of(it->second.begin(), it->second.end(),
                       [](const SgDevice& d) { return d.address.channel == 0; });
  };

  // Choose at most eight, hosts with reachable devices first.
  std::vector<uint32_t> chosen;
  std::vector<uint32_t> left_out;
  if (hosts.size() <= kMaxAdapters) {
    chosen.assign(hosts.begin(), hosts.end());
  } else {
    for (uint32_t h : hosts) {
      if (has_channel0(h) && chosen.size() < kMaxAdapters) chosen.push_back(h);
    }
    for (uint32_t h : hosts) {
      if (!has_channel0(h) && chosen.size() < kMaxAdapters) chosen.push_back(h);
    }
    std::sort(chosen.begin(), chosen.end());
    for (uint32_t h : hosts) {
      if (std::find(chosen.begin(), chosen.end(), h) == chosen.end()) left_out.push_back(h);
    }
  }

  if (!left_out.empty()) {
    std::string note = "More than eight SCSI hosts: adapters 0-7 show ";
    for (size_t i = 0; i < chosen.size(); ++i) note += (i ? ", " : "") + HostName(chosen[i]);
    note += "; not shown:";
    for (uint32_t h : left_out) {
      note += " " + HostName(h) + " (" + HostProcName(system, h);
      for (const SgDevice& d : by_host[h]) note += ", " + d.node;
      note += ")";
    }
    topo.notes.push_back(note);
  }

  for (size_t i = 0; i < chosen.size(); ++i) {
    const uint32_t h = chosen[i];
    Adapter adapter;
    adapter.host_no = h;
    adapter.scsi_id = HostScsiId(system, h);
    adapter.proc_name = HostProcName(system, h);
    for (const SgDevice& d : by_host[h]) {
      const std::string where = d.node + " (" + HctlText(d.address) + ") on adapter " +
                                std::to_string(i) + " (" + HostName(h) + ")";
      if (d.address.channel != 0) {
        topo.notes.push_back(where + " is on channel " + std::to_string(d.address.channel) +
                             " and is not shown: only channel 0 is mapped");
        continue;
      }
      if (d.address.target > 255 || d.address.lun > 255) {
        topo.notes.push_back(where + " has a target ID or LUN above 255 and is not shown");
        continue;
      }
      if (d.address.target > 7) {
        topo.notes.push_back(where + " has target ID " + std::to_string(d.address.target) +
                             ": the bus scan probes target IDs 0-7 only");
      }
      adapter.devices.push_back(d);
    }
    std::sort(adapter.devices.begin(), adapter.devices.end(),
              [](const SgDevice& a, const SgDevice& b) {
                return std::pair(a.address.target, a.address.lun) <
                       std::pair(b.address.target, b.address.lun);
              });
    topo.adapters.push_back(std::move(adapter));
  }
  return topo;
}

}  // namespace qx::sg
