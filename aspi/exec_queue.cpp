#include "aspi/exec_queue.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <system_error>

#include "aspi/manager.h"
#include "platform/os.h"
#include "text/text.h"

namespace qx {

ExecOutcome EndedOutcome(uint8_t status, long error, std::string hint) {
  ExecOutcome o;
  o.status = status;
  o.error = error;
  o.hint = std::move(hint);
  return o;
}

ExecOutcome AbsentOutcome(long error, std::string hint) {
  ExecOutcome o = EndedOutcome(SS_ERR, error, std::move(hint));
  o.ha_stat = HASTAT_SEL_TO;
  return o;
}

Admission Admission::Queue(std::unique_ptr<ExecTicket> ticket) {
  Admission a;
  a.ticket = std::move(ticket);
  return a;
}

Admission Admission::Complete(ExecOutcome outcome) {
  Admission a;
  a.outcome = std::move(outcome);
  return a;
}

Admission Admission::Refuse(uint8_t status, std::string hint) {
  Admission a;
  a.refused = status;
  a.hint = std::move(hint);
  return a;
}

void ExecQueue::FreeAligned::operator()(uint8_t* p) const {
  ::operator delete[](p, std::align_val_t(alignment));
}

ExecQueue::ExecQueue(Options options)
    : options_(std::move(options)),
      transfer_(static_cast<uint8_t*>(
                    ::operator new[](kDataBufSize, std::align_val_t(options_.buffer_alignment))),
                FreeAligned{options_.buffer_alignment}) {
  std::memset(transfer_.get(), 0, kDataBufSize);
}

ExecQueue::~ExecQueue() {
  Stop();
}

void ExecQueue::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    // Requests that never reached the system end here; nothing waits for them
    // any more once the backend goes, but their blocks show an end.
    for (Request& r : queue_) {
      r.ticket.reset();
      StoreSrbStatus(r.srb, SS_ABORTED);
    }
    queue_.clear();
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();  // a command in the system is waited for
}

long ExecQueue::LastError() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

std::string ExecQueue::LastHint() const {
  std::lock_guard lock(mutex_);
  return last_hint_;
}

int32_t ExecQueue::Refuse(void* srb, uint8_t status, std::string hint) {
  std::lock_guard lock(mutex_);
  last_error_ = 0;
  last_hint_ = std::move(hint);
  StoreSrbStatus(srb, status);
  return status;
}

void ExecQueue::ClearHint() {
  std::lock_guard lock(mutex_);
  last_error_ = 0;
  last_hint_.clear();
}

void ExecQueue::Cancel(void* srb) {
  std::lock_guard lock(mutex_);
  std::erase_if(queue_, [srb](const Request& r) { return r.srb == srb; });
  if (running_ && running_->srb == srb) running_->cancelled = true;
}

int32_t ExecQueue::Dispatch(void* srb, uint8_t* buffer, const AdapterInquiry& inquiry,
                            const AdapterCheck& adapter, const Admit& admit) {
  if (srb == nullptr) return SS_BC_INVALID_CALL;
  const uint8_t cmd = static_cast<SRB_Header*>(srb)->SRB_Cmd;
  switch (cmd) {
    case SC_HA_INQUIRY:
      return inquiry(static_cast<SRB_HAInquiry*>(srb));
    case SC_EXEC_SCSI_CMD:
      return Submit(static_cast<SRB_ExecSCSICmd*>(srb), buffer, adapter, admit);
    default:
      return Refuse(srb, SS_INVALID_CMD,
                    "request code 0x" + Hex2(cmd) +
                        " is not supported (only host adapter inquiry and execute)");
  }
}

