// Test doubles for the SG_IO device layer: a sysfs tree in a temporary directory
// and a system whose device nodes and ioctls answer from tables.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/sg/sg_scan.h"
#include "transport/sg/sg_system.h"

namespace qx::sg::testing {

// /sys/class/scsi_host and /sys/class/scsi_generic under a fresh directory.
class SysfsTree {
 public:
  SysfsTree() {
    std::string dir = (std::filesystem::temp_directory_path() / "qx-sg-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = dir;
  }
  ~SysfsTree() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;
  const std::string& root() const { return root_; }

  void AddHost(int n, const std::string& proc_name, const std::string& this_id = "-1\n") {
    const std::string dir = root_ + kSysScsiHost + "/host" + std::to_string(n);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/proc_name") << proc_name;
    std::ofstream(dir + "/this_id") << this_id;
  }
  // sgN whose device link ends in `hctl`, laid out as the kernel does.
  void AddSg(int n, const std::string& hctl) {
    const std::string dir = root_ + kSysScsiGeneric + "/sg" + std::to_string(n);
    std::filesystem::create_directories(dir);
    std::filesystem::create_directory_symlink("../../../devices/pci0000:00/host0/" + hctl,
                                              dir + "/device");
  }
  void RemoveSg(int n) {
    std::filesystem::remove_all(root_ + kSysScsiGeneric + "/sg" + std::to_string(n));
  }
  // The block device of the unit at `hctl` (as the kernel lays it out under
  // the device an sg link points to), with device number `dev` ("11:0").
  void AddBlock(const std::string& hctl, const std::string& name, const std::string& dev) {
    const std::string dir = DeviceDir(hctl) + "/block/" + name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/dev") << dev << "\n";
  }
  void AddPartition(const std::string& hctl, const std::string& disk, const std::string& name,
                    const std::string& dev) {
    const std::string dir = DeviceDir(hctl) + "/block/" + disk + "/" + name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/dev") << dev << "\n";
    std::ofstream(dir + "/partition") << name.back() << "\n";
  }
  void SetMountInfo(const std::string& text) {
    std::filesystem::create_directories(root_ + "/proc/self");
    std::ofstream(root_ + "/proc/self/mountinfo") << text;
  }

 private:
  std::string DeviceDir(const std::string& hctl) const {
    return root_ + "/sys/devices/pci0000:00/host0/" + hctl;
  }
  std::string root_;
};

struct IoAnswer {
  int err = 0;  // nonzero: SG_IO fails with this errno
  uint8_t status = 0;
  uint16_t host = 0;
  uint16_t driver = 0;
  std::vector<uint8_t> sense;
  std::vector<uint8_t> data;  // data-in
  int resid = 0;
};

struct FakeNode {
  sg_scsi_id id{};
  int open_err = 0;
  int scsi_id_err = 0;
  // This user may read the node but not write it: a read/write open fails
  // with EACCES, and on a read-only open SG_IO refuses all but INQUIRY,
  // TEST UNIT READY and REQUEST SENSE with EPERM, as the kernel does.
  bool read_only = false;
  IoAnswer answer;
};

struct SeenIo {
  int fd = -1;
  int direction = 0;
  unsigned dxfer_len = 0;
  void* dxferp = nullptr;
  std::vector<uint8_t> cdb;
  unsigned timeout = 0;
  unsigned mx_sb_len = 0;
  std::vector<uint8_t> data_out;
};

// Real sysfs reads (rooted in the tree), scripted device nodes and ioctls, on
// one thread.
// Opens follow the kernel's O_EXCL rule for sg and block devices: an O_EXCL
// open fails with EBUSY while the node is open, and any open fails with EBUSY
// while it is open with O_EXCL.
class FakeSystem : public LinuxSgSystem {
 public:
  explicit FakeSystem(const std::string& root) : LinuxSgSystem(root) {}

