#include "transport/sim/sim_bus.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>

#include "aspi/opcodes.h"
#include "aspi/srb.h"
#include "platform/os.h"
#include "text/text.h"
#include "transport/sim/scenario.h"
#include "transport/sim/sim_drive.h"

namespace qx::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHaTextSize = 16;

bool IsDataOut(uint8_t opcode) {
  switch (opcode) {
    case op::kWriteBuffer:
    case 0x0A:  // WRITE(6)
    case 0x2A:  // WRITE(10)
    case 0x15:  // MODE SELECT(6)
    case 0x55:  // MODE SELECT(10)
      return true;
    default:
      return false;
  }
}

void PutHaText(uint8_t (&field)[kHaTextSize], const std::string& text) {
  std::memset(field, 0, kHaTextSize);
  std::memcpy(field, text.data(), std::min(text.size(), kHaTextSize));
}

// A result waiting to be written into a caller's block and buffer.
struct Completion {
  void* srb = nullptr;
  uint8_t* buffer = nullptr;
  uint32_t buf_len = 0;
  bool data_in = false;  // a data-in command: the buffer past the reply reads zero
  uint8_t sense_len = 0;
  Reply reply;
  uint64_t seq = 0;
  bool never = false;
  Clock::time_point due;
};

void WriteBack(const Completion& c) {
  auto* s = static_cast<SRB_ExecSCSICmd*>(c.srb);
  size_t n = std::min<size_t>(c.reply.data_in.size(), c.buf_len);
  if (n > 0 && c.buffer) std::memcpy(c.buffer, c.reply.data_in.data(), n);
  // Bytes the device did not return never read as its data.
  if (c.data_in && c.buffer) std::memset(c.buffer + n, 0, c.buf_len - n);
  s->SRB_HaStat = c.reply.ha_stat;
  s->SRB_TargStat = c.reply.targ_stat;
  size_t sense = std::min({c.reply.sense.size(), size_t{c.sense_len}, kSenseAreaSize});
  if (sense > 0) std::memcpy(s->SenseArea, c.reply.sense.data(), sense);
  StoreSrbStatus(s, c.reply.srb_status);  // last, with release order
}

using CdbBytes = std::array<uint8_t, 16>;

// The request's CDB: its first SRB_CDBLen bytes (at most 16), zeros after them.
CdbBytes RequestCdb(const SRB_ExecSCSICmd& s) {
  CdbBytes cdb{};
  std::copy_n(s.CDBByte, std::min<size_t>(s.SRB_CDBLen, cdb.size()), cdb.begin());
  return cdb;
}

// The completion of an accepted request, before its reply is chosen.
Completion NewCompletion(SRB_ExecSCSICmd* s, uint8_t* buffer, const LogEntry& e,
                         const CdbBytes& cdb) {
  Completion c;
  c.srb = s;
  c.buffer = buffer;
  c.buf_len = e.buf_len;
  c.data_in = !IsDataOut(cdb[0]);
  c.sense_len = s->SRB_SenseLen;
  c.seq = e.seq;
  return c;
}

}  // namespace

struct SimBus::Impl {
  using UnitKey = std::tuple<uint8_t, uint8_t, uint8_t>;  // ha, id, lun

  explicit Impl(Scenario s) : scenario(std::move(s)), fault_seen(scenario.faults.size(), 0) {
    for (const auto& a : scenario.adapters) {
      adapters.emplace(a.ha, &a);
      for (const auto& t : a.targets) units.emplace(UnitKey{a.ha, t.id, t.lun}, SimDrive(t));
    }
  }

  ~Impl() {
    {
      std::lock_guard lock(mu);
      stop = true;
      pending.clear();
    }
    cv.notify_all();
    if (worker.joinable()) worker.join();
  }

