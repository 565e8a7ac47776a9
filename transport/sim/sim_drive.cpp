#include "transport/sim/sim_drive.h"

#include <algorithm>
#include <cstring>

#include "aspi/status_codes.h"
#include "aspi/opcodes.h"
#include "download/firmware_tag.h"

namespace qx::sim {
namespace {

constexpr uint8_t kKeyNotReady = 0x02;
constexpr uint8_t kKeyIllegalRequest = 0x05;
constexpr uint8_t kKeyUnitAttention = 0x06;

constexpr size_t kVersionOffset = 32;  // INQUIRY bytes 32-49: revision + vendor-specific

uint32_t Be24(std::span<const uint8_t, 16> cdb, size_t at) {
  return (uint32_t{cdb[at]} << 16) | (uint32_t{cdb[at + 1]} << 8) | cdb[at + 2];
}

Reply InvalidField() {
  return CheckCondition(kKeyIllegalRequest, 0x24, 0x00);
}

}  // namespace

std::vector<uint8_t> BuildSense(const SenseConfig& s) {
  std::vector<uint8_t> sense(20, 0);
  sense[0] = s.valid ? 0xF0 : 0x70;
  sense[2] = s.key & 0x0F;
  sense[3] = static_cast<uint8_t>(s.info >> 24);
  sense[4] = static_cast<uint8_t>(s.info >> 16);
  sense[5] = static_cast<uint8_t>(s.info >> 8);
  sense[6] = static_cast<uint8_t>(s.info);
  sense[7] = 12;  // additional length: bytes 8-19
  sense[12] = s.asc;
  sense[13] = s.ascq;
  sense[19] = s.byte19;
  return sense;
}

Reply Good(std::vector<uint8_t> data_in) {
  Reply r;
  r.data_in = std::move(data_in);
  return r;
}

Reply CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
  Reply r;
  r.srb_status = SS_ERR;
  r.targ_stat = STATUS_CHKCOND;
  r.sense = BuildSense(SenseConfig{key, asc, ascq, 0, false, 0});
  return r;
}

SimDrive::SimDrive(const TargetConfig& config)
    : config_(config),
      inquiry_(config.inquiry),
      staging_(kDriveImageSize, 0),
      flash_(kDriveImageSize, 0xFF),
      unit_attention_(config.unit_attention) {
  // The flash holds the firmware the drive runs, tagged with the version it reports.
  std::string version = Version();
  version.resize(kFirmwareVersionLength, ' ');
  std::memcpy(flash_.data() + kFirmwareVersionOffset, kFirmwareVersionTag.data(),
              kFirmwareVersionTag.size());
  std::memcpy(flash_.data() + kFirmwareVersionOffset + kFirmwareVersionTag.size(), version.data(),
              version.size());
}

Reply SimDrive::Execute(std::span<const uint8_t, 16> cdb, uint32_t transfer_length,
                        std::span<const uint8_t> data_out) {
  if (reprogram_left_ > 0) {
    // Busy writing its flash: everything is answered NOT READY, becoming ready.
    --reprogram_left_;
    if (reprogram_left_ == 0 && config_.power_cycle_after_save) PowerCycle();
    return CheckCondition(kKeyNotReady, 0x04, 0x01);
  }
  if (unit_attention_) {
    unit_attention_ = false;
    return CheckCondition(kKeyUnitAttention, 0x29, 0x00);
  }
  Reply r = Dispatch(cdb, transfer_length, data_out);
  if (r.data_in.size() > transfer_length) r.data_in.resize(transfer_length);
  return r;
}

Reply SimDrive::Dispatch(std::span<const uint8_t, 16> cdb, uint32_t transfer_length,
                         std::span<const uint8_t> data_out) {
  const uint8_t op = cdb[0];
  switch (op) {
    case op::kTestUnitReady:
      return TestUnitReady(cdb);
    case op::kInquiry:
      return Inquiry(cdb, transfer_length);
    case op::kStartStopUnit:
      started_ = (cdb[4] & 0x01) != 0;
      return Good();
    default:
      break;
  }
  if (config_.kind == DeviceKind::kDrive) {
    if (op == op::kReadBuffer) return ReadBuffer(cdb, transfer_length);
    if (op == op::kWriteBuffer) return WriteBuffer(cdb, transfer_length, data_out);
    if (op == op::kVendor) return Vendor(cdb, transfer_length);
  }
  return CheckCondition(kKeyIllegalRequest, 0x20, 0x00);  // invalid command operation code
}

Reply SimDrive::TestUnitReady(std::span<const uint8_t, 16> cdb) const {
  if (cdb[5] != 0x00 && cdb[5] != 0xC0) return InvalidField();
  if (config_.not_ready) return CheckCondition(kKeyNotReady, 0x3A, 0x00);  // medium not present
  if (!started_) return CheckCondition(kKeyNotReady, 0x04, 0x02);          // START UNIT required
  return Good();
}

Reply SimDrive::Inquiry(std::span<const uint8_t, 16> cdb, uint32_t transfer_length) const {
  if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) return InvalidField();  // no vital product data
  size_t allocation = (size_t{cdb[3]} << 8) | cdb[4];
  size_t n = std::min({allocation, size_t{transfer_length}, inquiry_.size(),
                       config_.inquiry_length.value_or(inquiry_.size())});
  return Good(std::vector<uint8_t>(inquiry_.begin(), inquiry_.begin() + static_cast<long>(n)));
}