  FakeNode& Node(const std::string& path, int host, int channel, int target, int lun = 0) {
    FakeNode& n = nodes[path];
    n.id.host_no = host;
    n.id.channel = channel;
    n.id.scsi_id = target;
    n.id.lun = lun;
    return n;
  }
  int Access(const std::string& path, int mode) override {
    auto it = nodes.find(path);
    if (it == nodes.end()) return -ENOENT;
    return (mode & W_OK) && it->second.read_only ? -EACCES : 0;
  }
  int Open(const std::string& path, int flags) override {
    opens.push_back(path);
    flags_seen.push_back(flags);
    open_flags = flags;
    auto it = nodes.find(path);
    if (it == nodes.end()) return -ENOENT;
    if (it->second.open_err != 0) return -it->second.open_err;
    const bool read_only = (flags & O_ACCMODE) == O_RDONLY;
    if (it->second.read_only && !read_only) return -EACCES;
    const bool open_here = std::any_of(open_fds.begin(), open_fds.end(),
                                       [&](const auto& fd) { return fd.second == path; });
    if (exclusive.count(path) || ((flags & O_EXCL) && open_here)) return -EBUSY;
    if (flags & O_EXCL) exclusive[path] = next_fd;
    open_fds[next_fd] = path;
    if (read_only) read_only_fds.insert(next_fd);
    return next_fd++;
  }
  int Close(int fd) override {
    auto it = open_fds.find(fd);
    if (it == open_fds.end()) return -EBADF;
    if (auto ex = exclusive.find(it->second); ex != exclusive.end() && ex->second == fd) {
      exclusive.erase(ex);
    }
    open_fds.erase(it);
    read_only_fds.erase(fd);
    return 0;
  }
  bool IsOpen(const std::string& path) {
    return std::any_of(open_fds.begin(), open_fds.end(),
                       [&](const auto& fd) { return fd.second == path; });
  }
  int GetScsiId(int fd, sg_scsi_id* id) override {
    scsi_id_fds.push_back(fd);
    if (!open_fds.count(fd)) return -EBADF;
    const FakeNode& n = nodes[open_fds[fd]];
    if (n.scsi_id_err != 0) return -n.scsi_id_err;
    *id = n.id;
    return 0;
  }
  int SgIo(int fd, sg_io_hdr* io) override {
    if (!open_fds.count(fd)) return -EBADF;
    const IoAnswer& a = nodes[open_fds[fd]].answer;
    SeenIo s{fd,
             io->dxfer_direction,
             io->dxfer_len,
             io->dxferp,
             std::vector<uint8_t>(io->cmdp, io->cmdp + io->cmd_len),
             io->timeout,
             io->mx_sb_len,
             {}};
    if (io->dxfer_direction == SG_DXFER_TO_DEV) {
      const auto* p = static_cast<const uint8_t*>(io->dxferp);
      s.data_out.assign(p, p + io->dxfer_len);
    }
    seen.push_back(s);
    const uint8_t op = io->cmdp[0];
    if (read_only_fds.count(fd) && op != 0x00 && op != 0x03 && op != 0x12) return -EPERM;
    if (a.err != 0) return -a.err;
    if (io->dxfer_direction == SG_DXFER_FROM_DEV && !a.data.empty()) {
      std::memcpy(io->dxferp, a.data.data(), std::min<size_t>(a.data.size(), io->dxfer_len));
    }
    io->status = a.status;
    io->host_status = a.host;
    io->driver_status = a.driver;
    io->resid = a.resid;
    io->sb_len_wr = static_cast<unsigned char>(std::min<size_t>(a.sense.size(), io->mx_sb_len));
    if (io->sb_len_wr != 0) std::memcpy(io->sbp, a.sense.data(), io->sb_len_wr);
    return 0;
  }

  std::map<std::string, FakeNode> nodes;  // by device path ("/dev/sg3")
  std::map<int, std::string> open_fds;
  std::set<int> read_only_fds;
  std::map<std::string, int> exclusive;  // path -> the fd that holds it with O_EXCL
  std::vector<std::string> opens;
  std::vector<int> flags_seen;   // of each open, as in `opens`
  std::vector<int> scsi_id_fds;  // the fd of each SG_GET_SCSI_ID
  std::vector<SeenIo> seen;
  int open_flags = 0;
  int next_fd = 10;
};

}  // namespace qx::sg::testing