  int32_t HaInquiry(SRB_HAInquiry* q);
  int32_t Execute(SRB_ExecSCSICmd* s, uint8_t* buffer);
  int MatchFault(uint8_t ha, uint8_t id, uint8_t opcode);
  void DropPending(const void* srb);
  LogEntry Received(const SRB_ExecSCSICmd& s, const CdbBytes& cdb);
  std::optional<int32_t> Malformed(const LogEntry& e, const uint8_t* buffer) const;
  int32_t Refuse(SRB_ExecSCSICmd* s, LogEntry e, int32_t status);
  SimDrive* FindDrive(const LogEntry& e);
  std::optional<int32_t> ChooseReply(LogEntry& e, const CdbBytes& cdb, SimDrive* drive,
                                     Completion& c);
  int32_t Finish(LogEntry e, Completion c, std::optional<int32_t> submit_result,
                 const SimDrive* drive);
  bool StartWorker();
  void Run();
  void MarkCancelled(uint64_t seq);

  Scenario scenario;
  std::vector<uint64_t> fault_seen;  // matching requests seen, per fault rule
  std::map<uint8_t, const AdapterConfig*> adapters;
  std::map<UnitKey, SimDrive> units;
  std::optional<UnitKey> reserved;

  mutable std::mutex mu;
  std::condition_variable cv;
  std::list<Completion> pending;
  std::vector<LogEntry> log;
  uint64_t next_seq = 1;
  uint32_t ha_inquiries = 0;
  bool stop = false;
  std::thread worker;
};

int32_t SimBus::Impl::HaInquiry(SRB_HAInquiry* q) {
  ++ha_inquiries;
  auto it = adapters.find(q->SRB_HaId);
  if (it == adapters.end()) {
    StoreSrbStatus(q, SS_INVALID_HA);
    return SS_INVALID_HA;
  }
  const AdapterConfig& a = *it->second;
  q->HA_Count = static_cast<uint8_t>(adapters.size());
  q->HA_SCSI_ID = a.scsi_id;
  PutHaText(q->HA_ManagerId, a.manager_id);
  PutHaText(q->HA_Identifier, a.identifier);
  PutHaText(q->HA_Unique, a.unique);
  StoreSrbStatus(q, SS_COMP);
  return SS_COMP;
}

int SimBus::Impl::MatchFault(uint8_t ha, uint8_t id, uint8_t opcode) {
  int answer = -1;
  for (size_t i = 0; i < scenario.faults.size(); ++i) {
    const FaultRule& f = scenario.faults[i];
    if ((f.ha && *f.ha != ha) || (f.id && *f.id != id) || (f.opcode && *f.opcode != opcode)) {
      continue;
    }
    uint64_t n = ++fault_seen[i];  // every matching rule counts, the first in its window answers
    bool in_window = n >= f.nth && (f.times == 0 || n - f.nth < f.times);
    if (answer < 0 && in_window) answer = static_cast<int>(i);
  }
  return answer;
}

// One execute request: supersede what was due on its block, log it, refuse it
// when malformed, choose its reply and complete it now or later.
int32_t SimBus::Impl::Execute(SRB_ExecSCSICmd* s, uint8_t* buffer) {
  DropPending(s);  // a new request on a block supersedes whatever was still due on it
  const CdbBytes cdb = RequestCdb(*s);
  LogEntry e = Received(*s, cdb);
  if (const std::optional<int32_t> status = Malformed(e, buffer)) {
    return Refuse(s, std::move(e), *status);
  }
  if (IsDataOut(cdb[0])) e.data_out.assign(buffer, buffer + e.buf_len);

  Completion c = NewCompletion(s, buffer, e, cdb);
  SimDrive* drive = FindDrive(e);
  const std::optional<int32_t> submit_result = ChooseReply(e, cdb, drive, c);
  return Finish(std::move(e), std::move(c), submit_result, drive);
}

// Drops whatever was still due on the block: a new request on it supersedes
// that, and Cancel ends it. The log marks those requests cancelled.
void SimBus::Impl::DropPending(const void* srb) {
  for (auto it = pending.begin(); it != pending.end();) {
    if (it->srb == srb) {
      MarkCancelled(it->seq);
      it = pending.erase(it);
    } else {
      ++it;
    }
  }
}