Reply SimDrive::ReadBuffer(std::span<const uint8_t, 16> cdb, uint32_t transfer_length) const {
  if ((cdb[1] & 0x1F) != 0x01 || cdb[2] != 0x01) return InvalidField();
  size_t offset = Be24(cdb, 3);
  size_t allocation = Be24(cdb, 6);
  const auto& data = config_.read_buffer;
  if (offset > data.size()) return InvalidField();
  size_t n = std::min({allocation, size_t{transfer_length}, data.size() - offset});
  auto first = data.begin() + static_cast<long>(offset);
  return Good(std::vector<uint8_t>(first, first + static_cast<long>(n)));
}

Reply SimDrive::Vendor(std::span<const uint8_t, 16> cdb, uint32_t transfer_length) const {
  const uint32_t start = Be24(cdb, 5);
  std::vector<uint8_t> data(transfer_length, 0);
  switch (cdb[2]) {
    case op::kFnMemoryRead:
      for (uint32_t i = 0; i < transfer_length; ++i) {
        auto it = config_.memory.find(start + i);
        if (it != config_.memory.end()) data[i] = it->second;
      }
      return Good(std::move(data));
    case op::kFnDiIn:
      // The diagnostic interface echoes the complement of its two arguments.
      data.resize(std::min<uint32_t>(transfer_length, 2));
      if (!data.empty()) data[0] = static_cast<uint8_t>(~cdb[4]);
      if (data.size() > 1) data[1] = static_cast<uint8_t>(~cdb[6]);
      return Good(std::move(data));
    case op::kFnDiOut:
      return Good();
    case op::kFnAddressGroup:
      switch (cdb[4]) {
        case op::kLoopReadLong:
          for (uint32_t i = 0; i < transfer_length; ++i) {
            data[i] = static_cast<uint8_t>((start + i / 2048) * 7 + i * 13);
          }
          return Good(std::move(data));
        case op::kLoopHeaderCheck:
          // One 4-byte header per sector: 0x00 and the sector's 24-bit address.
          for (uint32_t i = 0; i < transfer_length; ++i) {
            uint32_t sector = (start + i / 4) & 0xFFFFFF;
            data[i] = i % 4 == 0 ? 0 : static_cast<uint8_t>(sector >> (8 * (3 - i % 4)));
          }
          return Good(std::move(data));
        case op::kLoopDataWrite:
        case op::kLoopErase:
        case op::kLoopErrorByteCheck:
          return Good(std::move(data));  // all zero: no error found
        default:
          return InvalidField();
      }
    default:
      return InvalidField();
  }
}

Reply SimDrive::WriteBuffer(std::span<const uint8_t, 16> cdb, uint32_t transfer_length,
                            std::span<const uint8_t> data_out) {
  if (config_.refuse_download == DownloadRefusal::kCustomizing) {
    return CheckCondition(kKeyIllegalRequest, 0x24, 0x90);
  }
  if (config_.refuse_download == DownloadRefusal::kRpc) {
    return CheckCondition(kKeyIllegalRequest, 0x24, 0x91);
  }
  const uint8_t mode = cdb[1] & 0x1F;
  const uint8_t block = cdb[2];
  const uint32_t offset = Be24(cdb, 3);
  const uint32_t length = Be24(cdb, 6);
  if ((mode != 4 && mode != 5) || block >= kDriveBlockCount || offset != 0 ||
      length != kDriveBlockSize) {
    return InvalidField();
  }
  if (transfer_length < length || data_out.size() < length) {
    Reply r;  // the adapter ran out of data before the drive had its parameter list
    r.srb_status = SS_ERR;
    r.ha_stat = HASTAT_DO_DU;
    return r;
  }
  std::copy_n(data_out.begin(), length, staging_.begin() + block * kDriveBlockSize);
  pending_[block] = true;
  ++receive_count_[block];
  ++blocks_received_;
  if (mode == 5) Save();
  return Good();
}

void SimDrive::Save() {
  for (size_t b = 0; b < kDriveBlockCount; ++b) {
    if (!pending_[b]) continue;
    std::copy_n(staging_.begin() + b * kDriveBlockSize, kDriveBlockSize,
                flash_.begin() + b * kDriveBlockSize);
    pending_[b] = false;
  }
  ++save_count_;
  reprogram_left_ = config_.reprogram_commands;
  if (reprogram_left_ == 0 && config_.power_cycle_after_save) PowerCycle();
}

void SimDrive::PowerCycle() {
  pending_.fill(false);  // staged blocks live in RAM
  reprogram_left_ = 0;
  started_ = true;
  unit_attention_ = true;
  ++power_cycles_;
  if (auto version = FindFirmwareVersion(flash_)) {
    for (size_t i = 0; i < version->size() && kVersionOffset + i < inquiry_.size(); ++i) {
      inquiry_[kVersionOffset + i] = static_cast<uint8_t>((*version)[i]);
    }
  }
}

std::string SimDrive::Version() const {
  std::string version;
  for (size_t i = kVersionOffset;
       i < kVersionOffset + kFirmwareVersionLength && i < inquiry_.size(); ++i) {
    version += static_cast<char>(inquiry_[i]);
  }
  return version;
}

DriveSnapshot SimDrive::Snapshot() const {
  DriveSnapshot s;
  s.staging = staging_;
  s.flash = flash_;
  s.receive_count = receive_count_;
  for (size_t b = 0; b < kDriveBlockCount; ++b) s.received[b] = receive_count_[b] > 0;
  s.blocks_received = blocks_received_;
  s.save_count = save_count_;
  s.power_cycles = power_cycles_;
  s.version = Version();
  s.unit_attention_pending = unit_attention_;
  s.reprogram_commands_left = reprogram_left_;
  s.started = started_;
  return s;
}

}  // namespace qx::sim
