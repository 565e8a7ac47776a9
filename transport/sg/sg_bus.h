// ASPI manager backend for real drives on Linux: each execute request becomes
// one SG_IO ioctl on the drive's /dev/sgN node.
//
//   #include "transport/sg/sg_bus.h"
//   auto bus = qx::sg::MakeSgBus();
//   qx::InstallAspiManager(bus);
//   if (!bus->Notes().empty()) ...   // hosts or devices that are not mapped
//   ... after a failed command: bus->LastHint() says what to do about it.
//
// Execute requests run on one worker thread (aspi/exec_queue.h), one at a
// time in the order submitted, so the calling (window) thread never blocks in
// the kernel. BCSendASPI32Command checks the block against the map, opens the
// node and verifies with SG_GET_SCSI_ID that it is still the device the map
// names, all on the caller's thread (none of it waits for a device): a request
// that fails there (no such adapter, bad lengths, no device at the address, no
// access, a renumbered node) is completed there and then, and the call returns
// its status, which is what the executor's text describes. Every other request
// is queued and the call returns SS_PENDING (0); the worker submits SG_IO
// (timeout: qx::ExecTimeout when the request was submitted) and completes the
// caller's block. Host adapter inquiries are always complete on return.
//
// The transfer buffer, the completion of the caller's block and buffer, Cancel
// and the worker (stop signals blocked, so SG_IO is never interrupted and a
// command never reaches the drive twice) are the queue's; destruction waits
// for a command still in the kernel, and queued requests that never started
// end as SS_ABORTED.
//
// The host/target map is read from sysfs when the bus is made and again at
// each host adapter inquiry of adapter 0, i.e. once per bus scan.
//
// Reserve(ha, target, lun) opens the device's /dev/sgN with O_EXCL (and
// O_NONBLOCK, so it never waits: EBUSY means another program has the node
// open, and the reservation is refused) and keeps that descriptor: meanwhile
// every other open of the node fails with EBUSY (or waits, without
// O_NONBLOCK). This bus's own requests for the device go through the kept
// descriptor instead of an open of their own, still verified with
// SG_GET_SCSI_ID before each command, and it is not closed after a command.
// A device with a file system mounted from its block device (/dev/srN,
// /dev/sdX or a partition) is refused too, from the mount table. The block
// device itself is never opened: that makes the sr or sd driver check the
// medium with commands of its own, and its last close sends ALLOW MEDIUM
// REMOVAL, which would reach a drive busy saving its new firmware. Release()
// closes the node; a command still in the kernel keeps it open until it
// returns (the worker drops it then), so a descriptor is never closed under
// SG_IO. Destruction releases too.
//
// MountPoints(ha, target, lun) finds the block device and its partitions in
// sysfs and matches /proc/self/mountinfo by device number (sg_mounts.h).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aspi/exec_queue.h"
#include "aspi/manager.h"
#include "transport/sg/sg_mapping.h"
#include "transport/sg/sg_system.h"
#include "transport/sg/sg_topology.h"

namespace qx::sg {

inline constexpr const char* kManagerId = "Linux SG_IO";

class SgBus final : public qx::AspiManager {
 public:
  explicit SgBus(std::shared_ptr<SgSystem> system);
  ~SgBus() override;
  SgBus(const SgBus&) = delete;
  SgBus& operator=(const SgBus&) = delete;

  uint32_t GetASPI32SupportInfo() override;
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override;
  void Cancel(void* srb) override;
  const char* Name() const override { return "SCSI generic"; }
  std::string Notes() const override { return Warning(); }
  Location DeviceLocation(uint8_t ha, uint8_t target, uint8_t lun) const override;
  std::vector<std::string> MountPoints(uint8_t ha, uint8_t target, uint8_t lun) override;
  std::optional<std::string> Reserve(uint8_t ha, uint8_t target, uint8_t lun) override;
  void Release() override;

  // Reads the host/target map again.
  void Rescan();
  // What the last map leaves out (no sg devices, more than eight hosts, other
  // channels, ...), one note per line; empty when everything is mapped.
  std::string Warning() const;
  Topology CurrentTopology() const;

  // errno of the last completed request's OS failure (0 when it had none) and
  // a plain-English hint about it when it did not succeed (empty after a
  // success). Both are set when a request completes.
  int LastErrno() const;
  std::string LastHint() const override;

 private:
  // An sg descriptor opened O_EXCL by Reserve: shared by the reservation and
  // the requests that use it, closed when the last of them lets go.
  struct HeldNode {
    HeldNode(std::shared_ptr<SgSystem> system, SgDevice device, int fd)
        : system(std::move(system)), device(std::move(device)), fd(fd) {}
    ~HeldNode() { system->Close(fd); }
    HeldNode(const HeldNode&) = delete;
    HeldNode& operator=(const HeldNode&) = delete;
    std::shared_ptr<SgSystem> system;
    SgDevice device;
    int fd;
  };
  // What Reserve took.
  struct Claim {
    std::shared_ptr<HeldNode> node;
  };

  // One request on an opened and verified node, for the queue's worker;
  // destroying it closes the node unless it is the reservation's.
  class Command;

  int32_t HostAdapterInquiry(SRB_HAInquiry* srb);
  // The hint when the map has no host behind adapter `ha`, or nothing.
  std::optional<std::string> NoHost(uint8_t ha) const;
  // The device at the address, opened (or the reservation's node taken) and
  // verified on the caller's thread.
  Admission Admit(const ExecCommand& command);
  // Nothing when `fd` is still the node of the map's `device`.
  std::optional<ExecOutcome> Verify(const SgDevice& device, int fd, uint32_t length);

  // The device at the address in the current map.
  std::optional<SgDevice> DeviceAt(uint8_t ha, uint8_t target, uint8_t lun) const;
  // The reserved descriptor of `device`: the reservation's, or a released
  // one that a command still in the kernel keeps open (lock taken).
  std::shared_ptr<HeldNode> HeldFor(const SgDevice& device) const;
  // Opens the node O_EXCL and checks it is the device (or takes the released
  // descriptor still kept open); *held is set, or the refusal returned.
  std::optional<std::string> HoldNode(const SgDevice& device, std::shared_ptr<HeldNode>* held);
  // A refusal when a file system from the device is mounted.
  std::optional<std::string> RefuseMounted(const SgDevice& device);
  // Release without reserve_mutex_ (the caller holds it).
  void DropClaim();

  std::shared_ptr<SgSystem> system_;
  std::mutex reserve_mutex_;  // one Reserve or Release at a time
  mutable std::mutex mutex_;  // guards the members below
  Topology topology_;
  std::optional<Claim> claim_;        // the reserved device
  std::weak_ptr<HeldNode> released_;  // the last released node, while a request keeps it
  // Stopped by the destructor after Release. Never called with mutex_ held: a
  // request it lets go of takes mutex_ under the queue's own lock.
  ExecQueue queue_;
};

// The backend on the real system.
std::shared_ptr<SgBus> MakeSgBus();

}  // namespace qx::sg
