#include "transport/sg/sg_bus.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <span>

#include "aspi/transport_state.h"
#include "transport/sg/sg_mapping.h"

namespace qx::sg {

namespace {
constexpr uint8_t kHaDataOverrunUnderrun = 0x12;
}  // namespace

namespace {

constexpr int32_t kInvalidParameter = 0xE0;
constexpr int32_t kBufferTooBig = 0xE6;
constexpr int32_t kInvalidCall = 0xFB;
constexpr size_t kMinCdbLength = 6;  // the sg driver refuses shorter commands
constexpr unsigned char kMaxSense = 255;

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

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFFFFu);
  return text;
}

std::string Address(uint8_t ha, uint8_t target, uint8_t lun) {
  return "adapter " + std::to_string(ha) + " target " + std::to_string(target) + " LUN " +
         std::to_string(lun);
}

}  // namespace

SgBus::SgBus(std::shared_ptr<SgSystem> system) : system_(std::move(system)) {
  Rescan();
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

void SgBus::Cancel(void*) {
  // Nothing is ever outstanding: every request completes before
  // BCSendASPI32Command returns, so no block or buffer is written afterwards.
}

int32_t SgBus::BCSendASPI32Command(void* srb, uint8_t* buffer) {
  if (srb == nullptr) return kInvalidCall;
  switch (static_cast<SRB_Header*>(srb)->SRB_Cmd) {
    case SC_HA_INQUIRY:
      return HostAdapterInquiry(static_cast<SRB_HAInquiry*>(srb));
    case SC_EXEC_SCSI_CMD:
      return Execute(static_cast<SRB_ExecSCSICmd*>(srb), buffer);
    default: {
      std::lock_guard lock(mutex_);
      last_errno_ = 0;
      last_hint_ = "request code " + Hex2(static_cast<SRB_Header*>(srb)->SRB_Cmd) +
                   " is not supported (only host adapter inquiry and execute)";
      StoreSrbStatus(srb, 0x80);
      return 0x80;
    }
  }
}

int32_t SgBus::HostAdapterInquiry(SRB_HAInquiry* srb) {
  // The bus scan asks adapters 0..7 in order: adapter 0 starts a new scan.
  if (srb->SRB_HaId == 0) Rescan();
  std::lock_guard lock(mutex_);
  last_errno_ = 0;
  if (srb->SRB_HaId >= topology_.adapters.size()) {
    last_hint_ = "no SCSI host behind adapter " + std::to_string(srb->SRB_HaId);
    StoreSrbStatus(srb, SS_INVALID_HA);
    return SS_INVALID_HA;
  }
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

int32_t SgBus::Finish(SRB_ExecSCSICmd* srb, uint8_t status, int err, std::string hint) {
  {
    std::lock_guard lock(mutex_);
    last_errno_ = err;
    last_hint_ = std::move(hint);
  }
  StoreSrbStatus(srb, status);
  return status;
}

int32_t SgBus::AbsentTarget(SRB_ExecSCSICmd* srb, int err, std::string hint) {
  srb->SRB_HaStat = kHaSelectionTimeout;
  srb->SRB_TargStat = 0;
  return Finish(srb, SS_ERR, err, std::move(hint));
}

int32_t SgBus::Execute(SRB_ExecSCSICmd* srb, uint8_t* buffer) {
  srb->SRB_HaStat = 0;
  srb->SRB_TargStat = 0;
  const uint8_t ha = srb->SRB_HaId;
  const uint8_t target = srb->SRB_Target;
  const uint8_t lun = srb->SRB_Lun;
  const uint32_t length = srb->SRB_BufLen;
  const size_t cdb_len = srb->SRB_CDBLen;

  std::optional<SgDevice> device;
  {
    std::lock_guard lock(mutex_);
    if (ha >= topology_.adapters.size()) {
      last_errno_ = 0;
      last_hint_ = "no SCSI host behind adapter " + std::to_string(ha);
      StoreSrbStatus(srb, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    if (const SgDevice* d = topology_.Find(ha, target, lun)) device = *d;
  }

  if (cdb_len < kMinCdbLength || cdb_len > sizeof srb->CDBByte) {
    return Finish(srb, kInvalidParameter, 0,
                  "CDB length " + std::to_string(cdb_len) + " is outside 6-16");
  }
  if (length > static_cast<uint32_t>(kDataBufSize)) {
    return Finish(srb, kBufferTooBig, 0,
                  "transfer length " + std::to_string(length) + " is larger than the " +
                      std::to_string(kDataBufSize) + "-byte data buffer");
  }
  if (length > 0 && buffer == nullptr) {
    return Finish(srb, kInvalidParameter, 0, "transfer without a data buffer");
  }
  if (!device) {
    return AbsentTarget(srb, 0, "no device at " + Address(ha, target, lun));
  }

  const std::string node = "/dev/" + device->node;
  const int fd = system_->Open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = -fd;
    if (IsVanishedErrno(err)) return AbsentTarget(srb, err, HintForErrno(err, node, length));
    return Finish(srb, SrbStatusForErrno(err), err, HintForErrno(err, node, length));
  }
  struct FdCloser {
    SgSystem& system;
    int fd;
    ~FdCloser() { system.Close(fd); }
  } closer{*system_, fd};

  // The node must still be the device the map names: sg numbers are reused
  // when devices come and go, and a firmware block must never reach another one.
  sg_scsi_id id{};
  if (const int rc = system_->GetScsiId(fd, &id); rc < 0) {
    const int err = -rc;
    if (IsVanishedErrno(err)) return AbsentTarget(srb, err, HintForErrno(err, node, length));
    return Finish(srb, SrbStatusForErrno(err), err, HintForErrno(err, node, length));
  }
  const Hctl& want = device->address;
  if (static_cast<uint32_t>(id.host_no) != want.host ||
      static_cast<uint32_t>(id.channel) != want.channel ||
      static_cast<uint32_t>(id.scsi_id) != want.target ||
      static_cast<uint32_t>(id.lun) != static_cast<uint32_t>(want.lun)) {
    return AbsentTarget(srb, 0,
                        node + " is now " + std::to_string(id.host_no) + ":" +
                            std::to_string(id.channel) + ":" + std::to_string(id.scsi_id) + ":" +
                            std::to_string(id.lun) + ", not " + HctlText(want) +
                            " as at the last scan; run SCSI Rescan");
  }

  std::array<unsigned char, 16> cdb{};
  std::memcpy(cdb.data(), srb->CDBByte, cdb_len);
  std::array<unsigned char, kMaxSense> sense{};
  const Direction dir = DataDirection(std::span<const uint8_t>(cdb.data(), cdb_len), length);

  sg_io_hdr io{};
  io.interface_id = 'S';
  io.cmd_len = static_cast<unsigned char>(cdb_len);
  io.cmdp = cdb.data();
  io.mx_sb_len = kMaxSense;
  io.sbp = sense.data();
  io.timeout = SgTimeout();
  switch (dir) {
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
  if (dir != Direction::kNone) {
    io.dxferp = buffer;
    io.dxfer_len = length;
  }

  if (const int rc = system_->SgIo(fd, &io); rc < 0) {
    const int err = -rc;
    if (IsVanishedErrno(err)) return AbsentTarget(srb, err, HintForErrno(err, node, length));
    return Finish(srb, SrbStatusForErrno(err), err, HintForErrno(err, node, length));
  }

  const uint8_t sense_len = std::min<uint8_t>(io.sb_len_wr, kMaxSense);
  const Completion c = MapCompletion(io.status, io.host_status, io.driver_status, sense_len);
  srb->SRB_HaStat = c.ha_stat;
  srb->SRB_TargStat = c.targ_stat;
  if (c.copy_sense) {
    const size_t room = std::min<size_t>(srb->SRB_SenseLen, sizeof srb->SenseArea);
    std::memset(srb->SenseArea, 0, room);
    ToFixedSense(std::span<const uint8_t>(sense.data(), sense_len),
                 std::span<uint8_t>(srb->SenseArea, room));
  }

  // A device's own answer (status byte, sense) speaks for itself; the low-level
  // summary only helps when the host or the driver failed the command.
  std::string hint;
  constexpr unsigned kDriverSense = 0x08;
  if (c.srb_status != SS_COMP && (io.host_status != 0 || (io.driver_status & ~kDriverSense) != 0)) {
    hint = "SG_IO on " + node + " (" + HctlText(want) + "): status " + Hex2(io.status) + ", host " +
           MapHostStatus(io.host_status).name + " (" + Hex2(io.host_status) + "), driver " +
           Hex2(io.driver_status) + ", resid " + std::to_string(io.resid);
  }
  // A write that the device ended early is not a sent block, whatever its status.
  if (c.srb_status == SS_COMP && dir == Direction::kOut && io.resid != 0) {
    srb->SRB_HaStat = kHaDataOverrunUnderrun;
    return Finish(srb, SS_ERR, 0,
                  std::to_string(io.resid) + " of " + std::to_string(length) + " bytes for " +
                      node + " were not transferred");
  }
  return Finish(srb, c.srb_status, 0, std::move(hint));
}

}  // namespace qx::sg
