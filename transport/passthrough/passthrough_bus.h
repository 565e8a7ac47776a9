// The ASPI manager backend for real drives, over the small device interface of
// one system (device.h): Linux SG_IO (transport/sg), Windows SCSI pass-through
// (transport/spti).
//
//   auto bus = qx::sg::MakeSgBus();   // or qx::spti::MakeSptiBus()
//   qx::InstallAspiManager(bus);
//   if (!bus->Notes().empty()) ...   // what the map leaves out, one note a line
//   ... after a failed command: bus->LastHint() says what to do about it.
//
// The map of devices onto adapters and targets (topology.h) is read when the
// bus is made and again at each host adapter inquiry of adapter 0, i.e. once
// per bus scan. Host adapter inquiries are complete on return.
//
// Execute requests run on one worker thread (aspi/exec_queue.h), one at a
// time in the order submitted, so the calling (window) thread never blocks in
// the kernel. On the caller's thread BCSendASPI32Command checks the block
// against the map, opens the device's node and verifies that it is still the
// device the map names, none of which waits for a device: a request that
// fails there (no such adapter, bad lengths, a transfer above the device's
// limit, no device at the address, no access, a renumbered device) is
// completed there and then, and the call returns its status, which is what
// the executor's text describes. Every other request is queued and the call
// returns SS_PENDING (0); the worker transfers (with qx::ExecTimeout as it
// was at submission) and completes the caller's block.
//
// Reserve(ha, target, lun) opens the device's node exclusively (another
// program's open then fails, and the reservation is refused while one has it
// open), verifies it and lets the system hold it (Node::Hold: a file system
// mounted from the device refuses the reservation). The node is kept: this
// bus's own requests for the device go through it instead of an open of their
// own, still verified before each command, and it is not closed after a
// command. One device is reserved at a time. Release() closes the node; a
// command still in the kernel keeps it open until it returns (the worker lets
// go of it then), so a node is never closed under a command.
//
// Destruction stops the worker first (it waits for a command in the kernel;
// queued requests that never started end as SS_ABORTED), and releases the
// reserved device after that, when nothing can use its node any more.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aspi/exec_queue.h"
#include "aspi/manager.h"
#include "transport/passthrough/device.h"
#include "transport/passthrough/topology.h"

namespace qx::passthrough {

class PassThroughBus final : public qx::AspiManager {
 public:
  explicit PassThroughBus(std::shared_ptr<Devices> devices);
  ~PassThroughBus() override;
  PassThroughBus(const PassThroughBus&) = delete;
  PassThroughBus& operator=(const PassThroughBus&) = delete;

  uint32_t GetASPI32SupportInfo() override;
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override;
  void Cancel(void* srb) override;
  const char* Name() const override { return devices_->traits().name; }
  std::string Notes() const override;
  bool AccessDenied() const override;
  std::string LastHint() const override;
  Location DeviceLocation(uint8_t ha, uint8_t target, uint8_t lun) const override;
  std::vector<std::string> MountPoints(uint8_t ha, uint8_t target, uint8_t lun) override;
  std::optional<std::string> Reserve(uint8_t ha, uint8_t target, uint8_t lun) override;
  void Release() override;

  // Reads the map again.
  void Rescan();
  // The system's error code of the last completed request (0 when it had none).
  long LastError() const;

 private:
  // A node held for a reserved device: shared by the reservation and the
  // requests that use it, closed when the last of them lets go.
  struct HeldNode {
    Device device;
    std::unique_ptr<Node> node;
  };
  // One request on an opened and verified node, for the queue's worker.
  class Ticket;

  int32_t HostAdapterInquiry(SRB_HAInquiry* srb);
  // The hint when the map has no adapter `ha`, or nothing (lock taken).
  std::optional<std::string> NoAdapter(uint8_t ha) const;
  Admission Admit(const ExecCommand& command);
  // Lets go of a request's node: the last one closes it (lock taken).
  void LetGo(std::shared_ptr<Node>& node);
  std::optional<Device> DeviceAt(uint8_t ha, uint8_t target, uint8_t lun) const;
  // The held node of `device`: the reservation's, or a released one that a
  // command still in the kernel keeps open (lock taken).
  std::shared_ptr<HeldNode> HeldFor(const Device& device) const;
  // Opens the node exclusively, verifies and holds it (or takes the released
  // one still kept open); *held is set, or the refusal returned.
  std::optional<std::string> Hold(const Device& device, std::shared_ptr<HeldNode>* held);
  // Release without reserve_mutex_ (the caller holds it).
  void DropClaim();

  const std::shared_ptr<Devices> devices_;
  std::mutex reserve_mutex_;  // one Reserve or Release at a time
  mutable std::mutex mutex_;  // guards the members below
  Topology topology_;
  std::shared_ptr<HeldNode> claim_;   // the reserved device
  std::weak_ptr<HeldNode> released_;  // the last released one, while a request keeps it
  // Never called with mutex_ held: a request it lets go of takes mutex_ under
  // the queue's own lock.
  ExecQueue queue_;
};

}  // namespace qx::passthrough
