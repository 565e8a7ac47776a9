#include "transport/sg/sg_devices.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "text/text.h"
#include "transport/sg/sg_mapping.h"
#include "transport/sg/sg_mounts.h"
#include "transport/sg/sg_scan.h"

namespace qx::sg {

namespace {

using passthrough::Device;
using passthrough::Failure;

constexpr unsigned char kMaxSense = 255;
constexpr unsigned kDriverSenseBit = 0x08;
constexpr size_t kMountsNamed = 5;  // mount points a refusal names

const passthrough::Traits kTraits{
    .name = "SCSI generic", .manager_id = "Linux SG_IO", .adapter = "host", .adapters = "hosts"};

// The SG_IO timeout: the command's in milliseconds, at least 1 and below the
// driver's "never time out" value.
unsigned int SgTimeout(std::chrono::milliseconds timeout) {
  const auto ms = timeout.count();
  if (ms < 1) return 1;
  if (static_cast<unsigned long long>(ms) >= UINT_MAX) return UINT_MAX - 1;
  return static_cast<unsigned int>(ms);
}

// A status byte as the kernel's headers write it ("0x02").
std::string Hex0x(unsigned v) {
  return "0x" + Hex2(static_cast<int>(v));
}

class SgNode final : public passthrough::Node {
 public:
  // `read_only`: opened for reading only (this user may not write the node).
  SgNode(std::shared_ptr<SgSystem> system, Device device, int fd, bool read_only)
      : system_(std::move(system)), device_(std::move(device)), fd_(fd), read_only_(read_only) {}
  ~SgNode() override { system_->Close(fd_); }
  SgNode(const SgNode&) = delete;
  SgNode& operator=(const SgNode&) = delete;

  std::optional<Failure> Verify(uint32_t length) override {
    sg_scsi_id id{};
    if (const int rc = system_->GetScsiId(fd_, &id); rc < 0) {
      return ErrnoFailure(-rc, device_.node, length);
    }
    const passthrough::Address& want = *device_.address;
    const passthrough::Address got{
        static_cast<uint32_t>(id.host_no), static_cast<uint32_t>(id.channel),
        static_cast<uint32_t>(id.scsi_id), static_cast<uint64_t>(id.lun)};
    if (got == want) return std::nullopt;
    return passthrough::Gone(0, device_.node + " is now " + AddressText(got) + ", not " +
                                    AddressText(want) + " as at the last scan; run SCSI Rescan");
  }

  passthrough::TransferResult Transfer(const ExecCommand& command, uint8_t* data) override {
    passthrough::TransferResult r;
    std::array<unsigned char, 16> cdb = command.cdb;
    sg_io_hdr io{};
    io.interface_id = 'S';
    io.cmd_len = command.cdb_len;
    io.cmdp = cdb.data();
    io.mx_sb_len = kMaxSense;
    io.sbp = r.sense.data();
    io.timeout = SgTimeout(command.timeout);
    io.dxfer_direction = command.direction == Direction::kIn    ? SG_DXFER_FROM_DEV
                         : command.direction == Direction::kOut ? SG_DXFER_TO_DEV
                                                                : SG_DXFER_NONE;
    if (command.direction != Direction::kNone) {
      io.dxferp = data;
      io.dxfer_len = command.length;
    }
    if (const int rc = system_->SgIo(fd_, &io); rc < 0) {
      r.category = passthrough::Category::kOsError;
      r.os = ErrnoFailure(-rc, device_.node, command.length);
      if (read_only_ && rc == -EPERM) {
        r.os.hint = device_.node +
                    " is open for reading only: the kernel refuses this command on it; run as "
                    "root or give your user read/write access to " +
                    device_.node;
      }
      return r;
    }
    r.scsi_status = io.status;
    r.sense_len = std::min<size_t>(io.sb_len_wr, kMaxSense);
    const Completion c = MapCompletion(io.status, io.host_status, io.driver_status,
                                       static_cast<uint8_t>(r.sense_len));
    r.category = c.category;
    r.host_status = c.host_status;
    r.residual = static_cast<uint32_t>(std::clamp<long long>(io.resid, 0, io.dxfer_len));
    if (io.host_status != 0 || (io.driver_status & ~kDriverSenseBit) != 0) {
      r.detail = "SG_IO on " + device_.node + " (" + AddressText(*device_.address) + "): status " +
                 Hex0x(io.status) + ", host " + MapHostStatus(io.host_status).name + " (" +
                 Hex0x(io.host_status) + "), driver " + Hex0x(io.driver_status) + ", resid " +
                 std::to_string(io.resid);
    }
    return r;
  }

  std::optional<std::string> Hold() override {
    const std::vector<BlockDevice> blocks = BlockDevicesOf(*system_, device_.name);
    const std::vector<std::string> points = MountPointsOf(*system_, blocks);
    if (points.empty()) return std::nullopt;
    // The first few, and a count of the rest: a list of thousands says no more.
    return "/dev/" + blocks.front().name + " is mounted at " + FirstAndCount(points, kMountsNamed);
  }

 private:
  const std::shared_ptr<SgSystem> system_;
  const Device device_;
  const int fd_;
  const bool read_only_;
};

class SgDevices final : public passthrough::Devices {
 public:
  explicit SgDevices(std::shared_ptr<SgSystem> system)
      : Devices(kTraits), system_(std::move(system)) {}

  passthrough::Scan Enumerate() override { return ReadScan(*system_); }

  std::vector<std::string> MountPoints(const Device& device) override {
    return MountPointsOf(*system_, BlockDevicesOf(*system_, device.name));
  }

  Opened Open(const Device& device, passthrough::Share share, uint32_t length) override {
    const bool exclusive = share == passthrough::Share::kExclusive;
    // O_EXCL needs write access.
    int fd = system_->Open(device.node, O_RDWR | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0));
    if (fd >= 0) return {std::make_unique<SgNode>(system_, device, fd, false), {}};
    if (!exclusive && (fd == -EACCES || fd == -EPERM)) {
      // Read access alone still passes INQUIRY, so the scan lists the drive
      // (its note says why a download cannot run); other commands fail with
      // EPERM on the node.
      const int read_only = system_->Open(device.node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (read_only >= 0) return {std::make_unique<SgNode>(system_, device, read_only, true), {}};
    }
    Failure failure = ErrnoFailure(-fd, device.node, length);
    if (exclusive && fd == -EBUSY) failure.hint = device.node + " is open in another program";
    return {nullptr, std::move(failure)};
  }

 private:
  const std::shared_ptr<SgSystem> system_;
};

}  // namespace

std::shared_ptr<passthrough::Devices> MakeSgDevices(std::shared_ptr<SgSystem> system) {
  return std::make_shared<SgDevices>(std::move(system));
}

}  // namespace qx::sg
