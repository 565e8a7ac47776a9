// The parsed form of a simulator scenario (format: docs/scenario-format.md).
// Internal to transport/sim: the JSON library stays behind ParseScenario.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::sim {

enum class DeviceKind { kDrive, kGeneric };
enum class DownloadRefusal { kNone, kCustomizing, kRpc };

struct SenseConfig {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  uint8_t byte19 = 0;
  bool valid = false;
  uint32_t info = 0;
};

struct TargetConfig {
  uint8_t id = 0;
  uint8_t lun = 0;
  DeviceKind kind = DeviceKind::kDrive;
  std::vector<uint8_t> inquiry;  // complete standard INQUIRY data
  std::map<uint32_t, uint8_t> memory;
  bool unit_attention = false;
  bool not_ready = false;
  DownloadRefusal refuse_download = DownloadRefusal::kNone;
  bool power_cycle_after_save = true;
  uint32_t reprogram_commands = 3;
  std::vector<uint8_t> read_buffer;
  std::optional<uint32_t> delay_ms;      // own completion delay: always asynchronous
  std::optional<size_t> inquiry_length;  // answers INQUIRY with at most this many bytes
  std::vector<std::string> mounted;      // mount points of file systems from the device
  bool in_use = false;                   // another program has the device open
};

struct AdapterConfig {
  uint8_t ha = 0;
  uint8_t scsi_id = 7;
  std::string manager_id;
  std::string identifier;
  std::string unique;
  std::vector<TargetConfig> targets;
};

struct FaultRule {
  std::optional<uint8_t> ha;
  std::optional<uint8_t> id;
  std::optional<uint8_t> opcode;
  uint32_t nth = 1;
  uint32_t times = 1;  // 0: every matching request from the nth on
  uint8_t srb_status = 4;
  uint8_t ha_status = 0;
  uint8_t target_status = 0;
  std::optional<int32_t> submit_result;
  bool never_complete = false;
  std::optional<SenseConfig> sense;
};

// A scenario written from a real drive's answers (a twin): which device,
// through which transport, when and by what.
struct RecordingInfo {
  std::string device;
  std::string transport;
  std::string time;
  std::string program;
};

struct Scenario {
  std::optional<RecordingInfo> recording;
  uint8_t manager_status = 1;
  std::vector<AdapterConfig> adapters;
  std::vector<FaultRule> faults;
  bool async = false;
  uint32_t delay_ms = 0;
};

// Limits the loader enforces.
inline constexpr uint32_t kMaxDelayMs = 600'000;
inline constexpr uint32_t kMaxReprogramCommands = 1000;
inline constexpr size_t kMaxInquiryBytes = 255;
inline constexpr size_t kReadBufferBytes = 4100;
inline constexpr uint32_t kMaxMemoryAddress = 0xFFFFFF;
inline constexpr size_t kMaxScenarioFileBytes = 16u << 20;
// Deepest nesting of objects and arrays a scenario may have (a real one needs 6).
inline constexpr size_t kMaxScenarioDepth = 32;

// Parses scenario text; on failure returns nullopt with a one-line message.
std::optional<Scenario> ParseScenario(std::string_view json, std::string* error);

// Default READ BUFFER contents and the built-in scenario's text.
std::vector<uint8_t> DefaultReadBuffer();
std::string_view BuiltInScenarioText();

}  // namespace qx::sim
