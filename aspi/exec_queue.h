// The execute path that every pass-through backend shares: checks of the block,
// a worker thread that runs one request at a time in submission order, and the
// completion of the caller's block and buffer as aspi/manager.h requires.
//
// A backend keeps an ExecQueue and hands it each execute request together with
// two answers only it knows: whether the adapter exists, and what to do with a
// checked request (its Admit). Admit runs on the caller's thread and must not
// wait for a device: it looks the address up, opens the device and checks that
// it is still the one the last scan found. It then refuses the request (the
// buffer is left as it was), completes it at once (an absent device; data-in
// bytes read zero), or returns a ticket: the opened device, whose Perform runs
// the command on the worker. Destroying a ticket closes its device.
//
// The transfer runs through the queue's own 37,857-byte buffer: data-out bytes
// are copied from the caller's buffer when the worker starts the request,
// data-in bytes are copied back on completion, followed by zeros up to
// SRB_BufLen. The block and buffer are written under the queue's lock,
// SRB_Status last (release). Cancel(srb) removes a queued request or marks the
// running one cancelled under the same lock and returns at once; the worker
// then drops the result when the system is done with the command, so the
// caller's block and buffer are never written after Cancel.
//
// The worker is started on the first queued request, as a thread to which stop
// requests are never delivered (os::StartThreadWithoutStops): a command is never
// interrupted and so never sent twice. Stop (and destruction) waits for a
// command still in the system; queued requests that never started end as
// SS_ABORTED.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "aspi/data_direction.h"
#include "aspi/srb.h"
#include "aspi/transport_state.h"

namespace qx {

// What a request came to, before it is written into the caller's block.
struct ExecOutcome {
  uint8_t status = 0;
  uint8_t ha_stat = 0;
  uint8_t targ_stat = 0;
  std::array<uint8_t, kSenseAreaSize> sense{};  // fixed format
  size_t sense_bytes = 0;
  uint32_t returned = 0;  // data-in bytes the device returned into the transfer buffer
  long error = 0;         // the system's error code (errno, GetLastError), 0 for none
  std::string hint;
};

// A request the backend ends without a device's answer.
ExecOutcome EndedOutcome(uint8_t status, long error, std::string hint);
// Nothing answered at the address (or the device went away): what an absent
// target looks like on a parallel bus (SS_ERR, selection timeout).
ExecOutcome AbsentOutcome(long error, std::string hint);

// The command of one execute request, copied from the block at submission.
struct ExecCommand {
  uint8_t ha = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  std::array<uint8_t, 16> cdb{};
  uint8_t cdb_len = 0;
  uint32_t length = 0;
  Direction direction = Direction::kNone;
  std::chrono::milliseconds timeout{0};  // ExecTimeout when the request was submitted
};

// A device opened and checked for one request.
class ExecTicket {
 public:
  virtual ~ExecTicket() = default;  // closes the device
  // Runs the command on the worker. `transfer` (kDataBufSize bytes, aligned as
  // the queue was told) holds the data out and receives the data in.
  virtual ExecOutcome Perform(const ExecCommand& command, uint8_t* transfer) = 0;
};

// What a backend's Admit makes of a checked request.
struct Admission {
  std::unique_ptr<ExecTicket> ticket;  // queued for the worker
  std::optional<ExecOutcome> outcome;  // completed now
  uint8_t refused = 0;                 // refused with this status, buffer untouched
  std::string hint;                    // ... and this hint

  static Admission Queue(std::unique_ptr<ExecTicket> ticket);
  static Admission Complete(ExecOutcome outcome);
  static Admission Refuse(uint8_t status, std::string hint);
};

class ExecQueue {
 public:
  struct Options {
    size_t min_cdb_length = 6;         // shorter CDBs are refused (0xE0)
    size_t buffer_alignment = 16;      // of the transfer buffer, a power of two
    std::string worker_name = "SCSI";  // in the hint when no thread can be started
  };
  explicit ExecQueue(Options options);
  ~ExecQueue();
  ExecQueue(const ExecQueue&) = delete;
  ExecQueue& operator=(const ExecQueue&) = delete;

  // The hint when SRB_HaId names no adapter, or nothing when it does.
  using AdapterCheck = std::function<std::optional<std::string>(uint8_t ha)>;
  using Admit = std::function<Admission(const ExecCommand&)>;

  // The execute request of BCSendASPI32Command. In this order: no adapter
  // (0x81), a CDB length outside min..16 (0xE0), a length above kDataBufSize
  // (0xE6), a transfer without a buffer (0xE0), then `admit`. Returns the
  // request's status, or SS_PENDING when it was queued.
  int32_t Submit(SRB_ExecSCSICmd* srb, uint8_t* buffer, const AdapterCheck& adapter,
                 const Admit& admit);
  // The whole of a backend's BCSendASPI32Command: no block is
  // SS_BC_INVALID_CALL, a host adapter inquiry goes to `inquiry`, an execute
  // request to Submit, and any other request code is refused (SS_INVALID_CMD).
  using AdapterInquiry = std::function<int32_t(SRB_HAInquiry*)>;
  int32_t Dispatch(void* srb, uint8_t* buffer, const AdapterInquiry& inquiry,
                   const AdapterCheck& adapter, const Admit& admit);
  void Cancel(void* srb);
  // Ends any request block with `status` and `hint` as the last request's.
  int32_t Refuse(void* srb, uint8_t status, std::string hint);
  // A request that succeeded without the queue (a host adapter inquiry).
  void ClearHint();
  // Ends queued requests as SS_ABORTED and waits for the one on the worker.
  void Stop();

  // The system error of the last completed request (0 when it had none) and a
  // plain-English hint about it when it did not succeed (empty after a success).
  long LastError() const;
  std::string LastHint() const;

 private:
  struct Request {
    SRB_ExecSCSICmd* srb = nullptr;
    uint8_t* buffer = nullptr;
    ExecCommand command;
    uint8_t sense_len = 0;
    std::unique_ptr<ExecTicket> ticket;
    bool cancelled = false;
  };
  struct FreeAligned {
    size_t alignment;
    void operator()(uint8_t* p) const;
  };

  bool StartWorker();
  void Run();
  // Writes the outcome into the caller's block and buffer (lock held).
  void Complete(SRB_ExecSCSICmd* srb, uint8_t* buffer, const ExecCommand& command,
                uint8_t sense_len, const ExecOutcome& o);

  const Options options_;
  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable wake_;
  long last_error_ = 0;
  std::string last_hint_;
  std::deque<Request> queue_;
  std::optional<Request> running_;
  bool stop_ = false;
  std::thread worker_;
  // Only the worker touches it while a command runs.
  std::unique_ptr<uint8_t, FreeAligned> transfer_;
};

}  // namespace qx
