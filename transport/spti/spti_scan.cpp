#include "transport/spti/spti_scan.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "transport/spti/spti_mapping.h"

namespace qx::spti {

namespace {

constexpr size_t kInquiryBufferSize = 64 * 1024;

// A device as the scan learns about it.
struct SptiDevice {
  std::wstring path;  // opened for every command
  std::string node;   // the same as text, "\\.\CdRom0"
  NodeKind kind = NodeKind::kLetter;
  std::optional<Address> address;
  std::optional<DeviceNumber> number;
  std::optional<Identity> identity;    // through a port: what the port listed
  std::string bus;                     // "SCSI", "ATAPI", "USB", ... ("" when not known)
  std::string product;                 // what the system calls it, for notes
  std::string also;                    // other nodes of the same device, "F:"
  uint32_t max_transfer = UINT32_MAX;  // bytes per command the adapter takes
  uint32_t alignment_mask = 0;         // of the data buffer
};

std::string Quote(const uint8_t* bytes, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += bytes[i] >= 0x20 && bytes[i] < 0x7F ? char(bytes[i]) : ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(s.begin());
  return s;
}

std::wstring Widen(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

std::string BusName(uint32_t port, uint32_t path) {
  return "port " + std::to_string(port) + " bus " + std::to_string(path);
}

// What the scan learns about one opened node.
struct Probe {
  std::optional<Address> address;
  DWORD address_error = 0;
  std::optional<DeviceNumber> number;
  std::optional<int> bus_type;
  std::string product;
  std::optional<std::pair<uint32_t, uint32_t>> limits;  // max transfer, alignment mask
  bool answered = false;                                // at least one ioctl succeeded
  DWORD refused = 0;                                    // the error of the last ioctl that failed
};

template <typename T>
bool Query(SptiSystem& system, HANDLE h, DWORD code, T* out, Probe& p) {
  DWORD got = 0;
  const DWORD err = system.Ioctl(h, code, nullptr, 0, out, sizeof *out, &got);
  if (err != 0) {
    p.refused = err;
    return false;
  }
  p.answered = true;
  return true;
}

std::optional<Address> GetAddress(SptiSystem& system, HANDLE h, Probe& p) {
  SCSI_ADDRESS a{};
  a.Length = sizeof a;
  if (!Query(system, h, IOCTL_SCSI_GET_ADDRESS, &a, p)) {
    p.address_error = p.refused;
    return std::nullopt;
  }
  return Address{a.PortNumber, a.PathId, a.TargetId, a.Lun};
}

std::optional<DeviceNumber> GetNumber(SptiSystem& system, HANDLE h, Probe& p) {
  STORAGE_DEVICE_NUMBER n{};
  if (!Query(system, h, IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, p)) return std::nullopt;
  return DeviceNumber{n.DeviceType, n.DeviceNumber};
}

// A string of a STORAGE_DEVICE_DESCRIPTOR at `offset` (0: none).
std::string DescriptorText(const uint8_t* d, size_t size, DWORD offset) {
  if (offset == 0 || offset >= size) return {};
  const uint8_t* s = d + offset;
  const size_t n = strnlen(reinterpret_cast<const char*>(s), size - offset);
  return Quote(s, n);
}

// A STORAGE_PROPERTY_QUERY (standard query) of `id` into `buffer`: the bytes
// returned, or nothing when the device refused it (the error in `p`).
std::optional<DWORD> QueryProperty(SptiSystem& system, HANDLE h, STORAGE_PROPERTY_ID id,
                                   uint8_t* buffer, DWORD size, Probe& p) {
  STORAGE_PROPERTY_QUERY q{};
  q.PropertyId = id;
  q.QueryType = PropertyStandardQuery;
  DWORD got = 0;
  const DWORD err = system.Ioctl(h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, buffer, size, &got);
  if (err != 0) {
    p.refused = err;
    return std::nullopt;
  }
  return got;
}

// Bus type and product of a device (StorageDeviceProperty).
void GetDescriptor(SptiSystem& system, HANDLE h, Probe& p) {
  alignas(8) uint8_t buffer[1024]{};
  const std::optional<DWORD> answer =
      QueryProperty(system, h, StorageDeviceProperty, buffer, sizeof buffer, p);
  if (!answer) return;
  const DWORD got = *answer;
  if (got < offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength)) return;
  p.answered = true;
  const auto* d = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
  const size_t size = std::min<size_t>(got, sizeof buffer);
  p.bus_type = d->BusType;
  const std::string vendor = DescriptorText(buffer, size, d->VendorIdOffset);
  const std::string product = DescriptorText(buffer, size, d->ProductIdOffset);
  p.product = vendor.empty() ? product : product.empty() ? vendor : vendor + " " + product;
}

// The adapter's transfer limits (IOCTL_SCSI_GET_CAPABILITIES); drivers that do
// not forward it describe their adapter (StorageAdapterProperty), which also
// names the bus type when nothing else did.
void GetLimits(SptiSystem& system, HANDLE h, Probe& p) {
  IO_SCSI_CAPABILITIES caps{};
  caps.Length = sizeof caps;
  if (Query(system, h, IOCTL_SCSI_GET_CAPABILITIES, &caps, p)) {
    p.limits = {TransferLimit(caps.MaximumTransferLength, caps.MaximumPhysicalPages),
                caps.AlignmentMask};
  }
  if (p.limits && p.bus_type) return;
  alignas(8) uint8_t buffer[256]{};
  const std::optional<DWORD> answer =
      QueryProperty(system, h, StorageAdapterProperty, buffer, sizeof buffer, p);
  if (!answer) return;
  const DWORD got = *answer;
  if (got < offsetof(STORAGE_ADAPTER_DESCRIPTOR, AdapterUsesPio)) return;
  p.answered = true;
  const auto* a = reinterpret_cast<const STORAGE_ADAPTER_DESCRIPTOR*>(buffer);
  if (!p.limits) {
    p.limits = {TransferLimit(a->MaximumTransferLength, a->MaximumPhysicalPages), a->AlignmentMask};
  }
  if (!p.bus_type && got >= offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusMajorVersion)) {
    p.bus_type = a->BusType;
  }
}

// A device the scan found, before it is placed on an adapter.
struct Found {
  SptiDevice device;
  bool claimed_without_node = false;  // a claimed unit no class node of the scan matched
  std::string port_name;              // "\\.\Scsi1:" for a port's unit
  uint8_t unit_type = 0;
};

void Apply(const Probe& p, SptiDevice& d) {
  d.address = p.address;
  d.number = p.number;
  if (p.bus_type) d.bus = BusTypeName(*p.bus_type);
  d.product = p.product;
  if (p.limits) {
    d.max_transfer = p.limits->first;
    d.alignment_mask = p.limits->second;
  }
}

class Scan {
 public:
  explicit Scan(SptiSystem& system) : system_(system) {}

