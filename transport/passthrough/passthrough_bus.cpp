#include "transport/passthrough/passthrough_bus.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

#include "aspi/sense_format.h"
#include "aspi/status_codes.h"

namespace qx::passthrough {

namespace {

constexpr size_t kMinCdbLength = 6;  // the sg driver refuses shorter commands

// NUL-terminated text in a 16-byte field (at most 15 characters kept).
void PutText(uint8_t (&field)[16], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

std::string Where(uint8_t ha, uint8_t target, uint8_t lun) {
  return "adapter " + std::to_string(ha) + " target " + std::to_string(target) + " LUN " +
         std::to_string(lun);
}

std::string NodeName(const Device& d) {
  return d.also.empty() ? d.node : d.node + " (" + d.also + ")";
}

bool SameDevice(const Device& a, const Device& b) {
  return a.node == b.node && a.address == b.address;
}

ExecOutcome FromFailure(const Failure& f) {
  ExecOutcome o = EndedOutcome(f.status, f.error, f.hint);
  o.ha_stat = f.host_status;
  return o;
}

// What the caller's block shows of a transfer of `c` to `node`.
ExecOutcome Outcome(const TransferResult& r, const ExecCommand& c, const std::string& node) {
  if (r.category == Category::kOsError) return FromFailure(r.os);
  ExecOutcome o;
  o.targ_stat = r.scsi_status;
  switch (r.category) {
    case Category::kGood:
      o.status = SS_COMP;
      break;
    case Category::kStatus:
      o.status = SS_ERR;
      // CHECK CONDITION whose automatic REQUEST SENSE brought nothing back.
      if (r.scsi_status == STATUS_CHKCOND) o.ha_stat = HASTAT_REQUEST_SENSE_FAILED;
      break;
    case Category::kSense:
      o.status = SS_ERR;
      break;
    case Category::kTransport:
    case Category::kTimeout:
      o.status = SS_ERR;
      o.ha_stat = r.host_status;
      break;
    case Category::kAborted:
      o.status = SS_ABORTED;
      break;
    case Category::kOsError:  // answered above
      break;
  }
  if (r.scsi_status == STATUS_CHKCOND && r.sense_len > 0) {
    const size_t n = std::min(r.sense_len, r.sense.size());
    o.sense_bytes = ToFixedSense(std::span<const uint8_t>(r.sense.data(), n), o.sense);
  }
  const uint32_t length = c.direction == Direction::kNone ? 0 : c.length;
  const uint32_t residual = std::min(r.residual, length);
  if (c.direction == Direction::kIn) o.returned = length - residual;
  // A device's own answer (status byte, sense) speaks for itself; the system's
  // account helps when the adapter or its driver failed the command.
  if (o.status != SS_COMP) o.hint = r.detail;
  // A write that the device ended early is not a sent block, whatever its status.
  if (o.status == SS_COMP && c.direction == Direction::kOut && residual != 0) {
    o.status = SS_ERR;
    o.ha_stat = HASTAT_DO_DU;
    o.hint = std::to_string(residual) + " of " + std::to_string(length) + " bytes for " + node +
             " were not transferred";
  }
  return o;
}

}  // namespace

class PassThroughBus::Ticket final : public ExecTicket {
 public:
  // `node` is opened for this request alone, or the reservation's.
  Ticket(PassThroughBus& bus, std::shared_ptr<Node> node, std::string name)
      : bus_(bus), node_(std::move(node)), name_(std::move(name)) {}
  ~Ticket() override { bus_.LetGo(node_); }
  Ticket(const Ticket&) = delete;
  Ticket& operator=(const Ticket&) = delete;

  ExecOutcome Perform(const ExecCommand& command, uint8_t* transfer) override {
    return Outcome(node_->Transfer(command, transfer), command, name_);
  }

