// A twin: what real drives answered, written down as a scenario the
// simulated bus replays. Installed as the command recorder while a scan or a
// dry run talks to the drives, it keeps every adapter that answered its
// inquiry, every device that answered INQUIRY (its data byte for byte), what
// the vendor memory read and READ BUFFER returned, each failed command as a
// fault rule that answers the same request the same way, and how long the
// device took to answer. Replayed, the same commands get the same answers;
// commands that were never sent get the simulated drive's.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "aspi/recorder.h"

namespace qx::sim {

class TwinRecorder final : public CommandRecorder {
 public:
  void Executed(const ExecutedCommand& command) override;
  void AdapterInquired(const SRB_HAInquiry& srb, uint8_t ha, int16_t status) override;

  // Whose answers these are ("the drive at 0:2 (QX-R4410), /dev/sg3 1:0:2:0"),
  // through which transport, when and by which program.
  struct Origin {
    std::string device, transport, time, program;
  };
  // The scenario text (docs/scenario-format.md), one JSON document.
  std::string ScenarioJson(const Origin& origin) const;
  // Whether any device answered: a twin without one replays nothing.
  bool Empty() const { return units_.empty(); }

 private:
  struct Adapter {
    uint8_t scsi_id = 7;
    std::string manager_id, identifier, unique;
  };
  struct Fault {
    uint8_t opcode = 0;
    uint32_t nth = 1;
    uint8_t srb_status = 0, ha_status = 0, target_status = 0;
    bool never_complete = false;
    bool has_sense = false;
    uint8_t sense_key = 0, asc = 0, ascq = 0, byte19 = 0;
    bool valid = false;
    uint32_t info = 0;
  };
  struct Unit {
    bool answered = false;  // anything but "no device there"
    std::vector<uint8_t> inquiry;
    std::map<uint32_t, std::vector<uint8_t>> memory;
    std::vector<uint8_t> read_buffer;
    std::map<uint8_t, uint32_t> sent;  // requests per operation code
    std::vector<Fault> faults;
    std::vector<long long> took_us;
  };
  using Key = std::tuple<uint8_t, uint8_t, uint8_t>;  // adapter, target, LUN

  std::map<uint8_t, Adapter> adapters_;
  std::map<Key, Unit> units_;
};

}  // namespace qx::sim
