#include "history/history.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include "platform/os.h"
#include "text/text.h"

namespace qx::history {

namespace {

using nlohmann::json;

// Largest history file read; far beyond what years of downloads write.
constexpr uint64_t kMaxHistoryBytes = 64ull << 20;

constexpr std::pair<RecordKind, const char*> kKindWords[] = {
    {RecordKind::kDownload, "download"},
    {RecordKind::kVerify, "verify"},
};

// How an attempt ended, as the file says it. Files written before the endings
// had one word each said "failed" for a preparation or block failure (told
// apart by the block) and "check_failed" for a release that failed to load.
DownloadEnd EndFromWord(const std::string& word, int block) {
  if (auto end = DownloadEndFromString(word); end && *end != DownloadEnd::kCheckFailed) return *end;
  if (word == "check_failed") return DownloadEnd::kLoadFailed;
  if (word == "failed")
    return block >= 0 ? DownloadEnd::kBlockFailed : DownloadEnd::kPreparationFailed;
  throw std::runtime_error("unknown outcome");
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
            {"program_version", r.program_version}};
  if (!r.drive.address.empty()) j["address"] = r.drive.address;
  if (!r.drive.node.empty()) j["node"] = r.drive.node;
  if (r.kind == RecordKind::kDownload) {
    j.update({{"release", r.release},
              {"checksum", r.checksum},
              {"area_flags", r.area_flags},
              {"blocks_planned", r.blocks_planned},
              {"blocks_sent", r.blocks_sent},
              {"outcome", ToString(r.end)},
              {"block", r.block},
              {"message", r.message}});
  } else {
    j.update({{"release", r.release},
              {"version_now", Latin1ToUtf8(r.version_now)},
              {"changed", r.changed}});
  }
  return j;
}

namespace {

Record FromJson(const json& j) {
  Record r;
  const auto kind = RecordKindFromString(j.at("kind").get<std::string>());
  if (!kind) throw std::runtime_error("unknown kind");
  r.kind = *kind;
  r.time = j.at("time").get<std::string>();
  r.drive.transport = j.at("transport").get<std::string>();
  r.drive.ha = j.at("ha").get<int>();
  r.drive.target = j.at("target").get<int>();
  r.drive.lun = j.at("lun").get<int>();
  r.drive.address = j.value("address", "");
  r.drive.node = j.value("node", "");
  r.drive.vendor = Utf8ToLatin1(j.at("vendor").get<std::string>());
  r.drive.product = Utf8ToLatin1(j.at("product").get<std::string>());
  r.version_before = Utf8ToLatin1(j.at("version_before").get<std::string>());
  r.program_version = j.value("program_version", "");
  r.release = j.value("release", "");
  if (r.kind == RecordKind::kDownload) {
    r.checksum = j.at("checksum").get<double>();
    r.area_flags = j.at("area_flags").get<std::array<int, 3>>();
    r.blocks_planned = j.at("blocks_planned").get<int>();
    r.blocks_sent = j.at("blocks_sent").get<int>();
    r.block = j.at("block").get<int>();
    r.end = EndFromWord(j.at("outcome").get<std::string>(), r.block);
    r.message = j.at("message").get<std::string>();
  } else {
    r.version_now = Utf8ToLatin1(j.at("version_now").get<std::string>());
    r.changed = j.at("changed").get<bool>();
  }
  return r;
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
  const os::FileWrite w = os::AppendLine(path, line, false);
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
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    try {
      c.records.push_back(FromJson(json::parse(line)));
    } catch (const std::exception&) {
      c.warnings.push_back("history line " + std::to_string(number) + " is damaged; skipped");
    }
  }
  return c;
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
    } else if (download != nullptr) {
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

Log::Log(std::string path, std::string program_version)
    : path_(std::move(path)), program_version_(std::move(program_version)) {}

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

void Log::Append(Record record) {
  if (!enabled()) return;
  Read();  // before the write, so the new record is not read back a second time
  record.program_version = program_version_;
  std::string error;
  if (!history::Append(path_, record, &error) && on_warning) on_warning(error);
  contents_.records.push_back(std::move(record));
}

void Log::RecordAttempt(const Drive& drive, const std::string& version_before,
                        const DownloadOutcome& outcome) {
  if (!outcome.confirmed()) return;
  Record r;
  r.time = os::UtcNow();
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
  Append(std::move(r));
}

std::vector<ScanNotice> Log::CheckScan(const ScanResult& scan) {
  std::vector<ScanNotice> notices;
  if (!enabled()) return notices;
  for (const auto& a : scan.adapters) {
    for (const auto& t : a.targets) {
      auto verify = Verify(Read().records, DriveOf(scan, a, t), t.caption);
      if (!verify) continue;
      Append(*verify);
      ScanNotice n;
      n.ha = a.ha;
      n.id = t.id;
      n.changed = verify->changed;
      n.text = VerifyText(*verify, Read().records);
      n.line = "Target " + std::to_string(a.ha) + ":" + TrimTrailingSpaces(t.item) + ": " + n.text;
      notices.push_back(std::move(n));
    }
  }
  return notices;
}

}  // namespace qx::history
