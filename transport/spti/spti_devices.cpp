#include "transport/spti/spti_devices.h"

#include <algorithm>
#include <any>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>

#include "transport/spti/spti_mapping.h"
#include "transport/spti/spti_scan.h"

namespace qx::spti {

namespace {

using passthrough::Address;
using passthrough::Category;
using passthrough::Device;
using passthrough::Failure;
using passthrough::TransferResult;

const passthrough::Traits kTraits{.name = "SCSI pass-through",
                                  .manager_id = "Windows SPTI",
                                  .adapter = "bus",
                                  .adapters = "buses",
                                  .buffer_alignment = kBufferAlignment,
                                  .limit_source = "IOCTL_SCSI_GET_CAPABILITIES"};

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
void Fill(Spt& spt, const ExecCommand& c, const Device& device, ULONG sense_offset) {
  spt.Length = sizeof(Spt);
  if (device.address) {
    spt.PathId = static_cast<UCHAR>(device.address->bus);
    spt.TargetId = static_cast<UCHAR>(device.address->target);
    spt.Lun = static_cast<UCHAR>(device.address->lun);
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
template <typename Spt>
void Read(const Spt& spt, const uint8_t* sense, uint32_t length, TransferResult* r) {
  r->scsi_status = spt.ScsiStatus;
  r->sense_len = std::min<size_t>(spt.SenseInfoLength, kSenseBytes);
  std::memcpy(r->sense.data(), sense, r->sense_len);
  r->residual = length - std::min<uint32_t>(spt.DataTransferLength, length);
}

// "F:" for \\.\F:.
std::string ShortName(const std::string& node) {
  return node.rfind("\\\\.\\", 0) == 0 ? node.substr(4) : node;
}

// The node and the other names the scan found for it: "\\.\CdRom0 (D:)".
std::string NodeName(const Device& d) {
  return d.also.empty() ? d.node : d.node + " (" + d.also + ")";
}

// A CD/DVD node, whose handle reaches the file system mounted from its disc:
// a drive letter, or a CdRom node (the letter names the same device).
bool HasVolume(const Reach& r) {
  return r.kind == NodeKind::kLetter || r.kind == NodeKind::kCdRom;
}

// The drive letters of a CD/DVD node ("F:"), or the node when it has none.
std::string VolumeName(const Device& d, const Reach& r) {
  std::string letters;
  std::string names = r.kind == NodeKind::kLetter ? ShortName(d.node) : std::string();
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

// The devices of ports, class nodes and drive letters.
class SptiDevices final : public passthrough::Devices {
 public:
  explicit SptiDevices(std::shared_ptr<SptiSystem> system)
      : Devices(kTraits), system_(std::move(system)) {}

  passthrough::Scan Enumerate() override { return ReadScan(*system_); }

  Opened Open(const Device& device, passthrough::Share share, uint32_t length) override;

  // Whether a file system is mounted from a CD/DVD letter cannot be asked
  // without an open of the volume (or GetVolumeInformationW), and either makes
  // Windows mount one, reading the disc. The reservation answers the question
  // instead, through the node it keeps: a mounted file system is locked there,
  // or the reservation is refused.
  std::vector<std::string> MountPoints(const Device&) override { return {}; }

 private:
  const std::shared_ptr<SptiSystem> system_;
};

// An opened device node; its volume locked once held, unlocked before it closes.
class SptiNode final : public passthrough::Node {
 public:
  SptiNode(std::shared_ptr<SptiSystem> system, Device device, HANDLE handle)
      : system_(std::move(system)),
        device_(std::move(device)),
        reach_(std::any_cast<const Reach&>(device_.detail)),
        handle_(handle) {}
  ~SptiNode() override {
    if (locked_) Ioctl(FSCTL_UNLOCK_VOLUME);
    system_->Close(handle_);
  }
  SptiNode(const SptiNode&) = delete;
  SptiNode& operator=(const SptiNode&) = delete;

  std::optional<Failure> Verify(uint32_t length) override;
  TransferResult Transfer(const ExecCommand& c, uint8_t* transfer) override;
  std::optional<std::string> Hold() override;

 private:
  // An ioctl without data: 0 or the Windows error.
  DWORD Ioctl(DWORD code) {
    DWORD got = 0;
    return system_->Ioctl(handle_, code, nullptr, 0, nullptr, 0, &got);
  }
  std::optional<Failure> VerifyThroughPort(uint32_t length);
  DWORD Direct(const ExecCommand& c, uint8_t* data, uint32_t length, TransferResult* r);
  DWORD Buffered(const ExecCommand& c, uint8_t* data, uint32_t length, size_t alignment,
                 TransferResult* r);

  const std::shared_ptr<SptiSystem> system_;
  const Device device_;
  const Reach& reach_;
  const HANDLE handle_;
  bool locked_ = false;  // FSCTL_LOCK_VOLUME succeeded on the handle
};

constexpr const char* kRescan = " as at the last scan; run SCSI Rescan";

std::optional<Failure> SptiNode::VerifyThroughPort(uint32_t length) {
  PortListing listing;
  if (const DWORD err = ReadPortListing(*system_, handle_, &listing); err != 0) {
    return ErrorFailure(err, device_.node, length);
  }
  const Address& want = *device_.address;
  const auto unit =
      std::find_if(listing.units.begin(), listing.units.end(), [&](const PortUnit& u) {
        return u.path == want.bus && u.target == want.target && u.lun == want.lun;
      });
  const std::string where = device_.node + " bus " + std::to_string(want.bus) + " target " +
                            std::to_string(want.target) + " LUN " + std::to_string(want.lun);
  if (unit == listing.units.end()) {
    return passthrough::Gone(0, where + " no longer lists a device" + kRescan);
  }
  if (unit->claimed || !reach_.identity || unit->identity != *reach_.identity) {
    return passthrough::Gone(0, where +
                                    " is now another device (or has a driver of its own), not " +
                                    device_.product + kRescan);
  }
  return std::nullopt;
}

std::optional<Failure> SptiNode::Verify(uint32_t length) {
  if (reach_.kind == NodeKind::kPort) return VerifyThroughPort(length);
  DWORD got = 0;
  if (device_.address) {
    SCSI_ADDRESS a{};
    a.Length = sizeof a;
    if (const DWORD err =
            system_->Ioctl(handle_, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &got);
        err != 0) {
      return ErrorFailure(err, device_.node, length);
    }
    const Address now{a.PortNumber, a.PathId, a.TargetId, a.Lun};
    if (now == *device_.address) return std::nullopt;
    return passthrough::Gone(0, device_.node + " is now " + AddressText(now) + ", not " +
                                    AddressText(*device_.address) + kRescan);
  }
  if (!reach_.number) return std::nullopt;
  STORAGE_DEVICE_NUMBER n{};
  if (const DWORD err =
          system_->Ioctl(handle_, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got);
      err != 0) {
    return ErrorFailure(err, device_.node, length);
  }
  if (DeviceNumber{n.DeviceType, n.DeviceNumber} == *reach_.number) return std::nullopt;
  return passthrough::Gone(0, device_.node + " is now device " + std::to_string(n.DeviceNumber) +
                                  " of type " + std::to_string(n.DeviceType) + ", not device " +
                                  std::to_string(reach_.number->number) + " of type " +
                                  std::to_string(reach_.number->type) + kRescan);
}

TransferResult SptiNode::Transfer(const ExecCommand& c, uint8_t* transfer) {
  const uint32_t length = c.direction == Direction::kNone ? 0 : c.length;
  // The bus's buffer meets every usual alignment; a stricter device gets a
  // buffer of its own.
  uint8_t* data = length > 0 ? transfer : nullptr;
  std::optional<AlignedBytes> own;
  const size_t alignment = AlignmentFor(reach_.alignment_mask);
  if (data != nullptr && (reinterpret_cast<uintptr_t>(data) & reach_.alignment_mask) != 0) {
    own.emplace(length, alignment);
    if (c.direction == Direction::kOut) std::memcpy(own->data, transfer, length);
    data = own->data;
  }

  TransferResult r;
  DWORD error = Direct(c, data, length, &r);
  if (IsRefusedIoctl(error)) error = Buffered(c, data, length, alignment, &r);
  if (error != 0) {
    r.category = Category::kOsError;
    r.os = ErrorFailure(error, device_.node, c.length);
    return r;
  }
  r.category = passthrough::FromStatus(r.scsi_status, r.sense_len);
  const uint32_t returned = length - r.residual;
  if (own && c.direction == Direction::kIn && returned > 0) {
    std::memcpy(transfer, own->data, returned);
  }
  return r;
}

DWORD SptiNode::Direct(const ExecCommand& c, uint8_t* data, uint32_t length, TransferResult* r) {
  struct Block {
    SCSI_PASS_THROUGH_DIRECT spt;
    UCHAR sense[kSenseBytes];
  } block{};
  Fill(block.spt, c, device_, offsetof(Block, sense));
  block.spt.DataBuffer = data;
  DWORD got = 0;
  const DWORD error = system_->Ioctl(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block,
                                     &block, sizeof block, &got);
  if (error == 0) Read(block.spt, block.sense, length, r);
  return error;
}

// The data travel inside the request: the system copies them both ways.
DWORD SptiNode::Buffered(const ExecCommand& c, uint8_t* data, uint32_t length, size_t alignment,
                         TransferResult* r) {
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
  Read(*spt, block.data + sense_offset, length, r);
  const uint32_t returned = length - r->residual;
  if (c.direction == Direction::kIn && returned > 0) {
    std::memcpy(data, block.data + data_offset, returned);
  }
  return 0;
}

std::optional<std::string> SptiNode::Hold() {
  if (!HasVolume(reach_)) return std::nullopt;
  // The file system mounted from the disc is locked, not dismounted: a
  // dismount closes the files of other programs, and nobody asked the
  // operator. Locking reaches the file system only, never the drive.
  const DWORD error = Ioctl(FSCTL_LOCK_VOLUME);
  if (error == 0) {
    locked_ = true;
  } else if (VolumeInUse(error)) {
    return VolumeName(device_, reach_) + " is in use: files on its disc are open in other programs";
  } else if (!NoFileSystem(error)) {
    return VolumeName(device_, reach_) +
           " could not be locked for the download: " + HintForError(error, device_.node, 0);
  }
  return std::nullopt;
}

SptiDevices::Opened SptiDevices::Open(const Device& device, passthrough::Share share,
                                      uint32_t length) {
  const Reach& reach = std::any_cast<const Reach&>(device.detail);
  const OpenMode mode = share == passthrough::Share::kExclusive ? kExclusiveOpen : kSharedOpen;
  const spti::Opened opened = system_->Open(reach.path, kDeviceAccess, mode);
  if (opened.ok()) return {std::make_unique<SptiNode>(system_, device, opened.handle), {}};
  Failure failure = ErrorFailure(opened.error, device.node, length);
  if (mode == kExclusiveOpen && opened.error == ERROR_SHARING_VIOLATION) {
    failure.hint = NodeName(device) + " is open in another program (or files on its disc are)";
  }
  return {nullptr, std::move(failure)};
}

}  // namespace

std::shared_ptr<passthrough::Devices> MakeSptiDevices(std::shared_ptr<SptiSystem> system) {
  return std::make_shared<SptiDevices>(std::move(system));
}

}  // namespace qx::spti