 private:
  PassThroughBus& bus_;
  std::shared_ptr<Node> node_;
  const std::string name_;
};

PassThroughBus::PassThroughBus(std::shared_ptr<Devices> devices)
    : devices_(std::move(devices)),
      queue_(ExecQueue::Options{.min_cdb_length = kMinCdbLength,
                                .buffer_alignment = devices_->traits().buffer_alignment,
                                .worker_name = devices_->traits().name}) {
  Rescan();
}

PassThroughBus::~PassThroughBus() {
  queue_.Stop();  // a command in the kernel is waited for
  Release();      // then nothing uses the reserved node any more
}

void PassThroughBus::Rescan() {
  Topology fresh = Map(devices_->Enumerate(), devices_->traits().adapters);
  std::lock_guard lock(mutex_);
  topology_ = std::move(fresh);
}

std::string PassThroughBus::Notes() const {
  std::lock_guard lock(mutex_);
  return topology_.Warning();
}

bool PassThroughBus::AccessDenied() const {
  std::lock_guard lock(mutex_);
  return topology_.access_denied;
}

std::string PassThroughBus::LastHint() const {
  return queue_.LastHint();
}

long PassThroughBus::LastError() const {
  return queue_.LastError();
}

AspiManager::Location PassThroughBus::DeviceLocation(uint8_t ha, uint8_t target,
                                                     uint8_t lun) const {
  std::lock_guard lock(mutex_);
  const Placed* p = topology_.Find(ha, target, lun);
  if (p == nullptr) return {};
  const Device& d = p->device;
  return {d.address ? AddressText(*d.address) : std::string(), NodeName(d)};
}

uint32_t PassThroughBus::GetASPI32SupportInfo() {
  std::lock_guard lock(mutex_);
  return 0x0100u | static_cast<uint32_t>(topology_.adapters.size());
}

void PassThroughBus::Cancel(void* srb) {
  queue_.Cancel(srb);
}

int32_t PassThroughBus::BCSendASPI32Command(void* srb, uint8_t* buffer) {
  return queue_.Dispatch(
      srb, buffer, [this](SRB_HAInquiry* inquiry) { return HostAdapterInquiry(inquiry); },
      [this](uint8_t ha) {
        std::lock_guard lock(mutex_);
        return NoAdapter(ha);
      },
      [this](const ExecCommand& c) { return Admit(c); });
}

std::optional<std::string> PassThroughBus::NoAdapter(uint8_t ha) const {
  if (ha < topology_.adapters.size()) return std::nullopt;
  return "no SCSI " + std::string(devices_->traits().adapter) + " behind adapter " +
         std::to_string(ha) + topology_.no_adapter_advice;
}

int32_t PassThroughBus::HostAdapterInquiry(SRB_HAInquiry* srb) {
  // The bus scan asks adapters 0..7 in order: adapter 0 starts a new scan.
  if (srb->SRB_HaId == 0) Rescan();
  std::optional<std::string> refused;
  {
    // The check and the fields from one map.
    std::lock_guard lock(mutex_);
    refused = NoAdapter(srb->SRB_HaId);
    if (!refused) {
      const Bus& a = topology_.adapters[srb->SRB_HaId].bus;
      srb->HA_Count = static_cast<uint8_t>(topology_.adapters.size());
      srb->HA_SCSI_ID = a.initiator;
      PutText(srb->HA_ManagerId, devices_->traits().manager_id);
      PutText(srb->HA_Identifier, a.identifier);
      PutText(srb->HA_Unique, a.unique);
    }
  }
  if (refused) return queue_.Refuse(srb, SS_INVALID_HA, std::move(*refused));
  queue_.ClearHint();
  StoreSrbStatus(srb, SS_COMP);
  return SS_COMP;
}

Admission PassThroughBus::Admit(const ExecCommand& c) {
  const std::optional<Device> device = DeviceAt(c.ha, c.target, c.lun);
  if (!device)
    return Admission::Complete(AbsentOutcome(0, "no device at " + Where(c.ha, c.target, c.lun)));
  if (c.direction != Direction::kNone && c.length > device->max_transfer) {
    return Admission::Refuse(SS_BUFFER_TOO_BIG,
                             "the adapter of " + device->node + " takes at most " +
                                 std::to_string(device->max_transfer) + " bytes per command, not " +
                                 std::to_string(c.length) + " (" + devices_->traits().limit_source +
                                 ")");
  }

  // Opening and verifying the node take no time; done here, their failures
  // come back as the submission's own result, as any refusal's. Only the
  // command itself runs on the worker. A reserved device is open already,
  // exclusively: an open of its own would fail against it.
  std::shared_ptr<Node> node;
  if (std::shared_ptr<HeldNode> held = HeldFor(*device)) {
    Node* const own = held->node.get();
    node = std::shared_ptr<Node>(std::move(held), own);
  } else {
    Devices::Opened opened = devices_->Open(*device, Share::kShared, c.length);
    if (!opened.node) return Admission::Complete(FromFailure(opened.failure));
    node = std::move(opened.node);
  }
  if (std::optional<Failure> failed = node->Verify(c.length)) {
    LetGo(node);  // closed (or let go of) before the block shows the end
    return Admission::Complete(FromFailure(*failed));
  }
  return Admission::Queue(std::make_unique<Ticket>(*this, std::move(node), device->node));
}

void PassThroughBus::LetGo(std::shared_ptr<Node>& node) {
  // A released reservation's node closes here once the last request lets go;
  // under the lock that HeldFor takes, so a Reserve or request that no longer
  // finds the node finds it closed too (its open would fail against a node
  // still open).
  std::lock_guard lock(mutex_);
  node.reset();
}

std::optional<Device> PassThroughBus::DeviceAt(uint8_t ha, uint8_t target, uint8_t lun) const {
  std::lock_guard lock(mutex_);
  const Placed* p = topology_.Find(ha, target, lun);
  if (p == nullptr) return std::nullopt;
  return p->device;
}

// ---- Mount points and reservation ------------------------------------------

std::vector<std::string> PassThroughBus::MountPoints(uint8_t ha, uint8_t target, uint8_t lun) {
  const std::optional<Device> device = DeviceAt(ha, target, lun);
  if (!device) return {};
  return devices_->MountPoints(*device);
}

std::shared_ptr<PassThroughBus::HeldNode> PassThroughBus::HeldFor(const Device& device) const {
  std::lock_guard lock(mutex_);
  if (claim_ && SameDevice(claim_->device, device)) return claim_;
  std::shared_ptr<HeldNode> released = released_.lock();
  if (released && SameDevice(released->device, device)) return released;
  return nullptr;
}

std::optional<std::string> PassThroughBus::Reserve(uint8_t ha, uint8_t target, uint8_t lun) {
  std::lock_guard reserving(reserve_mutex_);
  const std::optional<Device> device = DeviceAt(ha, target, lun);
  if (!device) return "no device at " + Where(ha, target, lun);
  {
    std::lock_guard lock(mutex_);
    if (claim_ && SameDevice(claim_->device, *device)) return std::nullopt;  // ours already
  }
  DropClaim();  // one device at a time

  std::shared_ptr<HeldNode> held;
  if (std::optional<std::string> refused = Hold(*device, &held)) return refused;
  std::lock_guard lock(mutex_);
  claim_ = std::move(held);
  return std::nullopt;
}

std::optional<std::string> PassThroughBus::Hold(const Device& device,
                                                std::shared_ptr<HeldNode>* held) {
  // A released node that a command in the kernel still keeps open is still
  // this bus's alone: an open would fail against it.
  if ((*held = HeldFor(device))) return std::nullopt;
  Devices::Opened opened = devices_->Open(device, Share::kExclusive, 0);
  if (!opened.node) return opened.failure.hint;
  // From here on a refusal closes the node again with `taken`.
  auto taken = std::make_shared<HeldNode>(HeldNode{device, std::move(opened.node)});
  if (std::optional<Failure> failed = taken->node->Verify(0)) return failed->hint;
  if (std::optional<std::string> refused = taken->node->Hold()) return refused;
  *held = std::move(taken);
  return std::nullopt;
}

void PassThroughBus::Release() {
  std::lock_guard reserving(reserve_mutex_);
  DropClaim();
}

void PassThroughBus::DropClaim() {
  std::shared_ptr<HeldNode> claim;
  {
    std::lock_guard lock(mutex_);
    if (!claim_) return;
    claim.swap(claim_);
    released_ = claim;
  }
  // The node goes with `claim`: closed now, or by the worker once the command
  // that still holds it is out of the kernel.
}

}  // namespace qx::passthrough
