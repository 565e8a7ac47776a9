// The block device behind an sg node and the file systems mounted from it.
// Read from sysfs and the mount table:
//   /sys/class/scsi_generic/sgN/device/block/NAME/dev          "11:0"
//   /sys/class/scsi_generic/sgN/device/block/NAME/PART/dev     "8:1" (a partition:
//                                                  PART has a "partition" file)
//   /proc/self/mountinfo                           field 3 major:minor, field 5
//                                                  the mount point
// Mounts are matched by device number, not by name: the mount table names the
// source as it was given (a symbolic link, a label, a loop of the same name),
// while the number is the device itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "transport/sg/sg_system.h"

namespace qx::sg {

inline constexpr const char* kMountInfo = "/proc/self/mountinfo";

struct BlockDevice {
  std::string name;                  // "sr0"; the device file is /dev/sr0
  std::vector<std::string> numbers;  // "major:minor" of the device and of each partition
};

// The block devices of the logical unit behind `sg_node` ("sg0"): none for a
// unit without one (a scanner, an sg node without sd/sr), normally one.
std::vector<BlockDevice> BlockDevicesOf(SgSystem& system, const std::string& sg_node);

// One line of the mount table: the device number and the mount point, with
// the kernel's octal escapes (\040 blank, \011 tab, \012 newline, \134
// backslash) undone.
struct Mount {
  std::string number;  // "11:0"
  std::string point;   // "/media/my cd"
};
std::vector<Mount> ParseMountInfo(std::string_view text);

// The mount points of every file system mounted from one of `devices`, in the
// order of the mount table.
std::vector<std::string> MountPointsOf(SgSystem& system, const std::vector<BlockDevice>& devices);

}  // namespace qx::sg