  passthrough::Scan Run() {
    ReadPorts();
    ReadClassNodes(L"\\\\.\\CdRom", NodeKind::kCdRom);
    ReadClassNodes(L"\\\\.\\PhysicalDrive", NodeKind::kDisk);
    ReadLetters();
    return Finish();
  }

 private:
  // Opens a node; FILE_NOT_FOUND and PATH_NOT_FOUND mean there is none.
  std::optional<HANDLE> OpenNode(const std::wstring& path) {
    const Opened o = system_.Open(path, kDeviceAccess, kSharedOpen);
    if (o.ok()) return o.handle;
    if (o.error == ERROR_FILE_NOT_FOUND || o.error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    if (o.error == ERROR_ACCESS_DENIED) {
      denied_.push_back(Narrow(path));
    } else {
      notes_.push_back(Narrow(path) +
                       " could not be opened: " + HintForError(o.error, Narrow(path), 0));
    }
    return std::nullopt;
  }

  void ReadPorts() {
    for (int n = 0; n < kMaxNodeNumber; ++n) {
      const std::string name = "\\\\.\\Scsi" + std::to_string(n) + ":";
      const std::wstring path = Widen(name);
      const auto h = OpenNode(path);
      if (!h) continue;
      PortListing listing;
      const DWORD err = ReadPortListing(system_, *h, &listing);
      Probe caps;
      if (err == 0) GetLimits(system_, *h, caps);
      system_.Close(*h);
      const std::string node = Narrow(path);
      if (err != 0) {
        notes_.push_back(node + " does not list its devices (" + MapError(err).name +
                         "); they are looked for through their device nodes");
        continue;
      }
      const auto port = static_cast<uint8_t>(n);
      for (const PortBus& b : listing.buses) {
        buses_[{port, b.path}].initiator = b.initiator;
        if (caps.bus_type) buses_[{port, b.path}].bus = BusTypeName(*caps.bus_type);
      }
      for (const PortUnit& u : listing.units) {
        Found f;
        SptiDevice& d = f.device;
        d.address = Address{port, u.path, u.target, u.lun};
        d.identity = u.identity;
        d.product = Quote(u.identity.data(), u.identity.size());
        if (caps.bus_type) d.bus = BusTypeName(*caps.bus_type);
        if (caps.limits) {
          d.max_transfer = caps.limits->first;
          d.alignment_mask = caps.limits->second;
        }
        f.port_name = node;
        f.unit_type = u.type;
        if (u.claimed) {
          f.claimed_without_node = true;  // until a class node answers at its address
        } else {
          d.kind = NodeKind::kPort;
          d.path = path;
          d.node = node;
        }
        buses_[{port, u.path}];
        found_.push_back(std::move(f));
      }
    }
  }

  Found* ByAddress(const Address& a) {
    for (Found& f : found_) {
      if (f.device.address == a) return &f;
    }
    return nullptr;
  }

  // The node takes over a port's unit at the same address, or is a device of its own.
  void Add(const std::wstring& path, NodeKind kind, const Probe& p) {
    const std::string node = Narrow(path);
    if (p.address) {
      if (Found* f = ByAddress(*p.address)) {
        SptiDevice& d = f->device;
        if (d.path.empty() || d.kind == NodeKind::kPort) {
          d.path = path;
          d.node = node;
          d.kind = kind;
          d.identity.reset();  // verified by its address from now on
          d.number = p.number;
          if (p.limits) {
            d.max_transfer = p.limits->first;
            d.alignment_mask = p.limits->second;
          }
          if (p.bus_type) d.bus = BusTypeName(*p.bus_type);
          if (!p.product.empty()) d.product = p.product;
          f->claimed_without_node = false;
        } else {
          d.also += (d.also.empty() ? "" : " ") + ShortName(node);
        }
        return;
      }
    }
    Found f;
    f.device.path = path;
    f.device.node = node;
    f.device.kind = kind;
    Apply(p, f.device);
    found_.push_back(std::move(f));
  }

  static std::string ShortName(const std::string& node) {
    return node.rfind("\\\\.\\", 0) == 0 ? node.substr(4) : node;
  }

  void ReadClassNodes(const std::wstring& prefix, NodeKind kind) {
    for (int n = 0; n < kMaxNodeNumber; ++n) {
      const std::wstring path = prefix + std::to_wstring(n);
      const auto h = OpenNode(path);
      if (!h) continue;
      Probe p;
      p.address = GetAddress(system_, *h, p);
      p.number = GetNumber(system_, *h, p);
      GetDescriptor(system_, *h, p);
      GetLimits(system_, *h, p);
      system_.Close(*h);
      const std::string node = Narrow(path);
      if (!p.answered) {
        notes_.push_back(node + " takes no storage requests (" + MapError(p.refused).name +
                         ") and is not shown");
        continue;
      }
      if (!p.address && p.product.empty()) {
        notes_.push_back(node + " answers no SCSI address and names no product: not shown");
        continue;
      }
      Add(path, kind, p);
    }
  }

  void ReadLetters() {
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
      const UINT type = system_.DriveType(letter);
      // CD/DVD drives, and letters without a file system root that are devices
      // (wine's letters for /dev/srN and /dev/sgN). Disks are PhysicalDriveN.
      if (type != DRIVE_CDROM && type != DRIVE_NO_ROOT_DIR) continue;
      const std::wstring path = std::wstring(L"\\\\.\\") + letter + L":";
      const auto h = OpenNode(path);
      if (!h) continue;
      const std::string node = Narrow(path);
      Probe p;
      p.address = GetAddress(system_, *h, p);
      if (p.address && ByAddress(*p.address) && !ByAddress(*p.address)->device.path.empty()) {
        system_.Close(*h);
        Add(path, NodeKind::kLetter, p);
        continue;
      }
      p.number = GetNumber(system_, *h, p);
      // A CD letter and its CdRom node share a device number (wine gives every
      // letter the same one, and no CdRom nodes).
      if (!p.address && p.number && p.number->type == FILE_DEVICE_CD_ROM) {
        auto same = std::find_if(found_.begin(), found_.end(), [&](const Found& f) {
          return f.device.kind == NodeKind::kCdRom && f.device.number == p.number;
        });
        if (same != found_.end()) {
          system_.Close(*h);
          same->device.also += (same->device.also.empty() ? "" : " ") + ShortName(node);
          continue;
        }
      }
      GetDescriptor(system_, *h, p);
      GetLimits(system_, *h, p);
      system_.Close(*h);
      if (!p.answered) {
        notes_.push_back(node + " takes no storage requests (" + MapError(p.refused).name +
                         ") and is not shown");
        continue;
      }
      Add(path, NodeKind::kLetter, p);
    }
  }

