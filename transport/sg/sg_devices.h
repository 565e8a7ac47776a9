// The Linux side of the pass-through bus: the SCSI generic devices from sysfs
// (sg_scan.h), each command one SG_IO ioctl on the device's /dev/sgN node.
//
// A node is opened O_RDWR | O_NONBLOCK (the kernel refuses WRITE BUFFER and
// vendor commands on a read-only open; a node open elsewhere exclusively fails
// at once with EBUSY instead of waiting), exclusively with O_EXCL as well:
// meanwhile every other open of the node fails with EBUSY (or waits, without
// O_NONBLOCK). A node this user may only read is opened O_RDONLY for shared
// use, so that INQUIRY still finds the drive (the scan's note says what it
// cannot do); the commands the kernel refuses there fail with EPERM. It is verified with
// SG_GET_SCSI_ID: sg numbers are reused when devices come and go, and a firmware block must never
// reach another device. SG_IO runs on the bus's worker, whose stop signals are blocked, so it is
// never interrupted and a command never reaches the drive twice; its timeout
// is the command's in milliseconds, at least 1 and below the driver's "never
// time out".
//
// Holding a node refuses a device with a file system mounted from its block
// device (/dev/srN, /dev/sdX or a partition), found in the mount table
// (sg_mounts.h). The block device itself is never opened: that makes the sr or
// sd driver check the medium with commands of its own, and its last close sends
// ALLOW MEDIUM REMOVAL, which would reach a drive busy saving its new firmware.
#pragma once

#include <memory>

#include "transport/passthrough/device.h"
#include "transport/sg/sg_system.h"

namespace qx::sg {

std::shared_ptr<passthrough::Devices> MakeSgDevices(std::shared_ptr<SgSystem> system);

}  // namespace qx::sg
