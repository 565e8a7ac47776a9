#include "transport/sg/sg_scan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qx::sg {

namespace {

using passthrough::Address;
using passthrough::Device;

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

// What the notes say of a node this user may read but not write: opened for
// reading only, it passes INQUIRY and a few other commands, but the kernel
// refuses the vendor commands and WRITE BUFFER on it. "" otherwise (root may
// write any node).
std::string AccessCaution(SgSystem& system, const std::string& node) {
  if (system.Access(node, R_OK) != 0) return "";
  const int write = system.Access(node, W_OK);
  if (write != -EACCES && write != -EPERM && write != -EROFS) return "";
  return "is open for reading only: the kernel passes INQUIRY but refuses the vendor commands "
         "and WRITE BUFFER; run as root or give your user read/write access to " +
         node + " before a download";
}

// Every sg node with its address, in node-number order. A node without an
// address is left out with a note, and a note says when there is none at all.
std::vector<Device> ReadNodes(SgSystem& system, std::vector<std::string>& notes) {
  std::vector<std::pair<uint32_t, Device>> nodes;
  for (const std::string& name : system.ListDir(kSysScsiGeneric)) {
    auto number = NumberAfter(name, "sg");
    if (!number) continue;
    auto link = system.ReadLink(std::string(kSysScsiGeneric) + "/" + name + "/device");
    std::optional<Address> address;
    if (link) {
      const size_t slash = link->find_last_of('/');
      address = ParseHctl(slash == std::string::npos ? *link : link->substr(slash + 1));
    }
    if (!address) {
      notes.push_back(name + " has no SCSI address in sysfs and is not shown");
      continue;
    }
    Device d;
    d.address = address;
    d.node = "/dev/" + name;
    d.name = name;
    d.caution = AccessCaution(system, d.node);
    nodes.emplace_back(*number, std::move(d));
  }
  std::sort(nodes.begin(), nodes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  if (nodes.empty()) {
    notes.push_back("no SCSI generic devices (/dev/sg*) found; load the sg driver: modprobe sg");
  }
  std::vector<Device> devices;
  for (auto& [number, d] : nodes) devices.push_back(std::move(d));
  return devices;
}

// Hosts: those sysfs lists plus any an sg node names.
std::set<uint32_t> ListHosts(SgSystem& system, const std::vector<Device>& devices) {
  std::set<uint32_t> hosts;
  for (const std::string& name : system.ListDir(kSysScsiHost)) {
    if (auto number = NumberAfter(name, "host")) hosts.insert(*number);
  }
  for (const Device& d : devices) hosts.insert(d.address->host);
  return hosts;
}

}  // namespace

std::optional<Address> ParseHctl(std::string_view text) {
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
  return Address{*h, *c, *t, *l};
}

passthrough::Scan ReadScan(SgSystem& system) {
  passthrough::Scan scan;
  scan.devices = ReadNodes(system, scan.notes);
  for (const uint32_t h : ListHosts(system, scan.devices)) {
    passthrough::Bus b;
    b.host = h;
    b.initiator = HostScsiId(system, h);
    b.name = b.unique = HostName(h);
    b.identifier = b.detail = HostProcName(system, h);
    scan.buses.push_back(std::move(b));
  }
  return scan;
}

}  // namespace qx::sg
