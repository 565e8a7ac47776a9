#include "transport/sg/sg_bus.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <span>
#include <system_error>

#include "platform/os.h"
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

// The SG_IO timeout: qx::ExecTimeout in milliseconds, at least 1 and below the
// driver's "never time out" value.
unsigned int SgTimeout() {
  const auto ms = ExecTimeout.count();
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

}  // namespace

SgBus::SgBus(std::shared_ptr<SgSystem> system)
    : system_(std::move(system)), transfer_(std::make_unique<std::array<uint8_t, kDataBufSize>>()) {
  Rescan();
}

SgBus::~SgBus() {
  Release();
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    // Requests that never reached the kernel end here; nothing waits for them
    // any more once the backend goes, but their blocks show an end.
    for (Request& r : queue_) {
      CloseOwn(r);
      StoreSrbStatus(r.srb, SS_ABORTED);
    }
    queue_.clear();
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();  // a command in the kernel is waited for
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
  std::lock_guard lock(mutex_);
  return last_errno_;
}

std::string SgBus::LastHint() const {
  std::lock_guard lock(mutex_);
  return last_hint_;
}

uint32_t SgBus::GetASPI32SupportInfo() {
  std::lock_guard lock(mutex_);
  return 0x0100u | static_cast<uint32_t>(topology_.adapters.size());
}

void SgBus::Cancel(void* srb) {
  std::lock_guard lock(mutex_);
  std::erase_if(queue_, [this, srb](Request& r) {
    if (r.srb != srb) return false;
    CloseOwn(r);
    return true;
  });
  if (running_ && running_->srb == srb) running_->cancelled = true;
}

int32_t SgBus::BCSendASPI32Command(void* srb, uint8_t* buffer) {
  if (srb == nullptr) return SS_BC_INVALID_CALL;
  switch (static_cast<SRB_Header*>(srb)->SRB_Cmd) {
    case SC_HA_INQUIRY:
      return HostAdapterInquiry(static_cast<SRB_HAInquiry*>(srb));
    case SC_EXEC_SCSI_CMD:
      return Submit(static_cast<SRB_ExecSCSICmd*>(srb), buffer);
    default: {
      std::lock_guard lock(mutex_);
      return Refuse(srb, SS_INVALID_CMD,
                    "request code " + Hex0x(static_cast<SRB_Header*>(srb)->SRB_Cmd) +
                        " is not supported (only host adapter inquiry and execute)");
    }
  }
}

int32_t SgBus::HostAdapterInquiry(SRB_HAInquiry* srb) {
  // The bus scan asks adapters 0..7 in order: adapter 0 starts a new scan.
  if (srb->SRB_HaId == 0) Rescan();
  std::lock_guard lock(mutex_);
  if (srb->SRB_HaId >= topology_.adapters.size()) {
    return Refuse(srb, SS_INVALID_HA, NoHostText(srb->SRB_HaId));
  }
  last_errno_ = 0;
  const Adapter& a = topology_.adapters[srb->SRB_HaId];
  srb->HA_Count = static_cast<uint8_t>(topology_.adapters.size());
  srb->HA_SCSI_ID = a.scsi_id;
  PutText(srb->HA_ManagerId, kManagerId);
  PutText(srb->HA_Identifier, a.proc_name);
  PutText(srb->HA_Unique, "host" + std::to_string(a.host_no));
  last_hint_.clear();
  StoreSrbStatus(srb, SS_COMP);
  return SS_COMP;
}

int32_t SgBus::Refuse(void* srb, uint8_t status, std::string hint) {
  last_errno_ = 0;
  last_hint_ = std::move(hint);
  StoreSrbStatus(srb, status);
  return int32_t{status};
}

namespace {

// A request the backend ends without a device's answer.
template <typename O>
O Ended(uint8_t status, int err, std::string hint) {
  O o;
  o.status = status;
  o.err = err;
  o.hint = std::move(hint);
  return o;
}

// Nothing answered at the address (or the device went away): what an absent
// target looks like on a parallel bus.
template <typename O>
O Absent(int err, std::string hint) {
  O o = Ended<O>(SS_ERR, err, std::move(hint));
  o.ha_stat = HASTAT_SEL_TO;
  return o;
}

// An OS error on the node: a vanished device reads like an absent target.
template <typename O>
O FromErrno(int err, const std::string& node, uint32_t length) {
  if (IsVanishedErrno(err)) return Absent<O>(err, HintForErrno(err, node, length));
  return Ended<O>(SrbStatusForErrno(err), err, HintForErrno(err, node, length));
}

}  // namespace

