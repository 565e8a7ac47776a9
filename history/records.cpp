// The history file: records as JSON objects, one per line, and their checks.
#include <cmath>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <utility>

#include "history/history.h"
#include "platform/os.h"
#include "text/text.h"

namespace qx::history {

namespace {

using nlohmann::json;

// Largest history file read; far beyond what years of downloads write.
constexpr uint64_t kMaxHistoryBytes = 64ull << 20;
// Damaged line numbers a warning names before it only counts the rest.
constexpr size_t kDamagedNamed = 5;

constexpr std::pair<RecordKind, const char*> kKindWords[] = {
    {RecordKind::kStart, "start"},
    {RecordKind::kDownload, "download"},
    {RecordKind::kVerify, "verify"},
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

std::string Text(const json& j, const char* key, bool required = true) {
  if (!required && !j.contains(key)) return {};
  std::string s = j.at(key).get<std::string>();
  if (required && s.empty()) throw Damaged(std::string(key) + " is empty");
  return s;
}

void CheckTime(const std::string& time) {
  static const std::regex kIso(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z)");
  if (!std::regex_match(time, kIso)) throw Damaged("time is not UTC ISO 8601");
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
      break;
    case RecordKind::kDownload:
      ReadRelease(j, r);
      r.blocks_sent = Whole(j, "blocks_sent", 0, r.blocks_planned);
      r.block = Whole(j, "block", -1, 15);
      r.end = EndFromWord(j.at("outcome").get<std::string>(), r.block);
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

}  // namespace

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
  if (r.kind == RecordKind::kDownload) {
    j.update({{"blocks_sent", r.blocks_sent},
              {"outcome", ToString(r.end)},
              {"block", r.block},
              {"message", r.message}});
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
      *error = "cannot write the history " + path + ": " + w.reason;
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
  return c;
}

}  // namespace qx::history
