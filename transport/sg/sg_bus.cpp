#include "transport/sg/sg_bus.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <span>

#include "aspi/transport_state.h"
#include "text/text.h"
#include "transport/sg/sg_mounts.h"

namespace qx::sg {

namespace {

constexpr size_t kMinCdbLength = 6;  // the sg driver refuses shorter commands
constexpr unsigned char kMaxSense = 255;
constexpr unsigned kDriverSenseBit = 0x08;

// NUL-terminated text in a 16-byte field (at most 15 characters kept).
void PutText(uint8_t (&field)[16], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

// The SG_IO timeout: the request's (qx::ExecTimeout when it was submitted) in
// milliseconds, at least 1 and below the driver's "never time out" value.
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

std::string Address(uint8_t ha, uint8_t target, uint8_t lun) {
  return "adapter " + std::to_string(ha) + " target " + std::to_string(target) + " LUN " +
         std::to_string(lun);
}

std::string NodePath(const SgDevice& d) {
  return "/dev/" + d.node;
}

std::string NoHostText(uint8_t ha) {
  return "no SCSI host behind adapter " + std::to_string(ha);
}

// An OS error on the node: a vanished device reads like an absent target.
ExecOutcome FromErrno(int err, const std::string& node, uint32_t length) {
  if (IsVanishedErrno(err)) return AbsentOutcome(err, HintForErrno(err, node, length));
  return EndedOutcome(SrbStatusForErrno(err), err, HintForErrno(err, node, length));
}

// One SG_IO of `command` on `fd`, the node of `device`, through `transfer`.
ExecOutcome Transfer(SgSystem& system, const SgDevice& device, int fd, const ExecCommand& command,
                     uint8_t* transfer) {
  const std::string node = NodePath(device);
  std::array<unsigned char, 16> cdb = command.cdb;
  std::array<unsigned char, kMaxSense> sense{};

  sg_io_hdr io{};
  io.interface_id = 'S';
  io.cmd_len = command.cdb_len;
  io.cmdp = cdb.data();
  io.mx_sb_len = kMaxSense;
  io.sbp = sense.data();
  io.timeout = SgTimeout(command.timeout);
  switch (command.direction) {
    case Direction::kNone:
      io.dxfer_direction = SG_DXFER_NONE;
      break;
    case Direction::kIn:
      io.dxfer_direction = SG_DXFER_FROM_DEV;
      break;
    case Direction::kOut:
      io.dxfer_direction = SG_DXFER_TO_DEV;
      break;
  }
  if (command.direction != Direction::kNone) {
    io.dxferp = transfer;
    io.dxfer_len = command.length;
  }

  if (const int rc = system.SgIo(fd, &io); rc < 0) return FromErrno(-rc, node, command.length);

  ExecOutcome o;
  const uint8_t sense_len = std::min<uint8_t>(io.sb_len_wr, kMaxSense);
  const Completion c = MapCompletion(io.status, io.host_status, io.driver_status, sense_len);
  o.status = c.srb_status;
  o.ha_stat = c.ha_stat;
  o.targ_stat = c.targ_stat;
  if (c.copy_sense) {
    o.sense_bytes = ToFixedSense(std::span<const uint8_t>(sense.data(), sense_len), o.sense);
  }
  if (command.direction == Direction::kIn) {
    const long long resid = std::clamp<long long>(io.resid, 0, io.dxfer_len);
    o.returned = static_cast<uint32_t>(io.dxfer_len - resid);
  }

  // A device's own answer (status byte, sense) speaks for itself; the low-level
  // summary only helps when the host or the driver failed the command.
  if (c.srb_status != SS_COMP &&
      (io.host_status != 0 || (io.driver_status & ~kDriverSenseBit) != 0)) {
    o.hint = "SG_IO on " + node + " (" + HctlText(device.address) + "): status " +
             Hex0x(io.status) + ", host " + MapHostStatus(io.host_status).name + " (" +
             Hex0x(io.host_status) + "), driver " + Hex0x(io.driver_status) + ", resid " +
             std::to_string(io.resid);
  }
  // A write that the device ended early is not a sent block, whatever its status.
  if (c.srb_status == SS_COMP && command.direction == Direction::kOut && io.resid != 0) {
    o.status = SS_ERR;
    o.ha_stat = HASTAT_DO_DU;
    o.hint = std::to_string(io.resid) + " of " + std::to_string(command.length) + " bytes for " +
             node + " were not transferred";
  }
  return o;
}

}  // namespace

class SgBus::Command final : public ExecTicket {
 public:
  // `fd` is the node of `device`, opened for this request alone (`held` empty)
  // or the reservation's (`held` keeps it open).
  Command(SgBus& bus, SgDevice device, int fd, std::shared_ptr<HeldNode> held)
      : bus_(bus), device_(std::move(device)), fd_(fd), held_(std::move(held)) {}
  ~Command() override {
    if (!held_) {
      bus_.system_->Close(fd_);
      return;
    }
    // A released reservation's node closes here once the last request lets
    // go; under the lock that HeldFor takes, so a Reserve or request that no
    // longer finds the node finds it closed too (its open would fail against
    // a node still open).
    std::lock_guard lock(bus_.mutex_);
    held_.reset();
  }
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  int fd() const { return fd_; }

