// How the SCSI devices Windows shows appear as ASPI host adapters and targets.
// Three sources, read in this order, each device kept once:
//   \\.\ScsiN:             IOCTL_SCSI_GET_INQUIRY_DATA lists every bus of the
//                          port and every logical unit on it (PathId, TargetId,
//                          Lun, inquiry data, claimed by a class driver or not)
//   \\.\CdRomN,            IOCTL_SCSI_GET_ADDRESS (PortNumber, PathId, TargetId,
//   \\.\PhysicalDriveN     Lun), IOCTL_STORAGE_GET_DEVICE_NUMBER and
//                          IOCTL_STORAGE_QUERY_PROPERTY (bus type, product)
//   \\.\X:                 CD/DVD letters and letters without a file system
//                          root that open as a device (under wine these are the
//                          only devices), with the same ioctls
// A device seen twice (a port's logical unit, its CdRom node and its letter)
// shares one SCSI address, or a CD letter shares its CdRom node's device number.
// Commands go to the class node (CdRom, PhysicalDrive), else the letter; a
// logical unit no class driver claimed is reached through its port, with the
// address in the request.
//
// Every (port, bus) pair becomes an adapter, in ascending order, with target IDs
// and LUNs one to one; devices that answer no SCSI address (USB bridges, and
// under wine the letters of /dev/sgN) share one adapter after those, at target
// IDs 0.. in the order found. With more than eight adapters those with devices
// are kept first. The notes name everything left out or shown differently.
// Only devices that answer an ioctl are opened again for a command: under wine a
// process may send SCSI ioctls to at most five device nodes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "transport/spti/spti_system.h"

namespace qx::spti {

inline constexpr size_t kMaxAdapters = 8;
inline constexpr int kMaxNodeNumber = 32;  // ScsiN:, CdRomN, PhysicalDriveN for N below this
inline constexpr uint8_t kDefaultHostId = 7;
inline constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;

struct ScsiAddress {
  uint8_t port = 0;
  uint8_t path = 0;
  uint8_t target = 0;
  uint8_t lun = 0;

  friend bool operator==(const ScsiAddress&, const ScsiAddress&) = default;
};
// "2:0:5:0" (port:bus:target:LUN).
std::string AddressText(const ScsiAddress& a);

struct DeviceNumber {
  DWORD type = 0;  // FILE_DEVICE_CD_ROM, FILE_DEVICE_DISK, ...
  DWORD number = 0;

  friend bool operator==(const DeviceNumber&, const DeviceNumber&) = default;
};

// Vendor and product (INQUIRY bytes 8-31) of a logical unit a port lists.
using Identity = std::array<uint8_t, 24>;

// One logical unit of IOCTL_SCSI_GET_INQUIRY_DATA.
struct PortUnit {
  uint8_t path = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  bool claimed = false;
  uint8_t type = 0;  // peripheral device type
  Identity identity{};
};
struct PortBus {
  uint8_t path = 0;
  uint8_t initiator = kDefaultHostId;
};
struct PortListing {
  std::vector<PortBus> buses;
  std::vector<PortUnit> units;
};
// Parses the SCSI_ADAPTER_BUS_INFO answer of IOCTL_SCSI_GET_INQUIRY_DATA
// (`size` bytes), following each bus's chain of SCSI_INQUIRY_DATA within it.
PortListing ParseInquiryData(const uint8_t* data, size_t size);
// Sends IOCTL_SCSI_GET_INQUIRY_DATA on an open port; 0 or the Windows error.
DWORD ReadPortListing(SptiSystem& system, HANDLE port, PortListing* listing);

enum class NodeKind { kPort, kCdRom, kDisk, kLetter };

struct SptiDevice {
  std::wstring path;  // opened for every command
  std::string node;   // the same as text, "\\.\CdRom0"
  NodeKind kind = NodeKind::kLetter;
  std::optional<ScsiAddress> address;
  std::optional<DeviceNumber> number;
  std::optional<Identity> identity;    // through a port: what the port listed
  std::string bus;                     // "SCSI", "ATAPI", "USB", ... ("" when not known)
  std::string product;                 // what the system calls it, for notes
  std::string also;                    // other nodes of the same device, "F:"
  uint32_t max_transfer = UINT32_MAX;  // bytes per command the adapter takes
  uint32_t alignment_mask = 0;         // of the data buffer
  uint8_t target = 0;                  // where the map puts it
  uint8_t lun = 0;
};

struct Adapter {
  std::optional<std::pair<uint8_t, uint8_t>> bus;  // port, path; none: no SCSI address
  uint8_t scsi_id = kDefaultHostId;
  std::string identifier;           // "port 2 bus 0"
  std::string unique;               // the bus type
  std::vector<SptiDevice> devices;  // ascending target, LUN
};

struct Topology {
  std::vector<Adapter> adapters;   // at most kMaxAdapters
  std::vector<std::string> notes;  // one line per thing not mapped
  bool access_denied = false;      // a device node refused to open

  // The device at (adapter, target, LUN), or nullptr.
  const SptiDevice* Find(uint8_t ha, uint8_t target, uint8_t lun) const;
  // The notes joined by newlines; empty when everything is mapped.
  std::string Warning() const;
};

Topology ReadTopology(SptiSystem& system);

// UTF-8 for the ASCII device paths the backend builds (and any other text).
std::string Narrow(const std::wstring& text);

}  // namespace qx::spti
