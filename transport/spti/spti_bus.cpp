#include "transport/spti/spti_bus.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <span>

#include "aspi/sense_format.h"
#include "text/text.h"
#include "transport/spti/spti_mapping.h"

namespace qx::spti {

namespace {

// NUL-terminated text in a 16-byte field (at most 15 characters kept).
void PutText(uint8_t (&field)[16], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

std::string Address(uint8_t ha, uint8_t target, uint8_t lun) {
  return "adapter " + std::to_string(ha) + " target " + std::to_string(target) + " LUN " +
         std::to_string(lun);
}

// A Windows error on the node: a vanished device reads like an absent target.
ExecOutcome FromError(DWORD error, const std::string& node, uint32_t length) {
  const ErrorRow row = MapError(error);
  std::string hint = HintForError(error, node, length);
  if (row.vanished) return AbsentOutcome(static_cast<long>(error), std::move(hint));
  ExecOutcome o = EndedOutcome(row.srb_status, static_cast<long>(error), std::move(hint));
  if (row.srb_status == SS_ERR) o.ha_stat = row.ha_stat;
  return o;
}

// Memory with a given alignment (a power of two).
struct AlignedBytes {
  AlignedBytes(size_t size, size_t alignment)
      : alignment(alignment),
        data(static_cast<uint8_t*>(::operator new[](size, std::align_val_t(alignment)))) {
    std::memset(data, 0, size);
  }
  ~AlignedBytes() { ::operator delete[](data, std::align_val_t(alignment)); }
  AlignedBytes(const AlignedBytes&) = delete;
  AlignedBytes& operator=(const AlignedBytes&) = delete;
  size_t alignment;
  uint8_t* data;
};

UCHAR DataIn(Direction d) {
  switch (d) {
    case Direction::kIn:
      return SCSI_IOCTL_DATA_IN;
    case Direction::kOut:
      return SCSI_IOCTL_DATA_OUT;
    case Direction::kNone:
      break;
  }
  return SCSI_IOCTL_DATA_UNSPECIFIED;
}

// The fields both pass-through forms share.
template <typename Spt>
void Fill(Spt& spt, const ExecCommand& c, const SptiDevice& device, ULONG sense_offset) {
  spt.Length = sizeof(Spt);
  if (device.address) {
    spt.PathId = device.address->path;
    spt.TargetId = device.address->target;
    spt.Lun = device.address->lun;
  }
  spt.CdbLength = c.cdb_len;
  spt.SenseInfoLength = kSenseBytes;
  spt.DataIn = DataIn(c.direction);
  spt.DataTransferLength = c.direction == Direction::kNone ? 0 : c.length;
  spt.TimeOutValue = TimeoutSeconds(c.timeout);
  spt.SenseInfoOffset = sense_offset;
  std::memcpy(spt.Cdb, c.cdb.data(), c.cdb_len);
}

// What a pass-through that DeviceIoControl completed reports.
struct Answer {
  uint8_t scsi_status = 0;
  uint8_t sense_len = 0;
  uint32_t transferred = 0;
  std::array<uint8_t, kSenseBytes> sense{};
};

template <typename Spt>
void Read(const Spt& spt, const uint8_t* sense, uint32_t length, Answer* a) {
  a->scsi_status = spt.ScsiStatus;
  a->sense_len = std::min<uint8_t>(spt.SenseInfoLength, kSenseBytes);
  std::memcpy(a->sense.data(), sense, a->sense_len);
  a->transferred = std::min<uint32_t>(spt.DataTransferLength, length);
}

}  // namespace

// A device opened unshared by Reserve, its volume locked when it has one:
// shared by the reservation and the requests that use it, unlocked and closed
// when the last of them lets go, which is never while a command on it is in
// the kernel.
class HeldDevice {
 public:
  HeldDevice(std::shared_ptr<SptiSystem> system, SptiDevice device, HANDLE handle)
      : system(std::move(system)), device(std::move(device)), handle(handle) {}
  ~HeldDevice() {
    if (locked) {
      DWORD got = 0;
      system->Ioctl(handle, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &got);
    }
    system->Close(handle);
  }
  HeldDevice(const HeldDevice&) = delete;
  HeldDevice& operator=(const HeldDevice&) = delete;

