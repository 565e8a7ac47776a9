// ASPI manager backend for real drives on Windows: each execute request becomes
// one SCSI pass-through (IOCTL_SCSI_PASS_THROUGH_DIRECT, or the buffered
// IOCTL_SCSI_PASS_THROUGH where a driver refuses the direct form) on the
// device's node.
//
//   #include "transport/spti/spti_bus.h"
//   auto bus = qx::spti::MakeSptiBus();
//   qx::InstallAspiManager(bus);
//   if (!bus->Notes().empty()) ...   // devices that are not mapped
//   ... after a failed command: bus->LastHint() says what to do about it.
//
// It behaves as the Linux SCSI generic backend does. Execute requests run on
// one worker thread (aspi/exec_queue.h), one at a time in the order submitted,
// so the calling (window) thread never blocks in the kernel. On the caller's
// thread BCSendASPI32Command checks the block against the map, opens the node
// and verifies that it is still the device the map names (its SCSI address, or
// its device number, or for a device reached through its port the port's own
// listing): a request that fails there (no such adapter, bad lengths, a
// transfer above the adapter's limit, no device at the address, no access, a
// renumbered device) is completed there and then, and the call returns its
// status. Every other request is queued and the call returns SS_PENDING (0);
// the worker sends the pass-through (TimeOutValue: qx::ExecTimeout in whole
// seconds) and completes the caller's block. Host adapter inquiries are always
// complete on return.
//
// The device map is read when the bus is made and again at each host adapter
// inquiry of adapter 0, i.e. once per bus scan.
//
// Reserve(ha, target, lun) opens the device's node without sharing
// (dwShareMode 0): an open elsewhere fails with ERROR_SHARING_VIOLATION, the
// reservation is refused, naming the node. It checks the node as before every
// command and, for a CD/DVD node (a drive letter or \\.\CdRomN), locks the
// file system mounted from its disc (FSCTL_LOCK_VOLUME on the same handle):
// a lock refused because files on it are open refuses the reservation, naming
// the letter. The volume is never dismounted: nobody asked the operator. The
// handle is kept: this bus's own requests for the device go through it instead
// of an open of their own, still checked before each command, and it is not
// closed after a command. Release() unlocks (FSCTL_UNLOCK_VOLUME) and closes
// it; a command still in the kernel keeps it open until it returns (the worker
// lets go of it then), so a handle is never closed under a command. Destruction
// releases too. MountPoints is always empty: the lock answers for mounts (see
// docs/spti-backend.md).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aspi/exec_queue.h"
#include "aspi/manager.h"
#include "transport/spti/spti_system.h"
#include "transport/spti/spti_topology.h"

namespace qx::spti {

inline constexpr const char* kManagerId = "Windows SPTI";
// Sense bytes offered to the port driver: wine takes at most 32, and fixed-format
// sense with the drive's own error byte (byte 19) fits.
inline constexpr uint8_t kSenseBytes = 32;
// Alignment of the transfer buffer: every AlignmentMask a driver reports below
// 64 KiB is met without a copy.
inline constexpr size_t kBufferAlignment = 64 * 1024;

// A device held by Reserve (defined in spti_bus.cpp).
class HeldDevice;

class SptiBus final : public qx::AspiManager {
 public:
  explicit SptiBus(std::shared_ptr<SptiSystem> system);
  ~SptiBus() override;
  SptiBus(const SptiBus&) = delete;
  SptiBus& operator=(const SptiBus&) = delete;

  uint32_t GetASPI32SupportInfo() override;
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override;
  void Cancel(void* srb) override;
  const char* Name() const override { return "SCSI pass-through"; }
  std::string Notes() const override { return Warning(); }
  bool AccessDenied() const override;
  Location DeviceLocation(uint8_t ha, uint8_t target, uint8_t lun) const override;
  std::vector<std::string> MountPoints(uint8_t ha, uint8_t target, uint8_t lun) override;
  std::optional<std::string> Reserve(uint8_t ha, uint8_t target, uint8_t lun) override;
  void Release() override;

  // Reads the device map again.
  void Rescan();
  // What the last map leaves out, one note per line; empty when everything is mapped.
  std::string Warning() const;
  Topology CurrentTopology() const;

  // The Windows error of the last completed request (0 when it had none) and a
  // plain-English hint about it when it did not succeed (empty after a success).
  DWORD LastError() const;
  std::string LastHint() const override;

 private:
  int32_t HostAdapterInquiry(SRB_HAInquiry* srb);
  std::optional<std::string> NoAdapter(uint8_t ha) const;
  Admission Admit(const ExecCommand& command);
  // Nothing when the opened node is still the device of the map.
  std::optional<ExecOutcome> Verify(const SptiDevice& device, HANDLE handle, uint32_t length);

  // The held handle of `device`: the reservation's, or a released one that a
  // command still in the kernel keeps open (lock taken).
  std::shared_ptr<HeldDevice> HeldFor(const SptiDevice& device) const;
  // Opens the device unshared, checks it and locks its volume (or takes the
  // released handle still kept open); *held is set, or the refusal returned.
  std::optional<std::string> Hold(const SptiDevice& device, std::shared_ptr<HeldDevice>* held);
  // Release without reserve_mutex_ (the caller holds it).
  void DropClaim();

  std::shared_ptr<SptiSystem> system_;
  std::mutex reserve_mutex_;  // one Reserve or Release at a time
  mutable std::mutex mutex_;  // guards topology_, claim_ and released_
  Topology topology_;
  std::shared_ptr<HeldDevice> claim_;   // the reserved device
  std::weak_ptr<HeldDevice> released_;  // the last released one, while a request keeps it
  ExecQueue queue_;
};

// The backend on the real system.
std::shared_ptr<SptiBus> MakeSptiBus();

}  // namespace qx::spti
