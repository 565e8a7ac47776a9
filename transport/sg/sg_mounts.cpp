#include "transport/sg/sg_mounts.h"

#include <algorithm>

#include "transport/sg/sg_scan.h"

namespace qx::sg {

namespace {

// A sysfs "dev" attribute ("11:0\n") without its line end; empty when absent.
std::string DeviceNumber(SgSystem& system, const std::string& dir) {
  std::string text = system.ReadText(dir + "/dev").value_or("");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool IsOctal(char c) {
  return c >= '0' && c <= '7';
}

// Undoes the kernel's \ooo escapes in a mount table field.
std::string Unescape(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                               (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

std::vector<BlockDevice> BlockDevicesOf(SgSystem& system, const std::string& sg_node) {
  std::vector<BlockDevice> devices;
  const std::string dir = std::string(kSysScsiGeneric) + "/" + sg_node + "/device/block";
  for (const std::string& name : system.ListDir(dir)) {
    BlockDevice d;
    d.name = name;
    const std::string own = dir + "/" + name;
    if (std::string number = DeviceNumber(system, own); !number.empty()) {
      d.numbers.push_back(std::move(number));
    }
    // Partitions are the subdirectories with a "partition" attribute.
    for (const std::string& entry : system.ListDir(own)) {
      const std::string part = own + "/" + entry;
      if (!system.ReadText(part + "/partition")) continue;
      if (std::string number = DeviceNumber(system, part); !number.empty()) {
        d.numbers.push_back(std::move(number));
      }
    }
    devices.push_back(std::move(d));
  }
  return devices;
}

std::vector<Mount> ParseMountInfo(std::string_view text) {
  // "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw":
  // the third field is the device number, the fifth the mount point.
  std::vector<Mount> mounts;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::string_view fields[5];
    size_t n = 0;
    while (n < 5 && !line.empty()) {
      const size_t blank = std::min(line.find(' '), line.size());
      fields[n++] = line.substr(0, blank);
      line.remove_prefix(std::min(blank + 1, line.size()));
    }
    if (n < 5 || fields[2].find(':') == std::string_view::npos) continue;
    mounts.push_back({std::string(fields[2]), Unescape(fields[4])});
  }
  return mounts;
}

std::vector<std::string> MountPointsOf(SgSystem& system, const std::vector<BlockDevice>& devices) {
  std::vector<std::string> points;
  if (devices.empty()) return points;
  const std::optional<std::string> table = system.ReadLongText(kMountInfo);
  if (!table) return points;
  for (const Mount& m : ParseMountInfo(*table)) {
    const bool ours = std::any_of(devices.begin(), devices.end(), [&](const BlockDevice& d) {
      return std::find(d.numbers.begin(), d.numbers.end(), m.number) != d.numbers.end();
    });
    if (ours) points.push_back(m.point);
  }
  return points;
}

}  // namespace qx::sg