  ExecOutcome Perform(const ExecCommand& command, uint8_t* transfer) override {
    return Transfer(*bus_.system_, device_, fd_, command, transfer);
  }

 private:
  SgBus& bus_;
  const SgDevice device_;
  const int fd_;
  std::shared_ptr<HeldNode> held_;
};

SgBus::SgBus(std::shared_ptr<SgSystem> system)
    : system_(std::move(system)),
      queue_(ExecQueue::Options{.min_cdb_length = kMinCdbLength, .worker_name = "SCSI generic"}) {
  Rescan();
}

SgBus::~SgBus() {
  Release();
  queue_.Stop();  // a command in the kernel is waited for
}

std::shared_ptr<SgBus> MakeSgBus() {
  return std::make_shared<SgBus>(std::make_shared<LinuxSgSystem>());
}

void SgBus::Rescan() {
  Topology fresh = ReadTopology(*system_);
  std::lock_guard lock(mutex_);
  topology_ = std::move(fresh);
}

std::string SgBus::Warning() const {
  std::lock_guard lock(mutex_);
  return topology_.Warning();
}

AspiManager::Location SgBus::DeviceLocation(uint8_t ha, uint8_t target, uint8_t lun) const {
  std::lock_guard lock(mutex_);
  const SgDevice* d = topology_.Find(ha, target, lun);
  if (d == nullptr) return {};
  return {HctlText(d->address), "/dev/" + d->node};
}

Topology SgBus::CurrentTopology() const {
  std::lock_guard lock(mutex_);
  return topology_;
}

int SgBus::LastErrno() const {
  return static_cast<int>(queue_.LastError());
}

std::string SgBus::LastHint() const {
  return queue_.LastHint();
}

uint32_t SgBus::GetASPI32SupportInfo() {
  std::lock_guard lock(mutex_);
  return 0x0100u | static_cast<uint32_t>(topology_.adapters.size());
}

void SgBus::Cancel(void* srb) {
  queue_.Cancel(srb);
}

int32_t SgBus::BCSendASPI32Command(void* srb, uint8_t* buffer) {
  return queue_.Dispatch(
      srb, buffer, [this](SRB_HAInquiry* inquiry) { return HostAdapterInquiry(inquiry); },
      [this](uint8_t ha) { return NoHost(ha); }, [this](const ExecCommand& c) { return Admit(c); });
}

std::optional<std::string> SgBus::NoHost(uint8_t ha) const {
  std::lock_guard lock(mutex_);
  if (ha < topology_.adapters.size()) return std::nullopt;
  return NoHostText(ha);
}

int32_t SgBus::HostAdapterInquiry(SRB_HAInquiry* srb) {
  // The bus scan asks adapters 0..7 in order: adapter 0 starts a new scan.
  if (srb->SRB_HaId == 0) Rescan();
  std::optional<std::string> refused;
  {
    // The check and the fields from one map.
    std::lock_guard lock(mutex_);
    if (srb->SRB_HaId >= topology_.adapters.size()) {
      refused = NoHostText(srb->SRB_HaId);
    } else {
      const Adapter& a = topology_.adapters[srb->SRB_HaId];
      srb->HA_Count = static_cast<uint8_t>(topology_.adapters.size());
      srb->HA_SCSI_ID = a.scsi_id;
      PutText(srb->HA_ManagerId, kManagerId);
      PutText(srb->HA_Identifier, a.proc_name);
      PutText(srb->HA_Unique, "host" + std::to_string(a.host_no));
    }
  }
  if (refused) return queue_.Refuse(srb, SS_INVALID_HA, std::move(*refused));
  queue_.ClearHint();
  StoreSrbStatus(srb, SS_COMP);
  return SS_COMP;
}

Admission SgBus::Admit(const ExecCommand& c) {
  const std::optional<SgDevice> device = DeviceAt(c.ha, c.target, c.lun);
  if (!device) {
    return Admission::Complete(AbsentOutcome(0, "no device at " + Address(c.ha, c.target, c.lun)));
  }

  // Opening and checking the node take no time; done here, their failures
  // come back as the submission's own result, as from any refusal. Only the
  // command itself runs on the worker.
  std::unique_ptr<Command> command;
  // A reserved device is open already, exclusively: an open of its own would
  // fail with EBUSY.
  if (std::shared_ptr<HeldNode> held = HeldFor(*device)) {
    const int fd = held->fd;
    command = std::make_unique<Command>(*this, *device, fd, std::move(held));
  } else {
    const std::string node = NodePath(*device);
    const int fd = system_->Open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Admission::Complete(FromErrno(-fd, node, c.length));
    command = std::make_unique<Command>(*this, *device, fd, nullptr);
  }
  if (std::optional<ExecOutcome> failed = Verify(*device, command->fd(), c.length)) {
    command.reset();  // the node is closed (or let go of) before the block shows the end
    return Admission::Complete(std::move(*failed));
  }
  return Admission::Queue(std::move(command));
}

std::optional<ExecOutcome> SgBus::Verify(const SgDevice& device, int fd, uint32_t length) {
  // The node must still be the device the map names: sg numbers are reused
  // when devices come and go, and a firmware block must never reach another one.
  const std::string node = NodePath(device);
  sg_scsi_id id{};
  if (const int rc = system_->GetScsiId(fd, &id); rc < 0) return FromErrno(-rc, node, length);
  const Hctl& want = device.address;
  const Hctl got{static_cast<uint32_t>(id.host_no), static_cast<uint32_t>(id.channel),
                 static_cast<uint32_t>(id.scsi_id), static_cast<uint32_t>(id.lun)};
  if (got != want) {
    return AbsentOutcome(0, node + " is now " + HctlText(got) + ", not " + HctlText(want) +
                                " as at the last scan; run SCSI Rescan");
  }
  return std::nullopt;
}

// ---- Mount points and reservation ------------------------------------------

std::optional<SgDevice> SgBus::DeviceAt(uint8_t ha, uint8_t target, uint8_t lun) const {
  std::lock_guard lock(mutex_);
  const SgDevice* d = topology_.Find(ha, target, lun);
  if (d == nullptr) return std::nullopt;
  return *d;
}

std::vector<std::string> SgBus::MountPoints(uint8_t ha, uint8_t target, uint8_t lun) {
  const std::optional<SgDevice> device = DeviceAt(ha, target, lun);
  if (!device) return {};
  return MountPointsOf(*system_, BlockDevicesOf(*system_, device->node));
}

namespace {

bool SameDevice(const SgDevice& a, const SgDevice& b) {
  return a.node == b.node && a.address == b.address;
}

}  // namespace

std::shared_ptr<SgBus::HeldNode> SgBus::HeldFor(const SgDevice& device) const {
  std::lock_guard lock(mutex_);
  if (claim_ && SameDevice(claim_->node->device, device)) return claim_->node;
  std::shared_ptr<HeldNode> released = released_.lock();
  if (released && SameDevice(released->device, device)) return released;
  return nullptr;
}

std::optional<std::string> SgBus::Reserve(uint8_t ha, uint8_t target, uint8_t lun) {
  std::lock_guard reserving(reserve_mutex_);
  const std::optional<SgDevice> device = DeviceAt(ha, target, lun);
  if (!device) return "no device at " + Address(ha, target, lun);
  {
    std::lock_guard lock(mutex_);
    if (claim_ && SameDevice(claim_->node->device, *device)) return std::nullopt;  // ours already
  }
  DropClaim();  // one device at a time

  Claim claim;
  if (auto refused = HoldNode(*device, &claim.node)) return refused;
  // On a refusal here the node goes again with `claim`.
  if (auto refused = RefuseMounted(*device)) return refused;
  std::lock_guard lock(mutex_);
  claim_ = std::move(claim);
  return std::nullopt;
}

std::optional<std::string> SgBus::HoldNode(const SgDevice& device,
                                           std::shared_ptr<HeldNode>* held) {
  // A released node that a command in the kernel still keeps open is still
  // exclusively ours: an open would fail against it.
  if ((*held = HeldFor(device))) return std::nullopt;
  const std::string node = NodePath(device);
  // O_EXCL needs write access; O_NONBLOCK makes a node open elsewhere fail at
  // once with EBUSY instead of waiting for it to be closed.
  const int fd = system_->Open(node, O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC);
  if (fd == -EBUSY) return node + " is open in another program";
  if (fd < 0) return HintForErrno(-fd, node, 0);
  *held = std::make_shared<HeldNode>(system_, device, fd);
  if (const std::optional<ExecOutcome> failed = Verify(device, fd, 0)) {
    held->reset();
    return failed->hint;
  }
  return std::nullopt;
}

std::optional<std::string> SgBus::RefuseMounted(const SgDevice& device) {
  // The block device (sd or sr) is not opened: opening and closing a CD/DVD
  // drive's sr node makes the kernel send media commands of its own, and the
  // close would reach a drive that is saving its new firmware. The mount
  // table is read instead.
  const std::vector<BlockDevice> blocks = BlockDevicesOf(*system_, device.node);
  const std::vector<std::string> points = MountPointsOf(*system_, blocks);
  if (points.empty()) return std::nullopt;
  std::string text = "/dev/" + blocks.front().name + " is mounted at " + points.front();
  for (size_t i = 1; i < points.size(); ++i) text += ", " + points[i];
  return text;
}

void SgBus::Release() {
  std::lock_guard reserving(reserve_mutex_);
  DropClaim();
}

void SgBus::DropClaim() {
  std::optional<Claim> claim;
  {
    std::lock_guard lock(mutex_);
    if (!claim_) return;
    claim.swap(claim_);
    released_ = claim->node;
  }
  // claim->node goes with `claim`: closed now, or by the worker once the
  // command that still holds it is out of the kernel.
}

}  // namespace qx::sg
