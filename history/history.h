// The download history: one JSON object per line (JSON Lines) for every
// download attempt that got past the confirmation, and for every check of a
// drive's firmware version after such a download. Each record is appended
// with one write, so a torn write can only damage the last line; damaged
// lines are skipped on reading, with a warning.
//
// The history is storage: it records attempts from plain values (the drive's
// identity, the caption read before, the download's outcome) and checks the
// result of a bus scan against what it holds. It knows nothing of windows.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "aspi/bus_scan.h"
#include "download/procedure.h"
#include "platform/os.h"

namespace qx::history {

struct Drive {
  std::string transport = {};  // the manager's name ("simulated bus", "SCSI generic")
  int ha = 0, target = 0, lun = 0;
  std::string address = {}, node = {};  // where the transport gives them (SG: H:C:T:L, /dev/sgN)
  std::string vendor = {}, product = {};
  bool SameAs(const Drive& other) const;  // transport, address and product
};

// The drive a scan listed at `adapter`/`target`.
Drive DriveOf(const ScanResult& scan, const ScannedAdapter& adapter, const ScannedTarget& target);

enum class RecordKind {
  kStart,     // a download attempt is about to send its first command to the drive
  kDownload,  // a download attempt and how it ended
  kVerify,    // the firmware version of a drive checked after its download
  kDryRun,    // a rehearsal of a download that sent nothing that changes the drive
};
// "start", "download", "verify", "dry_run".
const char* ToString(RecordKind kind);
std::optional<RecordKind> RecordKindFromString(std::string_view word);

struct Record {
  RecordKind kind = RecordKind::kDownload;
  std::string time;     // UTC, ISO 8601 ("2026-12-08T22:45:44Z")
  std::string attempt;  // what a start record and its outcome share (empty in older files)
  Drive drive;
  std::string version_before;  // firmware version caption read before the download
  // download
  std::string release;  // parameter file name
  double checksum = 0;
  std::array<int, 3> area_flags{};
  int blocks_planned = 0, blocks_sent = 0;
  DownloadEnd end = DownloadEnd::kDone;
  int block = -1;  // aborted or failed at this buffer ID
  std::string message;
  // verify
  std::string version_now;
  bool changed = false;
  std::string program_version;
  // start: the process that runs the attempt (0: not recorded, as in older files)
  int64_t pid = 0;
  // dry run: whether the real download would have started (its message says
  // why not when it would not)
  bool would_start = false;
  // Not stored: set on reading when the attempt's process still runs (it
  // holds the attempt's lock), so that an attempt in progress is not taken
  // for one that was cut short.
  bool running = false;
};

// history.jsonl in the per-user state directory; empty when the environment
// names no such directory.
std::string DefaultPath();

// Appends one record (creating the directory) and flushes it to the disk;
// false with *error when it cannot.
bool Append(const std::string& path, const Record& record, std::string* error);

struct Contents {
  std::vector<Record> records;
  // What the reader could not take: a file that is not a regular file, damaged
  // lines (said once, with their count), ...
  std::vector<std::string> warnings;
};
// A missing file is an empty history. A line that is not a record, or whose
// values cannot be right (an adapter above 7, a fractional number, no time or
// a time that is no date, no version before, a start with no block planned),
// is damaged and skipped. A start record without its end is marked `running`
// while its process holds the attempt's lock.
Contents Read(const std::string& path);

// Why no history can be kept at `path`: a file stands where one of the
// folders of the path should be. nullopt when nothing stands in the way.
std::optional<std::string> NoPlaceFor(const std::string& path);

// What a listing of the history shows: every record but the start records of
// attempts that reported their end; a start record whose attempt never did is
// shown in progress while its process runs, else as interrupted.
struct Entry {
  const Record* record = nullptr;
  bool interrupted = false;
  bool in_progress = false;
};
std::vector<Entry> Listing(const std::vector<Record>& records);
// The operator's line for an interrupted attempt (a start record), with what
// to do about it.
std::string InterruptedText(const Record& start);
// The operator's line for an attempt in progress ("... is in progress
// (process 4711)").
std::string InProgressText(const Record& start);
// The lock file the process of attempt `attempt` holds while it runs, beside
// the history `path`; empty for an attempt id this program never makes.
std::string AttemptLockPath(const std::string& path, const std::string& attempt);
// An entry in words, the same in every listing: how it ended ("done",
// "interrupted", "verified: changed"), its blocks ("16/16", "?/16"; empty for
// a verification) and its text (a download's message, the verification's
// line, what to do about an interrupted attempt).
struct EntryWords {
  std::string outcome, blocks, text;
};
EntryWords Describe(const Entry& entry, const std::vector<Record>& records);

// The check after the power cycle: given the history and a drive whose
// firmware version caption reads `caption` now, the verification to show and
// record, or nullopt when there is nothing to say (no finished download of
// this drive, or this result was recorded already).
std::optional<Record> Verify(const std::vector<Record>& records, const Drive& drive,
                             const std::string& caption);
// What the history says about `drive`'s last download, for a dry run: an
// attempt interrupted or in progress, or how the last one ended; nullopt
// when it holds none.
std::optional<std::string> DriveNote(const std::vector<Record>& records, const Drive& drive);
// The operator's line for a verification record.
std::string VerifyText(const Record& verify, const std::vector<Record>& records);

// The record as one JSON object (drive texts as UTF-8 from single bytes).
nlohmann::json ToJson(const Record& record);

// A firmware version caption (" 1.10 (2003/05/12)  ", " 1.10 2003/05/12")
// as "1.10 (2003/05/12)".
std::string VersionText(const std::string& caption);

// What the history says about one drive a scan listed.
struct ScanNotice {
  int ha = 0;
  int id = 0;
  bool interrupted = false;  // the drive's last download never reported its end
  bool in_progress = false;  // the drive's last download runs in another process
  bool changed = false;      // the firmware version differs from the one before the download
  std::string text;          // "firmware now ..., was ..." or the power-cycle reminder
  std::string line;          // "Target HA:N:PRODUCT: " + text, for the operator
};

// The history as a front end uses it: read once, appended to, and consulted
// after every scan. A history that cannot be read or written only warns.
class Log {
 public:
  // `path` empty: no history (nothing read, nothing recorded). `unavailable`:
  // why there is none although one was wanted (no state directory); a
  // download then says once that it is not recorded.
  Log(std::string path, std::string program_version, std::string unavailable = {});
  // The operator's history (DefaultPath()), or none when not `wanted`.
  static Log ForUser(bool wanted, std::string program_version);
  bool enabled() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  const std::string& unavailable() const { return unavailable_; }

