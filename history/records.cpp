// The history file: records as JSON objects, one per line, and their checks.
#include <cmath>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <unordered_set>
#include <utility>

#include "history/history.h"
#include "platform/os.h"
#include "text/text.h"

namespace qx::history {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Largest history file read; far beyond what years of downloads write.
constexpr uint64_t kMaxHistoryBytes = 64ull << 20;
// Damaged line numbers a warning names before it only counts the rest.
constexpr size_t kDamagedNamed = 5;

constexpr std::pair<RecordKind, const char*> kKindWords[] = {
    {RecordKind::kStart, "start"},
    {RecordKind::kDownload, "download"},
    {RecordKind::kVerify, "verify"},
    {RecordKind::kDryRun, "dry_run"},
};

struct Damaged : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// How an attempt ended, as the file says it. Files written before the endings
// had one word each said "failed" for a preparation or block failure (told
// apart by the block) and "check_failed" for a release that failed to load.
DownloadEnd EndFromWord(const std::string& word, int block) {
  if (auto end = DownloadEndFromString(word); end && *end != DownloadEnd::kCheckFailed) return *end;
  if (word == "check_failed") return DownloadEnd::kLoadFailed;
  if (word == "failed")
    return block >= 0 ? DownloadEnd::kBlockFailed : DownloadEnd::kPreparationFailed;
  throw Damaged("unknown outcome");
}

// A whole number in lo..hi; a fraction, text or a value out of range makes
// the record damaged (get<int> would quietly cut 1.5 to 1).
int Whole(const json& j, const char* key, long long lo, long long hi) {
  const json& v = j.at(key);
  if (!v.is_number_integer()) throw Damaged(std::string(key) + " is not a whole number");
  const long long n = v.get<long long>();
  if (n < lo || n > hi) throw Damaged(std::string(key) + " is out of range");
  return static_cast<int>(n);
}

int64_t Whole64(const json& j, const char* key, int64_t lo, int64_t hi) {
  const json& v = j.at(key);
  if (!v.is_number_integer()) throw Damaged(std::string(key) + " is not a whole number");
  const int64_t n = v.get<int64_t>();
  if (n < lo || n > hi) throw Damaged(std::string(key) + " is out of range");
  return n;
}

std::string Text(const json& j, const char* key, bool required = true) {
  if (!required && !j.contains(key)) return {};
  std::string s = j.at(key).get<std::string>();
  if (required && s.empty()) throw Damaged(std::string(key) + " is empty");
  return s;
}

void CheckTime(const std::string& time) {
  static const std::regex kIso(R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})Z)");
  std::smatch m;
  if (!std::regex_match(time, m, kIso)) throw Damaged("time is not UTC ISO 8601");
  auto field = [&m](size_t i) { return std::stoi(m[i].str()); };
  const int year = field(1), month = field(2), day = field(3);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) ||
      field(4) > 23 || field(5) > 59 || field(6) > 59) {
    throw Damaged("time is not a date and time of day");
  }
}

// The release part of start and download records.
void ReadRelease(const json& j, Record& r) {
  r.release = Text(j, "release");
  const double checksum = j.at("checksum").get<double>();
  if (!std::isfinite(checksum)) throw Damaged("checksum is not a number");
  r.checksum = checksum;
  const json& flags = j.at("area_flags");
  if (!flags.is_array() || flags.size() != r.area_flags.size()) throw Damaged("area_flags");
  for (size_t i = 0; i < r.area_flags.size(); ++i) {
    if (!flags[i].is_number_integer()) throw Damaged("area_flags");
    r.area_flags[i] = flags[i].get<int16_t>();
  }
  r.blocks_planned = Whole(j, "blocks_planned", 0, 16);
}