  struct BusInfo {
    uint8_t initiator = kDefaultHostId;
    std::string bus;
  };

  static passthrough::Device ToDevice(SptiDevice& d) {
    passthrough::Device out;
    out.address = d.address;
    out.node = out.name = d.node;
    out.also = std::move(d.also);
    out.product = std::move(d.product);
    out.max_transfer = d.max_transfer;
    out.detail = Reach{std::move(d.path), d.kind, d.number, d.identity, d.alignment_mask};
    return out;
  }

  // The devices with an address in address order, then the others in the
  // order found; every bus with its initiator ID and bus type.
  passthrough::Scan Finish() {
    passthrough::Scan scan;
    std::vector<passthrough::Device> unaddressed;
    for (Found& f : found_) {
      SptiDevice& d = f.device;
      if (f.claimed_without_node) {
        notes_.push_back(f.port_name + " bus " + std::to_string(d.address->bus) + " target " +
                         std::to_string(d.address->target) + " LUN " +
                         std::to_string(d.address->lun) + " (type " + std::to_string(f.unit_type) +
                         ", " + d.product +
                         ") belongs to a driver whose device node the scan does not open "
                         "and is not shown");
        continue;
      }
      if (!d.address) {
        unaddressed.push_back(ToDevice(d));
        continue;
      }
      BusInfo& info = buses_[{d.address->host, d.address->bus}];
      if (info.bus.empty()) info.bus = d.bus;
      scan.devices.push_back(ToDevice(d));
    }
    std::stable_sort(scan.devices.begin(), scan.devices.end(),
                     [](const passthrough::Device& a, const passthrough::Device& b) {
                       const passthrough::Address &x = *a.address, &y = *b.address;
                       return std::tie(x.host, x.bus, x.target, x.lun) <
                              std::tie(y.host, y.bus, y.target, y.lun);
                     });
    const bool nothing = buses_.empty() && unaddressed.empty();
    for (passthrough::Device& d : unaddressed) scan.devices.push_back(std::move(d));

    for (const auto& [key, info] : buses_) {
      passthrough::Bus b;
      b.host = key.first;
      b.bus = key.second;
      b.initiator = info.initiator <= 15 ? info.initiator : kDefaultHostId;
      b.name = b.identifier = BusName(key.first, key.second);
      b.unique = b.detail = info.bus.empty() ? "unknown bus" : info.bus;
      scan.buses.push_back(std::move(b));
    }
    scan.notes = std::move(notes_);

    if (!denied_.empty()) {
      scan.no_adapter_advice = "; run qxflash as administrator to see every device";
      scan.access_denied = true;
      std::string note;
      for (const std::string& n : denied_) note += (note.empty() ? "" : ", ") + n;
      scan.final_notes.push_back(note + (denied_.size() == 1 ? " refuses" : " refuse") +
                                 " access: run qxflash as administrator");
    } else if (nothing) {
      scan.final_notes.push_back(
          "no SCSI devices found (tried \\\\.\\ScsiN:, \\\\.\\CdRomN, \\\\.\\PhysicalDriveN and "
          "the CD drive letters)");
    }
    return scan;
  }