  const std::shared_ptr<SptiSystem> system;
  const SptiDevice device;
  const HANDLE handle;
  bool locked = false;  // FSCTL_LOCK_VOLUME succeeded on the handle
};

namespace {

// One request on an opened and verified device node. Destroying it closes the
// node, unless the node is a held device's: then it only lets go of it.
class PassThrough final : public ExecTicket {
 public:
  PassThrough(std::shared_ptr<SptiSystem> system, HANDLE handle, SptiDevice device,
              std::shared_ptr<HeldDevice> held)
      : system_(std::move(system)),
        handle_(handle),
        device_(std::move(device)),
        held_(std::move(held)) {}
  ~PassThrough() override {
    if (!held_) system_->Close(handle_);
  }

  ExecOutcome Perform(const ExecCommand& c, uint8_t* transfer) override {
    const uint32_t length = c.direction == Direction::kNone ? 0 : c.length;
    // The queue's buffer meets every usual alignment; a stricter device gets
    // a buffer of its own.
    uint8_t* data = length > 0 ? transfer : nullptr;
    std::optional<AlignedBytes> own;
    const size_t alignment = AlignmentFor(device_.alignment_mask);
    if (data != nullptr && (reinterpret_cast<uintptr_t>(data) & device_.alignment_mask) != 0) {
      own.emplace(length, alignment);
      if (c.direction == Direction::kOut) std::memcpy(own->data, transfer, length);
      data = own->data;
    }

    Answer answer;
    DWORD error = Direct(c, data, length, &answer);
    if (IsRefusedIoctl(error)) error = Buffered(c, data, length, alignment, &answer);
    if (error != 0) return FromError(error, device_.node, c.length);

    ExecOutcome o;
    const Completion done = MapScsiStatus(answer.scsi_status, answer.sense_len);
    o.status = done.srb_status;
    o.ha_stat = done.ha_stat;
    o.targ_stat = done.targ_stat;
    if (done.copy_sense) {
      o.sense_bytes =
          ToFixedSense(std::span<const uint8_t>(answer.sense.data(), answer.sense_len), o.sense);
    }
    if (c.direction == Direction::kIn) {
      o.returned = answer.transferred;
      if (own && o.returned > 0) std::memcpy(transfer, own->data, o.returned);
    }
    // A write that the device ended early is not a sent block, whatever its status.
    if (done.srb_status == SS_COMP && c.direction == Direction::kOut &&
        answer.transferred < length) {
      o.status = SS_ERR;
      o.ha_stat = HASTAT_DO_DU;
      o.hint = std::to_string(length - answer.transferred) + " of " + std::to_string(length) +
               " bytes for " + device_.node + " were not transferred";
    }
    return o;
  }

 private:
  DWORD Direct(const ExecCommand& c, uint8_t* data, uint32_t length, Answer* answer) {
    struct Block {
      SCSI_PASS_THROUGH_DIRECT spt;
      UCHAR sense[kSenseBytes];
    } block{};
    Fill(block.spt, c, device_, offsetof(Block, sense));
    block.spt.DataBuffer = data;
    DWORD got = 0;
    const DWORD error = system_->Ioctl(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                                       sizeof block, &block, sizeof block, &got);
    if (error == 0) Read(block.spt, block.sense, length, answer);
    return error;
  }

  // The data travel inside the request: the system copies them both ways.
  DWORD Buffered(const ExecCommand& c, uint8_t* data, uint32_t length, size_t alignment,
                 Answer* answer) {
    const size_t sense_offset = sizeof(SCSI_PASS_THROUGH);
    const size_t align = std::max<size_t>(alignment, 16);
    const size_t data_offset = (sense_offset + kSenseBytes + align - 1) / align * align;
    const size_t size = data_offset + length;
    AlignedBytes block(size, align);
    auto* spt = reinterpret_cast<SCSI_PASS_THROUGH*>(block.data);
    Fill(*spt, c, device_, static_cast<ULONG>(sense_offset));
    spt->DataBufferOffset = data_offset;
    if (c.direction == Direction::kOut && length > 0) {
      std::memcpy(block.data + data_offset, data, length);
    }
    DWORD got = 0;
    const DWORD error =
        system_->Ioctl(handle_, IOCTL_SCSI_PASS_THROUGH, block.data, static_cast<DWORD>(size),
                       block.data, static_cast<DWORD>(size), &got);
    if (error != 0) return error;
    Read(*spt, block.data + sense_offset, length, answer);
    if (c.direction == Direction::kIn && answer->transferred > 0) {
      std::memcpy(data, block.data + data_offset, answer->transferred);
    }
    return 0;
  }