// The log entry of a request as received (numbered in order of submission),
// its result still to be filled in.
LogEntry SimBus::Impl::Received(const SRB_ExecSCSICmd& s, const CdbBytes& cdb) {
  LogEntry e;
  e.seq = next_seq++;
  e.ha = s.SRB_HaId;
  e.target = s.SRB_Target;
  e.lun = s.SRB_Lun;
  e.cdb_len = s.SRB_CDBLen;
  e.buf_len = s.SRB_BufLen;
  e.cdb.assign(cdb.begin(), cdb.begin() + std::min<size_t>(e.cdb_len, cdb.size()));
  e.reserved = reserved == UnitKey{e.ha, e.target, e.lun};
  return e;
}

// The status that refuses a malformed request (CDB length, transfer length, a
// transfer without a buffer, no such adapter); nothing for a well-formed one.
std::optional<int32_t> SimBus::Impl::Malformed(const LogEntry& e, const uint8_t* buffer) const {
  if (e.cdb_len == 0 || e.cdb_len > 16 || e.buf_len > kMaxTransferLength ||
      (e.buf_len > 0 && buffer == nullptr)) {
    return SS_INVALID_SRB;
  }
  if (adapters.find(e.ha) == adapters.end()) return SS_INVALID_HA;
  return std::nullopt;
}

// Ends a refused request at once: logged with `status`, which the block shows
// and the submission returns.
int32_t SimBus::Impl::Refuse(SRB_ExecSCSICmd* s, LogEntry e, int32_t status) {
  e.srb_status = static_cast<uint8_t>(status);
  e.submit_result = status;
  log.push_back(std::move(e));
  StoreSrbStatus(s, static_cast<uint8_t>(status));
  return status;
}

// The drive at the request's address, or nullptr when nothing is there.
SimDrive* SimBus::Impl::FindDrive(const LogEntry& e) {
  auto unit = units.find(UnitKey{e.ha, e.target, e.lun});
  return unit == units.end() ? nullptr : &unit->second;
}

// Chooses the reply: the first fault rule in its window answers, else a
// selection timeout when no drive is at the address, else the drive itself.
// Returns the submission result a fault rule sets, if any.
std::optional<int32_t> SimBus::Impl::ChooseReply(LogEntry& e, const CdbBytes& cdb, SimDrive* drive,
                                                 Completion& c) {
  std::optional<int32_t> submit_result;
  e.fault_rule = MatchFault(e.ha, e.target, cdb[0]);
  if (e.fault_rule >= 0) {
    const FaultRule& f = scenario.faults[static_cast<size_t>(e.fault_rule)];
    c.reply.srb_status = f.srb_status;
    c.reply.ha_stat = f.ha_status;
    c.reply.targ_stat = f.target_status;
    if (f.sense) c.reply.sense = BuildSense(*f.sense);
    c.never = f.never_complete;
    submit_result = f.submit_result;
  } else if (!drive) {
    c.reply.srb_status = SS_ERR;
    c.reply.ha_stat = HASTAT_SEL_TO;
  } else {
    c.reply = drive->Execute(cdb, e.buf_len, e.data_out);
  }
  return submit_result;
}

// Logs the request with its reply and completes it: never (kept pending only
// so that Cancel and PendingCount see it), later from the worker when the
// scenario or the drive's own delay makes it asynchronous, or now. Returns the
// submission result.
int32_t SimBus::Impl::Finish(LogEntry e, Completion c, std::optional<int32_t> submit_result,
                             const SimDrive* drive) {
  bool async = scenario.async;
  uint32_t delay_ms = scenario.delay_ms;
  if (drive && drive->config().delay_ms) {
    async = true;
    delay_ms = *drive->config().delay_ms;
  }

  e.ha_stat = c.reply.ha_stat;
  e.targ_stat = c.reply.targ_stat;
  if (c.never) {
    e.srb_status = SS_PENDING;
    e.submit_result = submit_result.value_or(SS_PENDING);
    log.push_back(std::move(e));
    pending.push_back(std::move(c));  // kept only so that Cancel and PendingCount see it
    return log.back().submit_result;
  }
  e.srb_status = c.reply.srb_status;
  if (async && StartWorker()) {
    e.async = true;
    e.submit_result = submit_result.value_or(SS_PENDING);
    c.due = Clock::now() + std::chrono::milliseconds(delay_ms);
    log.push_back(std::move(e));
    pending.push_back(std::move(c));
    cv.notify_all();
    return log.back().submit_result;
  }
  e.submit_result = submit_result.value_or(c.reply.srb_status);
  log.push_back(std::move(e));
  WriteBack(c);
  return log.back().submit_result;
}