int32_t SgBus::Submit(SRB_ExecSCSICmd* srb, uint8_t* buffer) {
  Request r;
  r.srb = srb;
  r.buffer = buffer;
  r.cdb_len = srb->SRB_CDBLen;
  r.length = srb->SRB_BufLen;
  r.sense_len = srb->SRB_SenseLen;
  r.timeout_ms = SgTimeout();
  const uint8_t ha = srb->SRB_HaId;
  const uint8_t target = srb->SRB_Target;
  const uint8_t lun = srb->SRB_Lun;

  std::optional<SgDevice> device;
  if (const std::optional<int32_t> refused = LookUp(srb, &device)) return *refused;
  if (const std::optional<int32_t> refused = CheckLengths(r)) return *refused;
  std::memcpy(r.cdb.data(), srb->CDBByte, r.cdb_len);
  r.direction = DataDirection(std::span<const uint8_t>(r.cdb.data(), r.cdb_len), r.length);
  srb->SRB_HaStat = 0;
  srb->SRB_TargStat = 0;

  if (!device) {
    return CompleteNow(srb, buffer, r.direction,
                       Absent<Outcome>(0, "no device at " + Address(ha, target, lun)));
  }
  r.device = *device;

  // Opening and checking the node take no time; done here, their failures
  // come back as the submission's own result, as from any refusal. Only the
  // command itself runs on the worker.
  if (const std::optional<Outcome> failed = OpenVerified(r)) {
    return CompleteNow(srb, buffer, r.direction, *failed);
  }
  return Queue(std::move(r));
}

std::optional<int32_t> SgBus::LookUp(SRB_ExecSCSICmd* srb, std::optional<SgDevice>* device) {
  std::lock_guard lock(mutex_);
  const uint8_t ha = srb->SRB_HaId;
  if (ha >= topology_.adapters.size()) return Refuse(srb, SS_INVALID_HA, NoHostText(ha));
  if (const SgDevice* d = topology_.Find(ha, srb->SRB_Target, srb->SRB_Lun)) *device = *d;
  return std::nullopt;
}

std::optional<int32_t> SgBus::CheckLengths(const Request& r) {
  if (r.cdb_len < kMinCdbLength || r.cdb_len > r.cdb.size()) {
    std::lock_guard lock(mutex_);
    return Refuse(r.srb, SS_INVALID_SRB,
                  "CDB length " + std::to_string(r.cdb_len) + " is outside 6-16");
  }
  if (r.length > static_cast<uint32_t>(kDataBufSize)) {
    std::lock_guard lock(mutex_);
    return Refuse(r.srb, SS_BUFFER_TOO_BIG,
                  "transfer length " + std::to_string(r.length) + " is larger than the " +
                      std::to_string(kDataBufSize) + "-byte data buffer");
  }
  if (r.length > 0 && r.buffer == nullptr) {
    std::lock_guard lock(mutex_);
    return Refuse(r.srb, SS_INVALID_SRB, "transfer without a data buffer");
  }
  return std::nullopt;
}

std::optional<SgBus::Outcome> SgBus::OpenVerified(Request& r) {
  std::optional<Outcome> failed = Open(r);
  if (!failed) failed = Verify(r, r.fd);
  if (failed) CloseOwn(r);
  return failed;
}

int32_t SgBus::Queue(Request r) {
  std::lock_guard lock(mutex_);
  if (!StartWorker()) {
    CloseOwn(r);
    return Refuse(r.srb, SS_ASPI_IS_BUSY, "no thread could be started for SCSI generic requests");
  }
  queue_.push_back(std::move(r));
  wake_.notify_one();
  return SS_PENDING;
}

int32_t SgBus::CompleteNow(SRB_ExecSCSICmd* srb, uint8_t* buffer, Direction direction,
                           const Outcome& outcome) {
  Request r;
  r.srb = srb;
  r.buffer = buffer;
  r.length = srb->SRB_BufLen;
  r.sense_len = srb->SRB_SenseLen;
  r.direction = direction;
  std::lock_guard lock(mutex_);
  Complete(r, outcome);
  return outcome.status;
}

bool SgBus::StartWorker() {
  if (worker_.joinable()) return true;
  // No stop signal interrupts the worker's SG_IO: they go to the other threads.
  try {
    worker_ = os::StartThreadWithoutStops([this] { Run(); });
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void SgBus::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    running_ = std::move(queue_.front());
    queue_.pop_front();
    const Request& r = *running_;
    // Still not cancelled (Cancel removes queued requests), so the caller's
    // buffer holds the data to send.
    if (r.direction == Direction::kOut) std::memcpy(transfer_->data(), r.buffer, r.length);
    lock.unlock();

    const Outcome o = Transfer(r, r.fd);
    if (!r.held) system_->Close(r.fd);

    lock.lock();
    // Out of the kernel: a released reservation's node may close now, before
    // the caller sees the completion.
    running_->held.reset();
    if (!running_->cancelled) Complete(*running_, o);
    running_.reset();
  }
}

std::optional<SgBus::Outcome> SgBus::Open(Request& r) {
  // A reserved device is open already, exclusively: an open of its own would
  // fail with EBUSY.
  if ((r.held = HeldFor(r.device))) {
    r.fd = r.held->fd;
    return std::nullopt;
  }
  const std::string node = NodePath(r.device);
  r.fd = system_->Open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (r.fd < 0) return FromErrno<Outcome>(-r.fd, node, r.length);
  return std::nullopt;
}