  std::shared_ptr<SptiSystem> system_;
  HANDLE handle_;
  SptiDevice device_;
  std::shared_ptr<HeldDevice> held_;
};

bool SameDevice(const SptiDevice& a, const SptiDevice& b) {
  return a.path == b.path && a.address == b.address && a.number == b.number;
}

// "F:" for \\.\F:.
std::string ShortName(const std::string& node) {
  return node.rfind("\\\\.\\", 0) == 0 ? node.substr(4) : node;
}

// The node and the other names the scan found for it: "\\.\CdRom0 (D:)".
std::string NodeName(const SptiDevice& d) {
  return d.also.empty() ? d.node : d.node + " (" + d.also + ")";
}

// A CD/DVD node, whose handle reaches the file system mounted from its disc:
// a drive letter, or a CdRom node (the letter names the same device).
bool HasVolume(const SptiDevice& d) {
  return d.kind == NodeKind::kLetter || d.kind == NodeKind::kCdRom;
}

// The drive letters of a CD/DVD node ("F:"), or the node when it has none.
std::string VolumeName(const SptiDevice& d) {
  std::string letters;
  std::string names = d.kind == NodeKind::kLetter ? ShortName(d.node) : std::string();
  if (!d.also.empty()) names += (names.empty() ? "" : " ") + d.also;
  size_t at = 0;
  while (at < names.size()) {
    size_t end = names.find(' ', at);
    if (end == std::string::npos) end = names.size();
    const std::string name = names.substr(at, end - at);
    if (name.size() == 2 && name[1] == ':') letters += (letters.empty() ? "" : ", ") + name;
    at = end + 1;
  }
  return letters.empty() ? d.node : letters;
}

// Errors of FSCTL_LOCK_VOLUME that say no file system is there to lock.
bool NoFileSystem(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

// Errors of FSCTL_LOCK_VOLUME that say other programs have files open on it.
bool VolumeInUse(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION || error == ERROR_BUSY;
}

}  // namespace

SptiBus::SptiBus(std::shared_ptr<SptiSystem> system)
    : system_(std::move(system)),
      queue_(ExecQueue::Options{.min_cdb_length = 6,
                                .buffer_alignment = kBufferAlignment,
                                .worker_name = "SCSI pass-through"}) {
  Rescan();
}

SptiBus::~SptiBus() {
  queue_.Stop();  // a command in the kernel is waited for
  DropClaim();
}

std::shared_ptr<SptiBus> MakeSptiBus() {
  return std::make_shared<SptiBus>(std::make_shared<WindowsSptiSystem>());
}

void SptiBus::Rescan() {
  Topology fresh = ReadTopology(*system_);
  std::lock_guard lock(mutex_);
  topology_ = std::move(fresh);
}

std::string SptiBus::Warning() const {
  std::lock_guard lock(mutex_);
  return topology_.Warning();
}

Topology SptiBus::CurrentTopology() const {
  std::lock_guard lock(mutex_);
  return topology_;
}

AspiManager::Location SptiBus::DeviceLocation(uint8_t ha, uint8_t target, uint8_t lun) const {
  std::lock_guard lock(mutex_);
  const SptiDevice* d = topology_.Find(ha, target, lun);
  if (d == nullptr) return {};
  std::string node = d->node;
  if (!d->also.empty()) node += " (" + d->also + ")";
  return {d->address ? AddressText(*d->address) : std::string(), node};
}

DWORD SptiBus::LastError() const {
  return static_cast<DWORD>(queue_.LastError());
}

std::string SptiBus::LastHint() const {
  return queue_.LastHint();
}

uint32_t SptiBus::GetASPI32SupportInfo() {
  std::lock_guard lock(mutex_);
  return 0x0100u | static_cast<uint32_t>(topology_.adapters.size());
}

void SptiBus::Cancel(void* srb) {
  queue_.Cancel(srb);
}

int32_t SptiBus::BCSendASPI32Command(void* srb, uint8_t* buffer) {
  return queue_.Dispatch(
      srb, buffer, [this](SRB_HAInquiry* inquiry) { return HostAdapterInquiry(inquiry); },
      [this](uint8_t ha) { return NoAdapter(ha); },
      [this](const ExecCommand& c) { return Admit(c); });
}

bool SptiBus::AccessDenied() const {
  std::lock_guard lock(mutex_);
  return topology_.access_denied;
}

std::optional<std::string> SptiBus::NoAdapter(uint8_t ha) const {
  std::lock_guard lock(mutex_);
  if (ha < topology_.adapters.size()) return std::nullopt;
  std::string hint = "no SCSI bus behind adapter " + std::to_string(ha);
  if (topology_.access_denied) hint += "; run qxflash as administrator to see every device";
  return hint;
}

int32_t SptiBus::HostAdapterInquiry(SRB_HAInquiry* srb) {
  // The bus scan asks adapters 0..7 in order: adapter 0 starts a new scan.
  if (srb->SRB_HaId == 0) Rescan();
  if (std::optional<std::string> hint = NoAdapter(srb->SRB_HaId)) {
    return queue_.Refuse(srb, SS_INVALID_HA, *hint);
  }
  {
    std::lock_guard lock(mutex_);
    const Adapter& a = topology_.adapters[srb->SRB_HaId];
    srb->HA_Count = static_cast<uint8_t>(topology_.adapters.size());
    srb->HA_SCSI_ID = a.scsi_id;
    PutText(srb->HA_ManagerId, kManagerId);
    PutText(srb->HA_Identifier, a.identifier);
    PutText(srb->HA_Unique, a.unique);
  }
  queue_.ClearHint();
  StoreSrbStatus(srb, SS_COMP);
  return SS_COMP;
}

Admission SptiBus::Admit(const ExecCommand& c) {
  std::optional<SptiDevice> device;
  {
    std::lock_guard lock(mutex_);
    if (const SptiDevice* d = topology_.Find(c.ha, c.target, c.lun)) device = *d;
  }
  if (!device) {
    return Admission::Complete(AbsentOutcome(0, "no device at " + Address(c.ha, c.target, c.lun)));
  }
  if (c.direction != Direction::kNone && c.length > device->max_transfer) {
    return Admission::Refuse(SS_BUFFER_TOO_BIG,
                             "the adapter of " + device->node + " takes at most " +
                                 std::to_string(device->max_transfer) + " bytes per command, not " +
                                 std::to_string(c.length) + " (IOCTL_SCSI_GET_CAPABILITIES)");
  }

  // Opening and checking the node take no time; done here, their failures
  // come back as the submission's own result. Only the command itself runs on
  // the worker. A reserved device is open already, unshared: an open of its
  // own would fail against it, so the request takes the held handle, checked
  // as every request is.
  std::shared_ptr<HeldDevice> held = HeldFor(*device);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (held) {
    handle = held->handle;
  } else {
    const Opened opened = system_->Open(device->path, kDeviceAccess, kSharedOpen);
    if (!opened.ok()) return Admission::Complete(FromError(opened.error, device->node, c.length));
    handle = opened.handle;
  }
  if (std::optional<ExecOutcome> failed = Verify(*device, handle, c.length)) {
    if (!held) system_->Close(handle);
    return Admission::Complete(std::move(*failed));
  }
  return Admission::Queue(std::make_unique<PassThrough>(system_, handle, *device, std::move(held)));
}

std::optional<ExecOutcome> SptiBus::Verify(const SptiDevice& d, HANDLE h, uint32_t length) {
  // The node must still be the device the map names: CdRom numbers and drive
  // letters move when devices come and go, and a firmware block must never
  // reach another device.
  const std::string rescan = " as at the last scan; run SCSI Rescan";
  if (d.kind == NodeKind::kPort) {
    PortListing listing;
    if (const DWORD err = ReadPortListing(*system_, h, &listing); err != 0) {
      return FromError(err, d.node, length);
    }
    const ScsiAddress& want = *d.address;
    const auto unit =
        std::find_if(listing.units.begin(), listing.units.end(), [&](const PortUnit& u) {
          return u.path == want.path && u.target == want.target && u.lun == want.lun;
        });
    const std::string where = d.node + " bus " + std::to_string(want.path) + " target " +
                              std::to_string(want.target) + " LUN " + std::to_string(want.lun);
    if (unit == listing.units.end()) {
      return AbsentOutcome(0, where + " no longer lists a device" + rescan);
    }
    if (unit->claimed || !d.identity || unit->identity != *d.identity) {
      return AbsentOutcome(0, where + " is now another device (or has a driver of its own), not " +
                                  d.product + rescan);
    }
    return std::nullopt;
  }
  if (d.address) {
    SCSI_ADDRESS a{};
    a.Length = sizeof a;
    DWORD got = 0;
    if (const DWORD err = system_->Ioctl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &got);
        err != 0) {
      return FromError(err, d.node, length);
    }
    const ScsiAddress now{a.PortNumber, a.PathId, a.TargetId, a.Lun};
    if (now != *d.address) {
      return AbsentOutcome(
          0, d.node + " is now " + AddressText(now) + ", not " + AddressText(*d.address) + rescan);
    }
    return std::nullopt;
  }
  if (d.number) {
    STORAGE_DEVICE_NUMBER n{};
    DWORD got = 0;
    if (const DWORD err =
            system_->Ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got);
        err != 0) {
      return FromError(err, d.node, length);
    }
    if (DeviceNumber{n.DeviceType, n.DeviceNumber} != *d.number) {
      return AbsentOutcome(0, d.node + " is now device " + std::to_string(n.DeviceNumber) +
                                  " of type " + std::to_string(n.DeviceType) + ", not device " +
                                  std::to_string(d.number->number) + " of type " +
                                  std::to_string(d.number->type) + rescan);
    }
  }
  return std::nullopt;
}

// ---- Mount points and reservation ------------------------------------------

std::vector<std::string> SptiBus::MountPoints(uint8_t, uint8_t, uint8_t) {
  // Whether a file system is mounted from a CD/DVD letter cannot be asked
  // without an open of the volume (or GetVolumeInformationW), and either makes
  // Windows mount one, reading the disc. Reserve answers the question instead,
  // through the handle it keeps: a mounted file system is locked there, or the
  // reservation is refused.
  return {};
}

std::shared_ptr<HeldDevice> SptiBus::HeldFor(const SptiDevice& device) const {
  std::lock_guard lock(mutex_);
  if (claim_ && SameDevice(claim_->device, device)) return claim_;
  std::shared_ptr<HeldDevice> released = released_.lock();
  if (released && SameDevice(released->device, device)) return released;
  return nullptr;
}

std::optional<std::string> SptiBus::Reserve(uint8_t ha, uint8_t target, uint8_t lun) {
  std::lock_guard reserving(reserve_mutex_);
  std::optional<SptiDevice> device;
  {
    std::lock_guard lock(mutex_);
    if (const SptiDevice* d = topology_.Find(ha, target, lun)) device = *d;
    if (device && claim_ && SameDevice(claim_->device, *device)) return std::nullopt;  // ours
  }
  if (!device) return "no device at " + Address(ha, target, lun);
  DropClaim();  // one device at a time

  std::shared_ptr<HeldDevice> held;
  if (std::optional<std::string> refused = Hold(*device, &held)) return refused;
  std::lock_guard lock(mutex_);
  claim_ = std::move(held);
  return std::nullopt;
}

std::optional<std::string> SptiBus::Hold(const SptiDevice& device,
                                         std::shared_ptr<HeldDevice>* held) {
  // A released handle that a command in the kernel still keeps open is still
  // this program's alone: an open would fail against it.
  if ((*held = HeldFor(device))) return std::nullopt;
  const Opened opened = system_->Open(device.path, kDeviceAccess, kExclusiveOpen);
  if (opened.error == ERROR_SHARING_VIOLATION) {
    return NodeName(device) + " is open in another program (or files on its disc are)";
  }
  if (!opened.ok()) return HintForError(opened.error, device.node, 0);
  // From here on a refusal closes the handle again with `taken`.
  auto taken = std::make_shared<HeldDevice>(system_, device, opened.handle);
  if (std::optional<ExecOutcome> failed = Verify(device, opened.handle, 0)) return failed->hint;
  if (HasVolume(device)) {
    // The file system mounted from the disc is locked, not dismounted: a
    // dismount closes the files of other programs, and nobody asked the
    // operator. Locking reaches the file system only, never the drive.
    DWORD got = 0;
    const DWORD error =
        system_->Ioctl(opened.handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &got);
    if (error == 0) {
      taken->locked = true;
    } else if (VolumeInUse(error)) {
      return VolumeName(device) + " is in use: files on its disc are open in other programs";
    } else if (!NoFileSystem(error)) {
      return VolumeName(device) +
             " could not be locked for the download: " + HintForError(error, device.node, 0);
    }
  }
  *held = std::move(taken);
  return std::nullopt;
}

void SptiBus::Release() {
  std::lock_guard reserving(reserve_mutex_);
  DropClaim();
}

void SptiBus::DropClaim() {
  std::shared_ptr<HeldDevice> claim;
  {
    std::lock_guard lock(mutex_);
    if (!claim_) return;
    claim.swap(claim_);
    released_ = claim;
  }
  // The handle goes with `claim`: unlocked and closed now, or by the worker
  // once the command that still holds it is out of the kernel.
}

}  // namespace qx::spti
