// What the history says: attempts, the check after a power cycle, listings.
#include "history/history.h"

#include <cstdio>
#include <random>
#include <unordered_set>
#include <utility>

#include "platform/os.h"
#include "text/text.h"

namespace qx::history {

namespace {

// An id for one attempt, shared by its start record and its outcome.
std::string NewAttemptId() {
  std::random_device random;
  const unsigned long long id = (static_cast<unsigned long long>(random()) << 32) ^ random();
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", id);
  return text;
}

// Whether the attempt of start record `start` reported its end.
bool Completed(const std::vector<Record>& records, const Record& start) {
  for (const auto& r : records) {
    if (r.kind == RecordKind::kDownload && !start.attempt.empty() && r.attempt == start.attempt) {
      return true;
    }
  }
  return false;
}

// The last start or download record of `drive`, or null.
const Record* LastAttempt(const std::vector<Record>& records, const Drive& drive) {
  const Record* last = nullptr;
  for (const auto& r : records) {
    const bool attempt = r.kind == RecordKind::kStart || r.kind == RecordKind::kDownload;
    if (attempt && r.drive.SameAs(drive)) last = &r;
  }
  return last;
}

}  // namespace

bool Drive::SameAs(const Drive& o) const {
  return transport == o.transport && ha == o.ha && target == o.target && lun == o.lun &&
         address == o.address && TrimSpaces(product) == TrimSpaces(o.product);
}

Drive DriveOf(const ScanResult& scan, const ScannedAdapter& adapter, const ScannedTarget& target) {
  Drive d;
  d.transport = scan.transport;
  d.ha = adapter.ha;
  d.target = target.id;
  d.lun = scan.lun;
  d.address = target.address;
  d.node = target.node;
  d.vendor = target.vendor;
  d.product = target.item.substr(target.item.find(':') + 1);
  return d;
}

std::optional<Record> Verify(const std::vector<Record>& records, const Drive& drive,
                             const std::string& caption) {
  const Record* download = nullptr;
  const Record* last_verify = nullptr;
  for (const auto& r : records) {
    if (!r.drive.SameAs(drive)) continue;
    if (r.kind == RecordKind::kDownload) {
      download = &r;
      last_verify = nullptr;
    } else if (r.kind == RecordKind::kVerify && download != nullptr) {
      last_verify = &r;
    }
  }
  if (download == nullptr || download->end != DownloadEnd::kDone) return std::nullopt;
  Record v;
  v.kind = RecordKind::kVerify;
  v.time = os::UtcNow();
  v.drive = drive;
  v.version_before = download->version_before;
  v.release = download->release;
  v.version_now = caption;
  v.changed = caption != download->version_before;
  // Said once per result: a changed version is final, an unchanged one is
  // said again only after it changed in between.
  if (last_verify != nullptr && (last_verify->changed || last_verify->version_now == caption)) {
    return std::nullopt;
  }
  return v;
}

std::optional<std::string> DriveNote(const std::vector<Record>& records, const Drive& drive) {
  const Record* last = LastAttempt(records, drive);
  if (last == nullptr) return std::nullopt;
  if (last->kind == RecordKind::kStart) {
    if (!Completed(records, *last)) {
      return last->running ? InProgressText(*last) : InterruptedText(*last);
    }
    return std::nullopt;
  }
  return "the last download to this drive, " + last->release + " on " + last->time.substr(0, 10) +
         " over firmware " + VersionText(last->version_before) + ", ended " + ToString(last->end) +
         " with " + std::to_string(last->blocks_sent) + " of " +
         std::to_string(last->blocks_planned) + " blocks sent";
}

std::string VersionText(const std::string& caption) {
  const std::string text = TrimSpaces(caption);
  const size_t gap = text.find(' ');
  if (gap == std::string::npos) return text;
  const std::string rest = TrimSpaces(text.substr(gap + 1));
  if (rest.front() == '(') return text.substr(0, gap) + " " + rest;
  return text.substr(0, gap) + " (" + rest + ")";
}

std::string VerifyText(const Record& verify, const std::vector<Record>& records) {
  if (!verify.changed) {
    return "unchanged since the download: switch the drive off and on to start the new firmware";
  }
  std::string date;
  for (const auto& r : records) {
    if (r.kind == RecordKind::kDownload && r.drive.SameAs(verify.drive))
      date = r.time.substr(0, 10);
  }
  return "firmware now " + VersionText(verify.version_now) + ", was " +
         VersionText(verify.version_before) + " before " + verify.release + " on " + date;
}

std::vector<Entry> Listing(const std::vector<Record>& records) {
  std::unordered_set<std::string> completed;
  for (const auto& r : records) {
    if (r.kind == RecordKind::kDownload && !r.attempt.empty()) completed.insert(r.attempt);
  }
  std::vector<Entry> entries;
  for (const auto& r : records) {
    if (r.kind != RecordKind::kStart) {
      entries.push_back({&r, false, false});
    } else if (r.attempt.empty() || !completed.count(r.attempt)) {
      entries.push_back({&r, !r.running, r.running});
    }
  }
  return entries;
}

std::string AttemptLockPath(const std::string& path, const std::string& attempt) {
  // Only an id as NewAttemptId makes it names a file: a damaged history
  // cannot point the check anywhere else.
  if (attempt.size() != 16 || attempt.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return {};
  }
  return path + "." + attempt + ".lock";
}

std::string InProgressText(const Record& start) {
  std::string text =
      "the download of " + start.release + " on " + start.time.substr(0, 10) + " is in progress";
  if (start.pid > 0) text += " (process " + std::to_string(start.pid) + ")";
  return text;
}

std::string InterruptedText(const Record& start) {
  return "the download of " + start.release + " on " + start.time.substr(0, 10) +
         " never reported its end (the program was killed or the machine lost power): some of "
         "its " +
         std::to_string(start.blocks_planned) +
         " blocks may have reached the drive. Download the release again before switching the "
         "drive off";
}

EntryWords Describe(const Entry& entry, const std::vector<Record>& records) {
  const Record& r = *entry.record;
  const std::string planned = std::to_string(r.blocks_planned);
  switch (r.kind) {
    case RecordKind::kStart:
      if (entry.in_progress) {
        std::string outcome = "in progress";
        if (r.pid > 0) outcome += " (process " + std::to_string(r.pid) + ")";
        return {outcome, "?/" + planned, ""};
      }
      return {"interrupted", "?/" + planned, InterruptedText(r)};
    case RecordKind::kDownload:
      return {ToString(r.end), std::to_string(r.blocks_sent) + "/" + planned, r.message};
    case RecordKind::kDryRun:
      return {r.would_start ? "dry run: would start" : "dry run: would be refused", "0/" + planned,
              r.would_start ? std::string() : r.message};
    case RecordKind::kVerify:
      break;
  }
  return {r.changed ? "verified: changed" : "verified: unchanged", "", VerifyText(r, records)};
}

Log::Log(std::string path, std::string program_version, std::string unavailable)
    : path_(std::move(path)),
      program_version_(std::move(program_version)),
      unavailable_(std::move(unavailable)) {}

Log Log::ForUser(bool wanted, std::string program_version) {
  if (!wanted) return Log({}, std::move(program_version));
  std::string path = DefaultPath();
  if (path.empty()) {
    return Log({}, std::move(program_version),
               "no place for the download history (" + os::NoStateDirectoryReason() + ")");
  }
  return Log(std::move(path), std::move(program_version));
}

const Contents& Log::Read() {
  if (!read_ && enabled()) {
    contents_ = history::Read(path_);
    if (on_warning) {
      for (const auto& w : contents_.warnings) on_warning(w);
    }
  }
  read_ = true;
  return contents_;
}

bool Log::Append(Record record) {
  if (!enabled()) return false;
  Read();  // before the write, so the new record is not read back a second time
  record.program_version = program_version_;
  std::string error;
  const bool written = history::Append(path_, record, &error);
  if (!written && on_warning) on_warning(error);
  contents_.records.push_back(std::move(record));
  return written;
}

void Log::SayNotRecorded() {
  if (unavailable_.empty() || said_unavailable_) return;
  said_unavailable_ = true;
  if (on_warning) on_warning(unavailable_ + "; this download is not recorded");
}

Record Log::AttemptRecord(RecordKind kind, const Drive& drive, const std::string& version_before,
                          const DownloadOutcome& outcome) const {
  Record r;
  r.kind = kind;
  r.time = os::UtcNow();
  r.attempt = attempt_;
  r.drive = drive;
  r.version_before = version_before;
  r.release = outcome.file;
  r.checksum = outcome.checksum;
  for (size_t i = 0; i < r.area_flags.size(); ++i) r.area_flags[i] = outcome.area_flags[i];
  r.blocks_planned = outcome.blocks_planned;
  r.blocks_sent = outcome.blocks_sent;
  r.block = outcome.block;
  r.message = outcome.message;
  r.end = outcome.end;
  return r;
}

void Log::BeginAttempt(const Drive& drive, const std::string& version_before,
                       const DownloadOutcome& so_far) {
  SayNotRecorded();
  if (!enabled()) return;
  attempt_ = NewAttemptId();
  // Held until the attempt's end is recorded; a process killed meanwhile
  // loses it, and the attempt then reads as interrupted.
  std::string why;
  attempt_lock_ = os::HoldLock(AttemptLockPath(path_, attempt_), &why);
  Record start = AttemptRecord(RecordKind::kStart, drive, version_before, so_far);
  start.pid = os::ProcessId();
  if (Append(std::move(start)) && !attempt_lock_ && on_warning) {
    on_warning("cannot lock " + AttemptLockPath(path_, attempt_) + ": " + why +
               "; until this download ends, others see it as interrupted");
  }
}

void Log::RecordAttempt(const Drive& drive, const std::string& version_before,
                        const DownloadOutcome& outcome) {
  if (!outcome.confirmed()) return;
  SayNotRecorded();
  Append(AttemptRecord(RecordKind::kDownload, drive, version_before, outcome));
  attempt_lock_.reset();  // after the end is on record: the attempt never reads as cut short
  attempt_.clear();
}

void Log::RecordDryRun(const Drive& drive, const std::string& version_before,
                       const DownloadOutcome& outcome, bool would_start) {
  if (!enabled()) return;
  Record r = AttemptRecord(RecordKind::kDryRun, drive, version_before, outcome);
  r.attempt.clear();  // a dry run is no attempt: nothing waits for its end
  r.would_start = would_start;
  Append(std::move(r));
}

std::vector<ScanNotice> Log::CheckScan(const ScanResult& scan) {
  std::vector<ScanNotice> notices;
  if (!enabled()) return notices;
  for (const auto& a : scan.adapters) {
    for (const auto& t : a.targets) {
      const Drive drive = DriveOf(scan, a, t);
      ScanNotice n;
      n.ha = a.ha;
      n.id = t.id;
      const Record* last = LastAttempt(Read().records, drive);
      if (last != nullptr && last->kind == RecordKind::kStart &&
          !Completed(Read().records, *last)) {
        // Said after every scan until another attempt on the drive ends.
        n.interrupted = !last->running;
        n.in_progress = last->running;
        n.text = last->running ? InProgressText(*last) : InterruptedText(*last);
      } else if (auto verify = Verify(Read().records, drive, t.caption)) {
        Append(*verify);
        n.changed = verify->changed;
        n.text = VerifyText(*verify, Read().records);
      } else {
        continue;
      }
      n.line = "Target " + std::to_string(a.ha) + ":" + TrimTrailingSpaces(t.item) + ": " + n.text;
      notices.push_back(std::move(n));
    }
  }
  return notices;
}

}  // namespace qx::history