std::optional<SgBus::Outcome> SgBus::Verify(const Request& r, int fd) {
  // The node must still be the device the map names: sg numbers are reused
  // when devices come and go, and a firmware block must never reach another one.
  const std::string node = NodePath(r.device);
  sg_scsi_id id{};
  if (const int rc = system_->GetScsiId(fd, &id); rc < 0) {
    return FromErrno<Outcome>(-rc, node, r.length);
  }
  const Hctl& want = r.device.address;
  const Hctl got{static_cast<uint32_t>(id.host_no), static_cast<uint32_t>(id.channel),
                 static_cast<uint32_t>(id.scsi_id), static_cast<uint32_t>(id.lun)};
  if (got != want) {
    return Absent<Outcome>(0, node + " is now " + HctlText(got) + ", not " + HctlText(want) +
                                  " as at the last scan; run SCSI Rescan");
  }
  return std::nullopt;
}

SgBus::Outcome SgBus::Transfer(const Request& r, int fd) {
  const std::string node = NodePath(r.device);
  std::array<unsigned char, 16> cdb = r.cdb;
  std::array<unsigned char, kMaxSense> sense{};

  sg_io_hdr io{};
  io.interface_id = 'S';
  io.cmd_len = r.cdb_len;
  io.cmdp = cdb.data();
  io.mx_sb_len = kMaxSense;
  io.sbp = sense.data();
  io.timeout = r.timeout_ms;
  switch (r.direction) {
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
  if (r.direction != Direction::kNone) {
    io.dxferp = transfer_->data();
    io.dxfer_len = r.length;
  }

  if (const int rc = system_->SgIo(fd, &io); rc < 0) return FromErrno<Outcome>(-rc, node, r.length);

  Outcome o;
  const uint8_t sense_len = std::min<uint8_t>(io.sb_len_wr, kMaxSense);
  const Completion c = MapCompletion(io.status, io.host_status, io.driver_status, sense_len);
  o.status = c.srb_status;
  o.ha_stat = c.ha_stat;
  o.targ_stat = c.targ_stat;
  if (c.copy_sense) {
    o.sense_bytes = ToFixedSense(std::span<const uint8_t>(sense.data(), sense_len), o.sense);
  }
  if (r.direction == Direction::kIn) {
    const long long resid = std::clamp<long long>(io.resid, 0, io.dxfer_len);
    o.returned = static_cast<uint32_t>(io.dxfer_len - resid);
  }

  // A device's own answer (status byte, sense) speaks for itself; the low-level
  // summary only helps when the host or the driver failed the command.
  if (c.srb_status != SS_COMP &&
      (io.host_status != 0 || (io.driver_status & ~kDriverSenseBit) != 0)) {
    o.hint = "SG_IO on " + node + " (" + HctlText(r.device.address) + "): status " +
             Hex0x(io.status) + ", host " + MapHostStatus(io.host_status).name + " (" +
             Hex0x(io.host_status) + "), driver " + Hex0x(io.driver_status) + ", resid " +
             std::to_string(io.resid);
  }
  // A write that the device ended early is not a sent block, whatever its status.
  if (c.srb_status == SS_COMP && r.direction == Direction::kOut && io.resid != 0) {
    o.status = SS_ERR;
    o.ha_stat = HASTAT_DO_DU;
    o.hint = std::to_string(io.resid) + " of " + std::to_string(r.length) + " bytes for " + node +
             " were not transferred";
  }
  return o;
}

void SgBus::Complete(const Request& r, const Outcome& o) {
  SRB_ExecSCSICmd* srb = r.srb;
  srb->SRB_HaStat = o.ha_stat;
  srb->SRB_TargStat = o.targ_stat;
  if (o.sense_bytes > 0) {
    const size_t room = std::min<size_t>(r.sense_len, sizeof srb->SenseArea);
    std::memset(srb->SenseArea, 0, room);
    std::memcpy(srb->SenseArea, o.sense.data(), std::min(room, o.sense_bytes));
  }
  // Bytes the device did not return never read as its data.
  if (r.direction == Direction::kIn && r.buffer != nullptr) {
    const uint32_t n = std::min(o.returned, r.length);
    if (n > 0) std::memcpy(r.buffer, transfer_->data(), n);
    std::memset(r.buffer + n, 0, r.length - n);
  }
  last_errno_ = o.err;
  last_hint_ = o.hint;
  StoreSrbStatus(srb, o.status);
}

void SgBus::CloseOwn(Request& r) {
  if (r.held) {
    r.held.reset();
  } else if (r.fd >= 0) {
    system_->Close(r.fd);
  }
  r.fd = -1;
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
  Request check;
  check.device = device;
  if (const std::optional<Outcome> failed = Verify(check, fd)) {
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
