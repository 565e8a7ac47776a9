// Simulated SCSI bus with QX-R4410 drives behind it: an ASPI manager substitute
// for demos and tests. A scenario (JSON, see docs/scenario-format.md) describes
// the adapters, the devices on them, injected faults and how requests complete.
//
// Requests complete either inside BCSendASPI32Command or, in asynchronous mode,
// from one worker thread owned by the bus. Every public member may be called from
// any thread; one mutex guards all state, and results are written into a caller's
// block and buffer only under that mutex, so after Cancel(srb) nothing more is
// written there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "aspi/manager.h"
#include "aspi/transport_state.h"

namespace qx::sim {

// The drive's firmware image: 16 blocks of 16,384 bytes.
inline constexpr size_t kDriveBlockSize = 16384;
inline constexpr size_t kDriveBlockCount = 16;
inline constexpr size_t kDriveImageSize = kDriveBlockSize * kDriveBlockCount;

// Largest transfer the simulated adapter accepts (the size of the system's buffer).
inline constexpr uint32_t kMaxTransferLength = kDataBufSize;

// One execute request as the bus received it, with the result it gave.
struct LogEntry {
  uint64_t seq = 0;  // 1, 2, ... in order of submission (not reset by ClearLog)
  uint8_t ha = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  std::vector<uint8_t> cdb;  // exactly cdb_len bytes (at most 16)
  uint8_t cdb_len = 0;
  uint32_t buf_len = 0;
  std::vector<uint8_t> data_out;  // first buf_len bytes of the buffer, data-out commands only
  uint8_t srb_status = 0;         // final status; 0 for a request that never completes
  uint8_t ha_stat = 0;
  uint8_t targ_stat = 0;
  int32_t submit_result = 0;  // what BCSendASPI32Command returned
  int fault_rule = -1;        // index into the scenario's "faults", -1 if none answered
  bool async = false;         // completed (or was due) from the worker thread
  bool cancelled = false;     // Cancel() came before the completion was written
  bool reserved = false;      // the target was Reserve()d when the request came

  uint8_t opcode() const { return cdb.empty() ? 0 : cdb[0]; }
};

// Copy of one drive's download-related state, for tests.
struct DriveSnapshot {
  std::vector<uint8_t> staging;  // kDriveImageSize bytes: every block WRITE BUFFER stored
  std::array<bool, kDriveBlockCount> received{};           // block stored at least once
  std::array<uint32_t, kDriveBlockCount> receive_count{};  // times each block was stored
  uint32_t blocks_received = 0;  // WRITE BUFFER blocks stored in all, repeats included
  std::vector<uint8_t> flash;    // kDriveImageSize bytes: the committed firmware
  uint32_t save_count = 0;       // WRITE BUFFER mode 5 commands accepted
  uint32_t power_cycles = 0;     // automatic and PowerCycle() ones
  std::string version;           // INQUIRY bytes 32-49 as the drive reports them now
  bool unit_attention_pending = false;
  uint32_t reprogram_commands_left = 0;  // commands still answered NOT READY after a save
  bool started = true;                   // START STOP UNIT state
};

class SimBus final : public AspiManager {
 public:
  // Builds a bus from scenario text. On any error (JSON syntax, unknown or
  // ill-typed key, number out of range, inconsistent scenario) returns nullptr and
  // sets *error (if given) to a one-line message naming the offending key.
  static std::shared_ptr<SimBus> FromJsonText(std::string_view json, std::string* error);
  // The same for a scenario file; a file that cannot be read is an error too.
  static std::shared_ptr<SimBus> FromJsonFile(const std::string& path, std::string* error);
  // The built-in default scenario (the text BuiltInScenarioJson() returns).
  static std::shared_ptr<SimBus> BuiltIn();
  static std::string_view BuiltInScenarioJson();

  ~SimBus() override;
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  // AspiManager.
  uint32_t GetASPI32SupportInfo() override;
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override;
  void Cancel(void* srb) override;
  const char* Name() const override { return "simulated bus"; }
  bool Simulated() const override { return true; }
  // A recorded scenario (a twin) says whose answers it replays.
  std::string Notes() const override;
  // The target's "mounted" list.
  std::vector<std::string> MountPoints(uint8_t ha, uint8_t target, uint8_t lun) override;
  // Refused for an absent target, one "in_use" (open in another program) and
  // one with mount points, as the SG backend refuses them.
  std::optional<std::string> Reserve(uint8_t ha, uint8_t target, uint8_t lun) override;
  void Release() override;

  // Switches every LUN of target `id` on adapter `ha` off and on: staged but
  // unsaved blocks are lost, the reported version is taken from the flash image,
  // and the next command gets UNIT ATTENTION. False if there is no such target.
  bool PowerCycle(uint8_t ha, uint8_t id);

  // Test hooks.
  std::optional<DriveSnapshot> Drive(uint8_t ha, uint8_t id, uint8_t lun = 0) const;
  std::vector<LogEntry> Log() const;
  void ClearLog();
  uint32_t HaInquiryCount() const;
  // Whether the target is reserved now (Reserve taken, no Release since).
  bool Reserved(uint8_t ha, uint8_t id, uint8_t lun = 0) const;
  // Accepted requests whose completion has not been written yet (including the
  // never-completing ones), not counting cancelled ones.
  size_t PendingCount() const;

  struct Impl;  // defined in sim_bus.cpp

 private:
  explicit SimBus(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx::sim