int32_t ExecQueue::Submit(SRB_ExecSCSICmd* srb, uint8_t* buffer, const AdapterCheck& adapter,
                          const Admit& admit) {
  Request r;
  r.srb = srb;
  r.buffer = buffer;
  r.sense_len = srb->SRB_SenseLen;
  ExecCommand& c = r.command;
  c.ha = srb->SRB_HaId;
  c.target = srb->SRB_Target;
  c.lun = srb->SRB_Lun;
  c.cdb_len = srb->SRB_CDBLen;
  c.length = srb->SRB_BufLen;
  c.timeout = ExecTimeout;

  // Refusals that leave the buffer alone: the request never reaches a bus.
  if (std::optional<std::string> hint = adapter(c.ha)) return Refuse(srb, SS_INVALID_HA, *hint);
  if (c.cdb_len < options_.min_cdb_length || c.cdb_len > c.cdb.size()) {
    return Refuse(srb, SS_INVALID_SRB,
                  "CDB length " + std::to_string(c.cdb_len) + " is outside " +
                      std::to_string(options_.min_cdb_length) + "-16");
  }
  if (c.length > static_cast<uint32_t>(kDataBufSize)) {
    return Refuse(srb, SS_BUFFER_TOO_BIG,
                  "transfer length " + std::to_string(c.length) + " is larger than the " +
                      std::to_string(kDataBufSize) + "-byte data buffer");
  }
  if (c.length > 0 && buffer == nullptr) {
    return Refuse(srb, SS_INVALID_SRB, "transfer without a data buffer");
  }
  std::memcpy(c.cdb.data(), srb->CDBByte, c.cdb_len);
  c.direction = DataDirection(std::span<const uint8_t>(c.cdb.data(), c.cdb_len), c.length);
  srb->SRB_HaStat = 0;
  srb->SRB_TargStat = 0;

  Admission a = admit(c);
  if (a.outcome) {
    std::lock_guard lock(mutex_);
    Complete(srb, buffer, c, r.sense_len, *a.outcome);
    return a.outcome->status;
  }
  if (!a.ticket) return Refuse(srb, a.refused, std::move(a.hint));
  r.ticket = std::move(a.ticket);

  std::lock_guard lock(mutex_);
  if (!StartWorker()) {
    r.ticket.reset();
    last_error_ = 0;
    last_hint_ = "no thread could be started for " + options_.worker_name + " requests";
    StoreSrbStatus(srb, SS_ASPI_IS_BUSY);
    return SS_ASPI_IS_BUSY;
  }
  queue_.push_back(std::move(r));
  wake_.notify_one();
  return SS_PENDING;
}

bool ExecQueue::StartWorker() {
  if (worker_.joinable()) return true;
  try {
    worker_ = os::StartThreadWithoutStops([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void ExecQueue::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    running_ = std::move(queue_.front());
    queue_.pop_front();
    const ExecCommand command = running_->command;
    // Still not cancelled (Cancel removes queued requests), so the caller's
    // buffer holds the data to send.
    if (command.direction == Direction::kOut) {
      std::memcpy(transfer_.get(), running_->buffer, command.length);
    }
    std::unique_ptr<ExecTicket> ticket = std::move(running_->ticket);
    lock.unlock();

    const ExecOutcome o = ticket->Perform(command, transfer_.get());
    ticket.reset();

    lock.lock();
    if (!running_->cancelled) {
      Complete(running_->srb, running_->buffer, command, running_->sense_len, o);
    }
    running_.reset();
  }
}

void ExecQueue::Complete(SRB_ExecSCSICmd* srb, uint8_t* buffer, const ExecCommand& command,
                         uint8_t sense_len, const ExecOutcome& o) {
  srb->SRB_HaStat = o.ha_stat;
  srb->SRB_TargStat = o.targ_stat;
  if (o.sense_bytes > 0) {
    const size_t room = std::min<size_t>(sense_len, sizeof srb->SenseArea);
    std::memset(srb->SenseArea, 0, room);
    std::memcpy(srb->SenseArea, o.sense.data(), std::min(room, o.sense_bytes));
  }
  // Bytes the device did not return never read as its data.
  if (command.direction == Direction::kIn && buffer != nullptr) {
    const uint32_t n = std::min(o.returned, command.length);
    if (n > 0) std::memcpy(buffer, transfer_.get(), n);
    std::memset(buffer + n, 0, command.length - n);
  }
  last_error_ = o.error;
  last_hint_ = o.hint;
  StoreSrbStatus(srb, o.status);
}

}  // namespace qx