bool SimBus::Impl::StartWorker() {
  if (worker.joinable()) return true;
  try {
    worker = std::thread([this] { Run(); });
    return true;
  } catch (const std::system_error&) {
    return false;  // no thread to be had: complete at once instead
  }
}

void SimBus::Impl::Run() {
  std::unique_lock lock(mu);
  while (!stop) {
    auto next = pending.end();
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (!it->never && (next == pending.end() || it->due < next->due)) next = it;
    }
    if (next == pending.end()) {
      cv.wait(lock);
    } else if (const Clock::time_point due = next->due; Clock::now() < due) {
      // Wait on a copy: Cancel or destruction may erase the entry meanwhile,
      // and wait_until still reads its deadline after it wakes.
      cv.wait_until(lock, due);
    } else {
      WriteBack(*next);
      pending.erase(next);
    }
  }
}

void SimBus::Impl::MarkCancelled(uint64_t seq) {
  auto it = std::lower_bound(log.begin(), log.end(), seq,
                             [](const LogEntry& e, uint64_t s) { return e.seq < s; });
  if (it != log.end() && it->seq == seq) it->cancelled = true;
}

SimBus::SimBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SimBus::~SimBus() = default;

std::shared_ptr<SimBus> SimBus::FromJsonText(std::string_view json, std::string* error) {
  try {
    auto scenario = ParseScenario(json, error);
    if (!scenario) return nullptr;
    return std::shared_ptr<SimBus>(new SimBus(std::make_unique<Impl>(std::move(*scenario))));
  } catch (const std::exception& e) {
    if (error) *error = std::string("scenario could not be loaded: ") + e.what();
    return nullptr;
  }
}

std::shared_ptr<SimBus> SimBus::FromJsonFile(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& message) -> std::shared_ptr<SimBus> {
    if (error) *error = message;
    return nullptr;
  };
  // Only a regular file of at most 16 MiB is a scenario; a FIFO is refused
  // before anything waits for it.
  using Status = os::FileRead::Status;
  const os::FileRead file = os::ReadRegularFile(path, kMaxScenarioFileBytes);
  switch (file.status) {
    case Status::kOk:
      break;
    case Status::kMissing:
    case Status::kCannotOpen:
      return fail("cannot open scenario file '" + path + "': " + file.reason);
    case Status::kNotRegular:
      return fail("scenario file '" + path + "' is not a regular file");
    case Status::kTooLarge:
      return fail("scenario file '" + path + "' is larger than 16 MiB");
    case Status::kCannotRead:
      return fail("cannot read scenario file '" + path + "': " + file.reason);
  }
  std::string message;
  auto bus = FromJsonText(file.text, &message);
  if (!bus && error) *error = path + ": " + message;
  return bus;
}

std::shared_ptr<SimBus> SimBus::BuiltIn() {
  return FromJsonText(BuiltInScenarioText(), nullptr);
}

std::string_view SimBus::BuiltInScenarioJson() {
  return BuiltInScenarioText();
}

uint32_t SimBus::GetASPI32SupportInfo() {
  std::lock_guard lock(impl_->mu);
  return (uint32_t{impl_->scenario.manager_status} << 8) |
         static_cast<uint32_t>(impl_->adapters.size());
}

int32_t SimBus::BCSendASPI32Command(void* srb, uint8_t* buffer) {
  if (srb == nullptr) return SS_INVALID_SRB;
  std::lock_guard lock(impl_->mu);
  auto* header = static_cast<SRB_Header*>(srb);
  try {
    switch (header->SRB_Cmd) {
      case SC_HA_INQUIRY:
        return impl_->HaInquiry(static_cast<SRB_HAInquiry*>(srb));
      case SC_EXEC_SCSI_CMD:
        return impl_->Execute(static_cast<SRB_ExecSCSICmd*>(srb), buffer);
      default:
        StoreSrbStatus(srb, SS_INVALID_CMD);
        return SS_INVALID_CMD;
    }
  } catch (const std::exception&) {
    // Out of memory while copying: nothing was scheduled for this block.
    StoreSrbStatus(srb, SS_ASPI_IS_BUSY);
    return SS_ASPI_IS_BUSY;
  }
}

