// The Windows side of the pass-through bus: the devices of ports, class nodes
// and drive letters (spti_scan.h), each command one SCSI pass-through on the
// device's node: IOCTL_SCSI_PASS_THROUGH_DIRECT, or the buffered
// IOCTL_SCSI_PASS_THROUGH where a driver refuses the direct form (the command
// never reached a device then; no other failure is ever sent again).
//
// A node is opened GENERIC_READ | GENERIC_WRITE, shared; exclusively with
// dwShareMode 0 and overlapped (spti_system.h), so that another program's open
// fails with ERROR_SHARING_VIOLATION. It is verified by its SCSI address, or
// its device number, or for a unit reached through its port by the port's own
// listing: CdRom numbers and letters move when devices come and go, and a
// firmware block must never reach another device. The pass-through's
// TimeOutValue is the command's in whole seconds; the data buffer meets the
// adapter's AlignmentMask (a stricter device than the bus's buffer gets a
// buffer of its own).
//
// Holding a CD/DVD node (a drive letter, or a CdRom node, whose handle reaches
// the file system mounted from its disc) locks that file system
// (FSCTL_LOCK_VOLUME on the same handle): a lock refused because files on it
// are open refuses the reservation, naming the letter. The volume is never
// dismounted: nobody asked the operator. Closing the node unlocks it first.
// MountPoints is always empty: asking would make Windows mount the disc; the
// lock answers for mounts (see docs/spti-backend.md).
#pragma once

#include <cstddef>
#include <memory>

#include "transport/passthrough/device.h"
#include "transport/spti/spti_system.h"

namespace qx::spti {

// Sense bytes offered to the port driver: wine takes at most 32, and fixed-format
// sense with the drive's own error byte (byte 19) fits.
inline constexpr uint8_t kSenseBytes = 32;
// Alignment of the bus's data buffer: every AlignmentMask a driver reports below
// 64 KiB is met without a copy.
inline constexpr size_t kBufferAlignment = 64 * 1024;

std::shared_ptr<passthrough::Devices> MakeSptiDevices(std::shared_ptr<SptiSystem> system);

}  // namespace qx::spti
