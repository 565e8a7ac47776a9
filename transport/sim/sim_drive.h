// One simulated logical unit: a QX-R4410 drive (standard, vendor 0xDF and
// WRITE BUFFER commands) or a generic device (standard commands only).
// Not thread-safe by itself: the bus calls it under its own mutex.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "transport/sim/scenario.h"
#include "transport/sim/sim_bus.h"

namespace qx::sim {

// Fixed-format sense data (20 bytes: byte 19 carries the drive's error code).
std::vector<uint8_t> BuildSense(const SenseConfig& sense);

// What a command produced: the bus writes it into the caller's block and buffer.
struct Reply {
  uint8_t srb_status = SS_COMP;
  uint8_t ha_stat = 0;
  uint8_t targ_stat = 0;
  std::vector<uint8_t> data_in;  // never longer than the transfer length
  std::vector<uint8_t> sense;    // empty unless CHECK CONDITION
};

Reply Good(std::vector<uint8_t> data_in = {});
Reply CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq);

class SimDrive {
 public:
  explicit SimDrive(const TargetConfig& config);

  // Executes one command. `cdb` holds 16 bytes (those beyond the CDB length are 0);
  // `data_out` is the buffer's content for a data-out command (transfer length bytes).
  Reply Execute(std::span<const uint8_t, 16> cdb, uint32_t transfer_length,
                std::span<const uint8_t> data_out);

  void PowerCycle();
  DriveSnapshot Snapshot() const;
  const TargetConfig& config() const { return config_; }

 private:
  Reply Dispatch(std::span<const uint8_t, 16> cdb, uint32_t transfer_length,
                 std::span<const uint8_t> data_out);
  Reply Inquiry(std::span<const uint8_t, 16> cdb, uint32_t transfer_length) const;
  Reply ReadBuffer(std::span<const uint8_t, 16> cdb, uint32_t transfer_length) const;
  Reply TestUnitReady(std::span<const uint8_t, 16> cdb) const;
  Reply Vendor(std::span<const uint8_t, 16> cdb, uint32_t transfer_length) const;
  Reply WriteBuffer(std::span<const uint8_t, 16> cdb, uint32_t transfer_length,
                    std::span<const uint8_t> data_out);
  void Save();
  std::string Version() const;

  TargetConfig config_;
  std::vector<uint8_t> inquiry_;
  std::vector<uint8_t> staging_;
  std::vector<uint8_t> flash_;
  std::array<bool, kDriveBlockCount> pending_{};  // staged since the last save or power-on
  std::array<uint32_t, kDriveBlockCount> receive_count_{};
  uint32_t blocks_received_ = 0;
  uint32_t save_count_ = 0;
  uint32_t power_cycles_ = 0;
  uint32_t reprogram_left_ = 0;
  bool unit_attention_ = false;
  bool started_ = true;
};

}  // namespace qx::sim