Record FromJson(const json& j) {
  Record r;
  const auto kind = RecordKindFromString(j.at("kind").get<std::string>());
  if (!kind) throw Damaged("unknown kind");
  r.kind = *kind;
  r.time = Text(j, "time");
  CheckTime(r.time);
  r.attempt = Text(j, "attempt", false);
  r.drive.transport = Text(j, "transport");
  r.drive.ha = Whole(j, "ha", 0, 7);
  r.drive.target = Whole(j, "target", 0, 7);
  r.drive.lun = Whole(j, "lun", 0, 255);
  r.drive.address = Text(j, "address", false);
  r.drive.node = Text(j, "node", false);
  r.drive.vendor = Utf8ToLatin1(j.at("vendor").get<std::string>());
  r.drive.product = Utf8ToLatin1(j.at("product").get<std::string>());
  r.version_before = Utf8ToLatin1(Text(j, "version_before"));
  r.program_version = Text(j, "program_version", false);
  switch (r.kind) {
    case RecordKind::kStart:
      ReadRelease(j, r);
      // A start is recorded just before the first command of a release that
      // has blocks to send.
      if (r.blocks_planned == 0) throw Damaged("a start with no block planned");
      if (j.contains("pid")) r.pid = Whole64(j, "pid", 1, std::numeric_limits<int64_t>::max());
      break;
    case RecordKind::kDownload:
      ReadRelease(j, r);
      r.blocks_sent = Whole(j, "blocks_sent", 0, r.blocks_planned);
      r.block = Whole(j, "block", -1, 15);
      r.end = EndFromWord(j.at("outcome").get<std::string>(), r.block);
      r.message = j.at("message").get<std::string>();
      break;
    case RecordKind::kDryRun:
      ReadRelease(j, r);
      r.would_start = j.at("would_start").get<bool>();
      r.message = j.at("message").get<std::string>();
      break;
    case RecordKind::kVerify:
      r.release = Text(j, "release");
      r.version_now = Utf8ToLatin1(Text(j, "version_now"));
      r.changed = j.at("changed").get<bool>();
      break;
  }
  return r;
}

// "history line 3 is damaged; skipped", or for several one line with their
// numbers and count.
std::string DamagedWarning(const std::vector<int>& lines) {
  if (lines.size() == 1) {
    return "history line " + std::to_string(lines[0]) + " is damaged; skipped";
  }
  std::vector<std::string> numbers;
  for (int line : lines) numbers.push_back(std::to_string(line));
  return "history lines " + FirstAndCount(numbers, kDamagedNamed) + " are damaged (" +
         std::to_string(lines.size()) + " in all); skipped";
}

// Which record a failed write leaves out, for the operator.
std::string RecordName(const Record& r) {
  const std::string drive = std::to_string(r.drive.ha) + ":" + std::to_string(r.drive.target);
  switch (r.kind) {
    case RecordKind::kStart:
      return "the record that the download of " + r.release + " to " + drive + " began";
    case RecordKind::kDownload:
      return "the record of how the download of " + r.release + " to " + drive + " ended";
    case RecordKind::kDryRun:
      return "the record of the dry run of " + r.release + " on " + drive;
    case RecordKind::kVerify:
      break;
  }
  return "the record of the firmware check of " + drive + " after " + r.release;
}

}  // namespace

std::optional<std::string> NoPlaceFor(const std::string& path) {
  // The nearest folder of the path that exists: a file there leaves no room
  // for the history below it.
  std::error_code ec;
  for (fs::path p = os::PathFromUtf8(path).parent_path(); !p.empty() && p != p.parent_path();
       p = p.parent_path()) {
    const fs::file_status st = fs::status(p, ec);
    if (!fs::exists(st)) continue;
    if (fs::is_directory(st)) return std::nullopt;
    return "no history can be kept in " + path + ": " + os::Utf8FromPath(p) +
           " is a file, not a folder; nothing can be recorded";
  }
  return std::nullopt;
}

const char* ToString(RecordKind kind) {
  for (const auto& [k, word] : kKindWords) {
    if (k == kind) return word;
  }
  return "unknown";
}

std::optional<RecordKind> RecordKindFromString(std::string_view word) {
  for (const auto& [k, w] : kKindWords) {
    if (word == w) return k;
  }
  return std::nullopt;
}

