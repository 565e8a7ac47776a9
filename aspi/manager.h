// The ASPI manager seam: the two operations the system uses, backed by one
// installed transport (simulated bus, or SG_IO on Linux).
//
// Contract of BCSendASPI32Command that every backend keeps (status codes in
// aspi/status_codes.h):
//  1. An execute request (SRB_Cmd 0x02) transfers through the `buffer` argument,
//     whatever the block's SRB_BufPointer holds.
//  2. Completion shows in the caller's own block: SRB_HaStat, SRB_TargStat,
//     SenseArea and the data in `buffer` are written first, and SRB_Status is
//     stored last (a release store through std::atomic_ref) when it turns nonzero.
//     A request refused before it reaches the device still leaves a nonzero
//     SRB_Status in the block.
//  3. A host adapter inquiry (SRB_Cmd 0x00) is complete when the call returns.
//     An execute request may complete later, from another thread: the call then
//     returns SS_PENDING (0) at once and the caller polls SRB_Status.
//  4. For a data-in command, when SRB_Status is stored, `buffer` holds from index
//     0 the bytes the device returned, and from there up to SRB_BufLen it is
//     zero: bytes a device did not return never read as its data. A request
//     refused before it reaches a bus (no such adapter, bad lengths, no buffer)
//     leaves the buffer as it was.
// And one the executor adds: after Cancel(srb) returns, the backend writes
// neither that block nor its buffer again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aspi/srb.h"

namespace qx {

class AspiManager {
 public:
  virtual ~AspiManager() = default;
  // Bits 8-15: manager status (1 = ready); bits 0-7: number of host adapters.
  virtual uint32_t GetASPI32SupportInfo() = 0;
  // `srb` points at an SRB_ExecSCSICmd or SRB_HAInquiry (told apart by SRB_Cmd).
  virtual int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) = 0;
  // The caller gives up waiting for `srb`. On return the backend no longer
  // touches the block or its buffer. A no-op for a completed request.
  virtual void Cancel(void* srb) = 0;
  // A short name for titles and logs ("simulated bus", "SCSI generic").
  virtual const char* Name() const = 0;
  // True for a stand-in bus whose drives are not real (demos and tests).
  virtual bool Simulated() const { return false; }
  // Notes about the last bus scan that the operator should see (devices the
  // backend could not map, a missing driver, ...), one per line; empty when
  // there is nothing to say.
  virtual std::string Notes() const { return {}; }
  // True when the last bus scan was refused a device for want of rights that
  // the same program started with more rights (as administrator) would have.
  virtual bool AccessDenied() const { return false; }
  // A plain-English hint about the last failed request (e.g. missing device
  // permissions), or empty when there is nothing to add.
  virtual std::string LastHint() const { return {}; }
  // Where the device behind adapter/target/LUN lives on this machine, for
  // records (e.g. H:C:T:L and device node); empty when there is nothing to add.
  struct Location {
    std::string address;  // "1:0:2:0"
    std::string node;     // "/dev/sg3"
  };
  virtual Location DeviceLocation(uint8_t /*ha*/, uint8_t /*target*/, uint8_t /*lun*/) const {
    return {};
  }

  // The drive during a download is this program's alone:
  // The mount points of file systems mounted from the device at
  // adapter/target/LUN (a disc in a CD/DVD drive, say); empty when there is
  // none or the backend cannot know.
  virtual std::vector<std::string> MountPoints(uint8_t /*ha*/, uint8_t /*target*/,
                                               uint8_t /*lun*/) {
    return {};
  }
  // Takes the device at adapter/target/LUN for this program alone until
  // Release(): meanwhile another program's open of it fails instead of putting
  // commands between ours, and this program's own commands still reach it.
  // nullopt when it is taken; otherwise one line saying why not ("/dev/sg3 is
  // open in another program").
  virtual std::optional<std::string> Reserve(uint8_t /*ha*/, uint8_t /*target*/, uint8_t /*lun*/) {
    return std::nullopt;
  }
  // Gives a reserved device back (a no-op when none is reserved).
  virtual void Release() {}
};

// Installs the backend used by every request; nullptr uninstalls it. Call it
// while no command is in flight (at start-up and shutdown).
void InstallAspiManager(std::shared_ptr<AspiManager> manager);
std::shared_ptr<AspiManager> InstalledAspiManager();

// The two platform operations, routed to the installed backend. With none
// installed, the manager reports status 0 (not present) and a submission fails
// with 0xFC, which it also leaves in the block's SRB_Status.
uint32_t GetASPI32SupportInfo();
int32_t BCSendASPI32Command(void* srb, uint8_t* buffer);

// Reads SRB_Status the way a waiting caller must (acquire), and stores it the
// way a completing backend must (release, after every other field).
uint8_t LoadSrbStatus(const void* srb);
void StoreSrbStatus(void* srb, uint8_t status);

// ASPI manager status of the last check (1 = ready).
extern int16_t AspiStatus;
int16_t ASPICheck();

}  // namespace qx
