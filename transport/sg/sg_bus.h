// ASPI manager backend for real drives on Linux: each execute request becomes
// one SG_IO ioctl on the drive's /dev/sgN node.
//
//   #include "transport/sg/sg_bus.h"
//   auto bus = qx::sg::MakeSgBus();
//   qx::InstallAspiManager(bus);
//   if (!bus->Notes().empty()) ...   // hosts or devices that are not mapped
//   ... after a failed command: bus->LastHint() says what to do about it.
//
// Execute requests run on one worker thread owned by the bus, one at a time in
// the order submitted, so the calling (window) thread never blocks in the
// kernel. BCSendASPI32Command checks the block against the map, opens the node
// and verifies with SG_GET_SCSI_ID that it is still the device the map names,
// all on the caller's thread (none of it waits for a device): a request that
// fails there (no such adapter, bad lengths, no device at the address, no
// access, a renumbered node) is completed there and then, and the call returns
// its status, which is what the executor's text describes. Every other request
// is queued and the call returns SS_PENDING (0); the worker submits SG_IO
// (timeout: qx::ExecTimeout) and completes the caller's block. Host adapter inquiries are always
// complete on return.
//
// The transfer runs through the bus's own 37,857-byte buffer: data-out bytes are
// copied from the caller's buffer when the worker starts the request, data-in
// bytes are copied back on completion, followed by zeros up to SRB_BufLen. The
// block and buffer are written under the bus's lock, SRB_Status last (release).
// Cancel(srb) marks the request cancelled under the same lock and returns at
// once; the worker then drops the result when the kernel is done with the
// command, so the caller's block and buffer are never written after Cancel.
//
// The worker starts with the stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT and
// SIGPIPE; qx::os::StartThreadWithoutStops) blocked for its whole life: those
// signals go to the other threads, and SG_IO is never interrupted (a
// resubmitted command could reach the drive twice). Destruction waits for a
// command still in the kernel; queued requests that never started end as
// SS_ABORTED.
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

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
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

  // One execute request: what the worker needs, copied from the block.
  struct Request {
    SRB_ExecSCSICmd* srb = nullptr;
    uint8_t* buffer = nullptr;
    SgDevice device;
    std::array<uint8_t, 16> cdb{};
    uint8_t cdb_len = 0;
    uint32_t length = 0;
    uint8_t sense_len = 0;
    Direction direction = Direction::kNone;
    unsigned timeout_ms = 0;         // ExecTimeout when the request was submitted
    int fd = -1;                     // the device node, opened and verified at submission
    std::shared_ptr<HeldNode> held;  // set when fd is the reservation's: never closed here
    bool cancelled = false;
  };
  // What a request came to, before it is written into the caller's block.
  struct Outcome {
    uint8_t status = 0;
    uint8_t ha_stat = 0;
    uint8_t targ_stat = 0;
    std::array<uint8_t, kSenseAreaSize> sense{};
    size_t sense_bytes = 0;
    uint32_t returned = 0;  // data-in bytes the device returned into transfer_
    int err = 0;
    std::string hint;
  };

  int32_t HostAdapterInquiry(SRB_HAInquiry* srb);
  int32_t Submit(SRB_ExecSCSICmd* srb, uint8_t* buffer);
  // Ends a request that never reaches a bus, leaving the buffer alone: no OS
  // error, `hint` as the last hint, `status` in the block and returned (lock
  // held).
  int32_t Refuse(void* srb, uint8_t status, std::string hint);
  // The steps of Submit. LookUp and CheckLengths return the status of their
  // refusal, or nothing when the request goes on.
  // Looks the address up in the map (lock taken): an adapter it does not have
  // is refused; *device is the device at the address, if any.
  std::optional<int32_t> LookUp(SRB_ExecSCSICmd* srb, std::optional<SgDevice>* device);
  // Refuses a CDB length the driver does not take, a transfer larger than the
  // data buffer and one without a buffer (lock taken for a refusal).
  std::optional<int32_t> CheckLengths(const Request& r);
  // Opens the request's node into r.fd and verifies it; on a failure the node
  // is closed again and the failure returned.
  std::optional<Outcome> OpenVerified(Request& r);
  // Hands a verified request to the worker (started on first use) and returns
  // SS_PENDING, or refuses it when no worker can be started.
  int32_t Queue(Request r);
  // Completes a request on the caller's thread, before it was queued.
  int32_t CompleteNow(SRB_ExecSCSICmd* srb, uint8_t* buffer, Direction direction,
                      const Outcome& outcome);
  bool StartWorker();
  void Run();

  // The steps of a request (Open and Verify at submission, Transfer on the
  // worker). Open and Verify return nothing when the step succeeded.
  std::optional<Outcome> Open(Request& r);
  std::optional<Outcome> Verify(const Request& r, int fd);
  Outcome Transfer(const Request& r, int fd);
  // Writes the outcome into the caller's block and buffer (lock held).
  void Complete(const Request& r, const Outcome& o);
  // Closes the request's node unless it is the reservation's.
  void CloseOwn(Request& r);

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
  std::condition_variable wake_;
  Topology topology_;
  int last_errno_ = 0;
  std::string last_hint_;
  std::deque<Request> queue_;
  std::optional<Request> running_;    // the request the worker is performing
  std::optional<Claim> claim_;        // the reserved device
  std::weak_ptr<HeldNode> released_;  // the last released node, while a request keeps it
  bool stop_ = false;
  std::thread worker_;
  // The transfer buffer SG_IO reads and writes: only the worker touches it
  // while a command runs.
  std::unique_ptr<std::array<uint8_t, kDataBufSize>> transfer_;
};

// The backend on the real system.
std::shared_ptr<SgBus> MakeSgBus();

}  // namespace qx::sg