void SimBus::Cancel(void* srb) {
  std::lock_guard lock(impl_->mu);
  impl_->cv.notify_all();  // the worker picks the next entry to wait for at once
  impl_->DropPending(srb);
}

bool SimBus::PowerCycle(uint8_t ha, uint8_t id) {
  std::lock_guard lock(impl_->mu);
  bool found = false;
  for (auto& [key, drive] : impl_->units) {
    if (std::get<0>(key) == ha && std::get<1>(key) == id) {
      drive.PowerCycle();
      found = true;
    }
  }
  return found;
}

std::optional<DriveSnapshot> SimBus::Drive(uint8_t ha, uint8_t id, uint8_t lun) const {
  std::lock_guard lock(impl_->mu);
  auto it = impl_->units.find(Impl::UnitKey{ha, id, lun});
  if (it == impl_->units.end()) return std::nullopt;
  return it->second.Snapshot();
}

std::vector<LogEntry> SimBus::Log() const {
  std::lock_guard lock(impl_->mu);
  return impl_->log;
}

void SimBus::ClearLog() {
  std::lock_guard lock(impl_->mu);
  impl_->log.clear();
}

std::string SimBus::Notes() const {
  const auto& r = impl_->scenario.recording;
  if (!r) return {};
  // Texts from the file: quoted in part, so a long one cannot flood the notes.
  constexpr size_t kQuoted = 120;
  std::string note = "This simulated bus replays a recording of " + Excerpt(r->device, kQuoted);
  if (!r->transport.empty()) note += " through the " + Excerpt(r->transport, kQuoted);
  if (!r->time.empty()) note += ", made " + Excerpt(r->time, kQuoted);
  if (!r->program.empty()) note += " by " + Excerpt(r->program, kQuoted);
  return note + ": it answers as that drive did, and is not the drive";
}

std::vector<std::string> SimBus::MountPoints(uint8_t ha, uint8_t target, uint8_t lun) {
  std::lock_guard lock(impl_->mu);
  auto it = impl_->units.find(Impl::UnitKey{ha, target, lun});
  if (it == impl_->units.end()) return {};
  return it->second.config().mounted;
}

std::optional<std::string> SimBus::Reserve(uint8_t ha, uint8_t target, uint8_t lun) {
  std::lock_guard lock(impl_->mu);
  const Impl::UnitKey key{ha, target, lun};
  const std::string where = "adapter " + std::to_string(ha) + " target " + std::to_string(target) +
                            " LUN " + std::to_string(lun);
  auto it = impl_->units.find(key);
  if (it == impl_->units.end()) return "no device at " + where;
  if (impl_->reserved == key) return std::nullopt;  // ours already
  impl_->reserved.reset();                          // one device at a time
  const TargetConfig& t = it->second.config();
  if (t.in_use) return "the device at " + where + " is open in another program";
  if (!t.mounted.empty()) {
    // The first few, and a count of the rest: a list of thousands says no more.
    return "the device at " + where + " is mounted at " + FirstAndCount(t.mounted, 5);
  }
  impl_->reserved = key;
  return std::nullopt;
}

void SimBus::Release() {
  std::lock_guard lock(impl_->mu);
  impl_->reserved.reset();
}

bool SimBus::Reserved(uint8_t ha, uint8_t id, uint8_t lun) const {
  std::lock_guard lock(impl_->mu);
  return impl_->reserved == Impl::UnitKey{ha, id, lun};
}

uint32_t SimBus::HaInquiryCount() const {
  std::lock_guard lock(impl_->mu);
  return impl_->ha_inquiries;
}

size_t SimBus::PendingCount() const {
  std::lock_guard lock(impl_->mu);
  return impl_->pending.size();
}

}  // namespace qx::sim
