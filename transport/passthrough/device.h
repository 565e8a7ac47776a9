// The small interface through which the pass-through bus reaches the drives of
// one operating system: its SCSI devices as the system numbers them
// (Enumerate), and a node of one of them opened for commands (Open; then
// Verify, Transfer, Hold; closed when it is destroyed). An implementation
// holds nothing but system calls and their translation into the types below;
// the request blocks, the map onto host adapters 0-7 and everything the
// operator reads about them are the bus's (passthrough_bus.h).
#pragma once

#include <any>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aspi/exec_queue.h"

namespace qx::passthrough {

// Where the system puts a logical unit: Linux host, channel, target, LUN;
// Windows port, path (bus), target, LUN.
struct Address {
  uint32_t host = 0;
  uint32_t bus = 0;
  uint32_t target = 0;
  uint64_t lun = 0;

  friend bool operator==(const Address&, const Address&) = default;
};
// "2:0:5:0".
std::string AddressText(const Address& a);

// One logical unit as the system enumerates it.
struct Device {
  std::optional<Address> address;      // none: the system knows no SCSI address for it
  std::string node;                    // the node commands open: "/dev/sg3", "\\.\CdRom0"
  std::string name;                    // how notes name it: "sg3", "\\.\CdRom0"
  std::string also;                    // other names of the same device, "D: E:"
  std::string product;                 // vendor and product when the system names them
  uint32_t max_transfer = UINT32_MAX;  // bytes one command may carry
  // What the operator should know before picking it, as a note goes on after
  // the device's name and place ("is open for reading only: ..."); "" for none.
  std::string caution;
  std::any detail;  // what only the system needs to reach it again
};

// A bus of a host adapter as the system shows it; each may become one of the
// map's host adapters.
struct Bus {
  uint32_t host = 0;
  uint32_t bus = 0;
  uint8_t initiator = 7;   // the adapter's own SCSI ID (HA_SCSI_ID)
  std::string name;        // in notes: "host0", "port 0 bus 0"
  std::string identifier;  // HA_Identifier: "sym53c8xx", "port 0 bus 0"
  std::string unique;      // HA_Unique: "host0", "SCSI"
  std::string detail;      // after the name where a note lists a bus left out
};

// What an enumeration found.
struct Scan {
  std::vector<Bus> buses;  // ascending host, bus; with devices or without
  // Devices with an address in the order the notes name them, then those
  // without one in the order found. A device on a bus that is not listed
  // (Linux: a channel other than 0) is not mapped.
  std::vector<Device> devices;
  std::vector<std::string> notes;        // what the system could not read, before the map's notes
  std::vector<std::string> final_notes;  // after them
  std::string no_adapter_advice;         // added to the hint for an adapter number without a bus
  // A device refused the scan for want of rights that the same program
  // started with more rights (as administrator) would have.
  bool access_denied = false;
};

// What stands between a request and the device, in the system's own
// translation: an OS error (errno, GetLastError()), or a node that is no longer
// the device it was enumerated as (error 0).
struct Failure {
  long error = 0;
  uint8_t status = 0;       // the request status it answers (SS_*)
  uint8_t host_status = 0;  // with SS_ERR: the host adapter status (HASTAT_*)
  std::string hint;         // in plain English, for the operator
};
// Nothing answers there any more: what an absent target looks like on a
// parallel bus (SS_ERR, selection timeout).
Failure Gone(long error, std::string hint);

// How a transfer ended, in categories after sg3_utils' (whose names they
// follow, not its code).
enum class Category {
  kGood,       // status GOOD; a residual is no error
  kStatus,     // another status byte, without sense data
  kSense,      // CHECK CONDITION with sense data
  kTransport,  // the adapter or its driver failed the command (host_status)
  kTimeout,    // the adapter or its driver timed the command out (host_status)
  kAborted,    // the command was aborted; it may have run
  kOsError,    // the system call failed (os)
};
// The category of a device's answer when the adapter and the system reported
// nothing else.
Category FromStatus(uint8_t scsi_status, size_t sense_len);

// What one transfer came to.
struct TransferResult {
  Category category = Category::kGood;
  uint8_t scsi_status = 0;  // the device's status byte
  uint8_t host_status = 0;  // the system's host and driver codes as HASTAT_*
  std::array<uint8_t, 256> sense{};
  size_t sense_len = 0;   // as the device sent it, fixed or descriptor format
  uint32_t residual = 0;  // bytes of the transfer that did not move
  Failure os;             // with kOsError
  std::string detail;     // the system's account of a failure of the adapter or driver
};

// A node opened for one device. Destroying it closes it, after giving back
// what Hold took.
class Node {
 public:
  virtual ~Node() = default;
  // Nothing when the node is still the device it was opened for. `length`
  // is the transfer the failure's words are about (0 for none).
  virtual std::optional<Failure> Verify(uint32_t length) = 0;
  // Sends the command; `data` (kDataBufSize bytes) holds the data out and
  // receives the data in. The timeout is the command's.
  virtual TransferResult Transfer(const ExecCommand& command, uint8_t* data) = 0;
  // Once opened exclusively and verified: keeps file systems from the device
  // out of the way for as long as the node is open (a refusal when one is in
  // use), as far as the system can.
  virtual std::optional<std::string> Hold() = 0;
};

// Shared with other programs, or this program's alone (they then fail to open it).
enum class Share { kShared, kExclusive };

// What stays the same for one system.
struct Traits {
  const char* name = "";           // the bus's Name() and its worker's
  const char* manager_id = "";     // HA_ManagerId
  const char* adapter = "host";    // "no SCSI host behind adapter 3"
  const char* adapters = "hosts";  // "More than eight SCSI hosts"
  size_t buffer_alignment = 16;    // of the data the nodes transfer
  const char* limit_source = "";   // where Device::max_transfer comes from, for its refusal
};

class Devices {
 public:
  explicit Devices(const Traits& traits) : traits_(traits) {}
  virtual ~Devices() = default;
  Devices(const Devices&) = delete;
  Devices& operator=(const Devices&) = delete;

  const Traits& traits() const { return traits_; }
  virtual Scan Enumerate() = 0;
  // A node, or the failure. Opening takes no time (no command reaches the
  // device); `length` is the transfer a failure's words are about. A failure
  // of an exclusive open reads as the refusal of a reservation.
  struct Opened {
    std::unique_ptr<Node> node;
    Failure failure;
  };
  virtual Opened Open(const Device& device, Share share, uint32_t length) = 0;
  // The mount points of file systems mounted from the device; empty when the
  // system cannot tell without commands to the device.
  virtual std::vector<std::string> MountPoints(const Device& device) = 0;

 private:
  const Traits traits_;
};

}  // namespace qx::passthrough