json ToJson(const Record& r) {
  json j = {{"kind", ToString(r.kind)},
            {"time", r.time},
            {"transport", r.drive.transport},
            {"ha", r.drive.ha},
            {"target", r.drive.target},
            {"lun", r.drive.lun},
            {"vendor", Latin1ToUtf8(r.drive.vendor)},
            {"product", Latin1ToUtf8(r.drive.product)},
            {"version_before", Latin1ToUtf8(r.version_before)},
            {"program_version", r.program_version},
            {"release", r.release}};
  if (!r.attempt.empty()) j["attempt"] = r.attempt;
  if (!r.drive.address.empty()) j["address"] = r.drive.address;
  if (!r.drive.node.empty()) j["node"] = r.drive.node;
  if (r.kind == RecordKind::kVerify) {
    j.update({{"version_now", Latin1ToUtf8(r.version_now)}, {"changed", r.changed}});
    return j;
  }
  j.update({{"checksum", r.checksum},
            {"area_flags", r.area_flags},
            {"blocks_planned", r.blocks_planned}});
  if (r.kind == RecordKind::kStart && r.pid > 0) j["pid"] = r.pid;
  if (r.kind == RecordKind::kDownload) {
    j.update({{"blocks_sent", r.blocks_sent},
              {"outcome", ToString(r.end)},
              {"block", r.block},
              {"message", r.message}});
  }
  if (r.kind == RecordKind::kDryRun) {
    j.update({{"would_start", r.would_start}, {"message", r.message}});
  }
  return j;
}

std::string DefaultPath() {
  const std::string dir = os::StateDirectory();
  return dir.empty() ? std::string() : os::JoinPath(dir, "history.jsonl");
}

bool Append(const std::string& path, const Record& record, std::string* error) {
  if (path.empty()) {
    *error = "no place for the history (" + os::NoStateDirectoryReason() + ")";
    return false;
  }
  const std::string line =
      ToJson(record).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  using Status = os::FileWrite::Status;
  const os::FileWrite w = os::AppendLine(path, line, true);
  switch (w.status) {
    case Status::kOk:
      return true;
    case Status::kCannotOpen:
      *error = "cannot open the history " + path + ": " + w.reason;
      break;
    case Status::kNotRegular:
      *error = "the history " + path + " is not a regular file; nothing recorded";
      break;
    case Status::kCannotWrite:
    case Status::kCannotFlush:
      *error =
          "cannot write the history " + path + ": " + w.reason + "; " + RecordName(record) +
          (w.torn ? " is missing, and a part of it is left at the end of the file" : " is missing");
      break;
  }
  return false;
}

Contents Read(const std::string& path) {
  Contents c;
  using Status = os::FileRead::Status;
  const os::FileRead file = os::ReadRegularFile(path, kMaxHistoryBytes);
  if (file.status == Status::kMissing) return c;
  if (!file.ok()) {
    c.warnings.push_back(file.status == Status::kNotRegular
                             ? "the history " + path + " is not a regular file; not read"
                         : file.status == Status::kTooLarge
                             ? "the history " + path + " is larger than 64 MiB; not read"
                             : "cannot read the history " + path + ": " + file.reason);
    return c;
  }
  std::istringstream in(file.text);
  std::string line;
  std::vector<int> damaged;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    try {
      c.records.push_back(FromJson(json::parse(line)));
    } catch (const std::exception&) {
      damaged.push_back(number);
    }
  }
  if (!damaged.empty()) c.warnings.push_back(DamagedWarning(damaged));
  // Attempts without their end: in progress while their process holds the lock.
  std::unordered_set<std::string> ended;
  for (const auto& r : c.records) {
    if (r.kind == RecordKind::kDownload) ended.insert(r.attempt);
  }
  for (auto& r : c.records) {
    if (r.kind != RecordKind::kStart || r.attempt.empty() || ended.count(r.attempt)) continue;
    const std::string lock = AttemptLockPath(path, r.attempt);
    r.running = !lock.empty() && os::LockHeld(lock);
  }
  return c;
}

}  // namespace qx::history