  SptiSystem& system_;
  std::vector<std::string> notes_;
  std::vector<Found> found_;
  std::vector<std::string> denied_;
  std::map<std::pair<uint32_t, uint32_t>, BusInfo> buses_;
};

}  // namespace

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  }
  return out;
}

PortListing ParseInquiryData(const uint8_t* data, size_t size) {
  PortListing listing;
  if (size < offsetof(SCSI_ADAPTER_BUS_INFO, BusData)) return listing;
  const uint8_t buses = data[0];
  for (uint8_t b = 0; b < buses; ++b) {
    const size_t at = offsetof(SCSI_ADAPTER_BUS_INFO, BusData) + b * sizeof(SCSI_BUS_DATA);
    if (at + sizeof(SCSI_BUS_DATA) > size) break;
    SCSI_BUS_DATA bus;
    std::memcpy(&bus, data + at, sizeof bus);
    listing.buses.push_back({b, bus.InitiatorBusId});
    // Each unit names the next by its offset from the start of the answer;
    // a chain that leaves the answer or loops ends where it does.
    ULONG offset = bus.InquiryDataOffset;
    std::set<ULONG> seen;
    for (unsigned n = 0; offset != 0 && n < bus.NumberOfLogicalUnits; ++n) {
      if (!seen.insert(offset).second) break;
      if (offset + offsetof(SCSI_INQUIRY_DATA, InquiryData) > size) break;
      SCSI_INQUIRY_DATA unit;
      std::memcpy(&unit, data + offset, offsetof(SCSI_INQUIRY_DATA, InquiryData));
      const size_t start = offset + offsetof(SCSI_INQUIRY_DATA, InquiryData);
      if (unit.InquiryDataLength > size - start) break;
      const uint8_t* inquiry = data + start;
      const size_t length = unit.InquiryDataLength;
      PortUnit u;
      u.path = unit.PathId;
      u.target = unit.TargetId;
      u.lun = unit.Lun;
      u.claimed = unit.DeviceClaimed != 0;
      if (length > 0) u.type = inquiry[0] & 0x1F;
      for (size_t i = 0; i < u.identity.size(); ++i) {
        u.identity[i] = 8 + i < length ? inquiry[8 + i] : 0;
      }
      // Peripheral qualifier 3: nothing is attached at that LUN.
      if (length == 0 || (inquiry[0] >> 5) != 3) listing.units.push_back(u);
      offset = unit.NextInquiryDataOffset;
    }
  }
  return listing;
}

DWORD ReadPortListing(SptiSystem& system, HANDLE port, PortListing* listing) {
  std::vector<uint8_t> buffer(kInquiryBufferSize);
  DWORD got = 0;
  const DWORD err = system.Ioctl(port, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, buffer.data(),
                                 static_cast<DWORD>(buffer.size()), &got);
  if (err != 0) return err;
  *listing = ParseInquiryData(buffer.data(), std::min<size_t>(got, buffer.size()));
  return 0;
}

passthrough::Scan ReadScan(SptiSystem& system) {
  return Scan(system).Run();
}

}  // namespace qx::spti
