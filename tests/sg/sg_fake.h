// Test doubles for the SG_IO backend: a sysfs tree in a temporary directory and
// a system whose device nodes and ioctls answer from tables.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "transport/sg/sg_system.h"
#include "transport/sg/sg_topology.h"

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

 private:
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
  IoAnswer answer;
};

struct SeenIo {
  int direction = 0;
  unsigned dxfer_len = 0;
  void* dxferp = nullptr;
  std::vector<uint8_t> cdb;
  unsigned timeout = 0;
  unsigned mx_sb_len = 0;
  std::vector<uint8_t> data_out;
  bool stop_signals_blocked = false;  // on the thread that called SG_IO
};

// Real sysfs reads (rooted in the tree), scripted device nodes and ioctls.
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
  int Open(const std::string& path, int flags) override {
    opens.push_back(path);
    open_flags = flags;
    auto it = nodes.find(path);
    if (it == nodes.end()) return -ENOENT;
    if (it->second.open_err != 0) return -it->second.open_err;
    open_fds[next_fd] = path;
    return next_fd++;
  }
  int Close(int fd) override { return open_fds.erase(fd) == 1 ? 0 : -EBADF; }
  int GetScsiId(int fd, sg_scsi_id* id) override {
    if (!open_fds.count(fd)) return -EBADF;
    const FakeNode& n = nodes[open_fds[fd]];
    if (n.scsi_id_err != 0) return -n.scsi_id_err;
    *id = n.id;
    return 0;
  }
  int SgIo(int fd, sg_io_hdr* io) override {
    if (!open_fds.count(fd)) return -EBADF;
    const IoAnswer& a = nodes[open_fds[fd]].answer;
    SeenIo s{io->dxfer_direction,
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
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    s.stop_signals_blocked = true;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
      s.stop_signals_blocked = s.stop_signals_blocked && sigismember(&mask, sig) == 1;
    }
    seen.push_back(s);
    {
      // A held command stays "in the kernel" until Release().
      std::unique_lock lock(gate_mutex_);
      in_kernel_ = true;
      gate_.notify_all();
      gate_.wait(lock, [this] { return !held_; });
      in_kernel_ = false;
    }
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

  // SG_IO calls wait while held; WaitInKernel returns once one is waiting.
  void Hold() {
    std::lock_guard lock(gate_mutex_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(gate_mutex_);
      held_ = false;
    }
    gate_.notify_all();
  }
  void WaitInKernel() {
    std::unique_lock lock(gate_mutex_);
    gate_.wait(lock, [this] { return in_kernel_; });
  }

  std::map<std::string, FakeNode> nodes;  // by device path ("/dev/sg3")
  std::map<int, std::string> open_fds;
  std::vector<std::string> opens;
  std::vector<SeenIo> seen;
  int open_flags = 0;
  int next_fd = 10;

 private:
  std::mutex gate_mutex_;
  std::condition_variable gate_;
  bool held_ = false;
  bool in_kernel_ = false;
};

}  // namespace qx::sg::testing