  const Contents& Read();  // once; its warnings go to on_warning
  // False (said through on_warning) when the record could not be written.
  bool Append(Record record);

  // Before the first command of a download goes to `drive`: the record that
  // the attempt has begun, on the disk before the call returns, so that an
  // attempt cut short by a crash or a power cut is not forgotten. `so_far` has
  // the release's file, area flags, checksum and planned blocks.
  void BeginAttempt(const Drive& drive, const std::string& version_before,
                    const DownloadOutcome& so_far);
  // Records how a download attempt on `drive` ended (completing the attempt
  // begun, if any). Attempts that never got past the confirmation are not
  // recorded.
  void RecordAttempt(const Drive& drive, const std::string& version_before,
                     const DownloadOutcome& outcome);
  // Records a dry run of `outcome.file` on `drive`: `would_start`, or the
  // reason in `outcome.message`.
  void RecordDryRun(const Drive& drive, const std::string& version_before,
                    const DownloadOutcome& outcome, bool would_start);
  // After a scan: for each listed drive whose last download finished, whether
  // its firmware changed since; each notice is recorded before it is returned.
  std::vector<ScanNotice> CheckScan(const ScanResult& scan);

  std::function<void(const std::string&)> on_warning;

 private:
  Record AttemptRecord(RecordKind kind, const Drive& drive, const std::string& version_before,
                       const DownloadOutcome& outcome) const;
  // Says once that downloads are not recorded, when there is no history.
  void SayNotRecorded();
  std::string path_;
  std::string program_version_;
  std::string unavailable_;
  bool said_unavailable_ = false;
  std::string attempt_;                         // the attempt begun and not yet recorded
  std::unique_ptr<os::HeldLock> attempt_lock_;  // held while that attempt runs
  Contents contents_;
  bool read_ = false;
};

}  // namespace qx::history
