#include "transport/sim/twin.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "aspi/bus_scan.h"
#include "aspi/opcodes.h"
#include "aspi/status_codes.h"
#include "text/text.h"
#include "transport/sim/scenario.h"

namespace qx::sim {

namespace {

using nlohmann::ordered_json;

constexpr uint8_t kCdDvdDevice = 5;

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text += ' ';
    text += Hex2(bytes[i]);
  }
  return text;
}

// The INQUIRY data a device returned: its additional length says how much of
// the transfer is data (the rest reads zero), within what was asked for.
std::vector<uint8_t> InquiryData(std::span<const uint8_t> data) {
  if (data.size() < 5) return {data.begin(), data.end()};
  const size_t length = std::min({data.size(), size_t{data[4]} + 5, kMaxInquiryBytes});
  return {data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length)};
}

}  // namespace

void TwinRecorder::AdapterInquired(const SRB_HAInquiry& srb, uint8_t ha, int16_t status) {
  if (status != SS_COMP || ha > 7) return;
  adapters_[ha] = {.scsi_id = srb.HA_SCSI_ID,
                   .manager_id = Latin1ToUtf8(SrbText(srb.HA_ManagerId)),
                   .identifier = Latin1ToUtf8(SrbText(srb.HA_Identifier)),
                   .unique = Latin1ToUtf8(SrbText(srb.HA_Unique))};
}

void TwinRecorder::Executed(const ExecutedCommand& c) {
  const SRB_ExecSCSICmd& srb = c.srb;
  if (srb.SRB_HaId > 7 || srb.SRB_Target > 15 || srb.SRB_Lun > 7) return;
  const uint8_t opcode = srb.CDBByte[0];
  Unit& unit = units_[{srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun}];
  const uint32_t nth = ++unit.sent[opcode];
  // Nothing there: the simulator answers an unlisted target the same way.
  if (!c.timed_out && c.result == SS_ERR && srb.SRB_HaStat == HASTAT_SEL_TO) return;
  unit.answered = true;
  unit.took_us.push_back(c.took.count());
  if (c.result == SS_COMP) {
    if (opcode == op::kInquiry) {
      unit.inquiry = InquiryData(c.data);
    } else if (opcode == op::kVendor && srb.CDBByte[2] == op::kFnMemoryRead) {
      const uint32_t start =
          (uint32_t{srb.CDBByte[5]} << 16) | (uint32_t{srb.CDBByte[6]} << 8) | srb.CDBByte[7];
      unit.memory[start].assign(c.data.begin(), c.data.end());
    } else if (opcode == op::kReadBuffer) {
      const size_t n = std::min(c.data.size(), kReadBufferBytes);
      unit.read_buffer.assign(c.data.begin(), c.data.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return;
  }
  Fault f{.opcode = opcode, .nth = nth};
  if (c.timed_out) {
    f.never_complete = true;
  } else {
    f.srb_status = static_cast<uint8_t>(c.result);
    f.ha_status = srb.SRB_HaStat;
    f.target_status = srb.SRB_TargStat;
    if (srb.SRB_TargStat == STATUS_CHKCOND) {
      const uint8_t* s = srb.SenseArea;
      f.has_sense = true;
      f.sense_key = s[2] & 0x0F;
      f.asc = s[12];
      f.ascq = s[13];
      f.byte19 = s[19];
      f.valid = (s[0] & 0x80) != 0;
      f.info = (uint32_t{s[3]} << 24) | (uint32_t{s[4]} << 16) | (uint32_t{s[5]} << 8) | s[6];
    }
  }
  unit.faults.push_back(f);
}

std::string TwinRecorder::ScenarioJson(const Origin& origin) const {
  ordered_json root;
  root["recording"] = {{"device", origin.device},
                       {"transport", origin.transport},
                       {"time", origin.time},
                       {"program", origin.program}};
  root["manager_status"] = 1;
  ordered_json adapters = ordered_json::array();
  ordered_json faults = ordered_json::array();
  for (const auto& [ha, a] : adapters_) {
    ordered_json adapter = {{"ha", ha},
                            {"scsi_id", a.scsi_id},
                            {"manager_id", a.manager_id},
                            {"identifier", a.identifier},
                            {"unique", a.unique}};
    ordered_json targets = ordered_json::array();
    for (const auto& [key, u] : units_) {
      const auto [unit_ha, id, lun] = key;
      // The adapter's own ID and devices that never answered stay out.
      if (unit_ha != ha || !u.answered || id == a.scsi_id) continue;
      ordered_json t = {{"id", id}, {"lun", lun}};
      const bool cd_dvd = !u.inquiry.empty() && (u.inquiry[0] & 0x1F) == kCdDvdDevice;
      t["kind"] = cd_dvd ? "drive" : "generic";
      if (!u.inquiry.empty()) t["inquiry"] = {{"raw", HexBytes(u.inquiry)}};
      if (!u.memory.empty()) {
        ordered_json memory = ordered_json::object();
        for (const auto& [start, bytes] : u.memory) memory["0x" + Hex(start)] = HexBytes(bytes);
        t["memory"] = memory;
      }
      if (!u.read_buffer.empty()) t["read_buffer"] = HexBytes(u.read_buffer);
      // The device's pace: the middle of its answer times.
      std::vector<long long> took = u.took_us;
      if (!took.empty()) {
        std::nth_element(took.begin(), took.begin() + static_cast<std::ptrdiff_t>(took.size() / 2),
                         took.end());
        const long long ms = std::min<long long>((took[took.size() / 2] + 500) / 1000, kMaxDelayMs);
        if (ms > 0) t["delay_ms"] = ms;
      }
      targets.push_back(t);
      for (const Fault& f : u.faults) {
        ordered_json rule = {{"ha", ha}, {"id", id}, {"opcode", f.opcode}, {"nth", f.nth}};
        if (f.never_complete) {
          rule["never_complete"] = true;
          rule["srb_status"] = 0;
        } else {
          rule["srb_status"] = f.srb_status;
          rule["ha_status"] = f.ha_status;
          rule["target_status"] = f.target_status;
        }
        if (f.has_sense) {
          rule["sense"] = {{"key", f.sense_key}, {"asc", f.asc},     {"ascq", f.ascq},
                           {"byte19", f.byte19}, {"valid", f.valid}, {"info", f.info}};
        }
        faults.push_back(rule);
      }
    }
    adapter["targets"] = targets;
    adapters.push_back(adapter);
  }
  root["adapters"] = adapters;
  root["faults"] = faults;
  return root.dump(2) + "\n";
}

}  // namespace qx::sim
