// The SCSI devices Windows shows, found for the pass-through bus. Three sources, read in this
// order, each device kept once:
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
// Every (port, bus) pair is a bus of the map (transport/passthrough/topology.h),
// in ascending order, its identifier "port P bus B", the bus type its
// HA_Unique; the devices with an address come in address order, those that
// answer none (USB bridges, and under wine the letters of /dev/sgN) after them
// in the order found. The notes name everything left out.
// Only devices that answer an ioctl are opened again for a command: under wine a
// process may send SCSI ioctls to at most five device nodes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/passthrough/device.h"
#include "transport/spti/spti_system.h"

namespace qx::spti {

inline constexpr int kMaxNodeNumber = 32;  // ScsiN:, CdRomN, PhysicalDriveN for N below this
inline constexpr uint8_t kDefaultHostId = 7;
inline constexpr DWORD kDeviceAccess = GENERIC_READ | GENERIC_WRITE;

// A SCSI address as IOCTL_SCSI_GET_ADDRESS gives it: PortNumber, PathId,
// TargetId, Lun as the address's host, bus, target and LUN.
using passthrough::Address;

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

// What the Windows side keeps of a device to reach it again
// (passthrough::Device::detail).
struct Reach {
  std::wstring path;  // opened for every command
  NodeKind kind = NodeKind::kLetter;
  std::optional<DeviceNumber> number;
  std::optional<Identity> identity;  // through a port: what the port listed
  uint32_t alignment_mask = 0;       // of the data buffer
};

passthrough::Scan ReadScan(SptiSystem& system);

// UTF-8 for the ASCII device paths the backend builds (and any other text).
std::string Narrow(const std::wstring& text);

}  // namespace qx::spti
