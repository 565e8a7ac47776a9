#include "history/history.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "decode/latin1.h"
#include "download/procedure.h"

namespace qx::history {

namespace {

using nlohmann::json;

}  // namespace

json ToJson(const Record& r) {
  json j = {{"kind", r.kind},
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
  if (r.kind == "download") {
    j.update({{"release", r.release},
              {"checksum", r.checksum},
              {"area_flags", r.area_flags},
              {"blocks_planned", r.blocks_planned},
              {"blocks_sent", r.blocks_sent},
              {"outcome", r.outcome},
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
  r.kind = j.at("kind").get<std::string>();
  if (r.kind != "download" && r.kind != "verify") throw std::runtime_error("unknown kind");
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
  if (r.kind == "download") {
    r.checksum = j.at("checksum").get<double>();
    r.area_flags = j.at("area_flags").get<std::array<int, 3>>();
    r.blocks_planned = j.at("blocks_planned").get<int>();
    r.blocks_sent = j.at("blocks_sent").get<int>();
    r.outcome = j.at("outcome").get<std::string>();
    r.block = j.at("block").get<int>();
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

std::string DefaultPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/qxflash/history.jsonl";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.local/state/qxflash/history.jsonl";
  }
  return {};
}

std::string NowUtc() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

bool Append(const std::string& path, const Record& record, std::string* error) {
  if (path.empty()) {
    *error = "no place for the history (neither XDG_STATE_HOME nor HOME is set)";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const std::string line =
      ToJson(record).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open the history " + path + ": " + std::strerror(errno);
    return false;
  }
  // One write of the whole line: with O_APPEND it lands after every earlier
  // record, and a crash can tear only this line.
  const ssize_t n = write(fd, line.data(), line.size());
  const int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(line.size())) {
    *error =
        "cannot write the history " + path + ": " + (n < 0 ? std::strerror(err) : "short write");
    return false;
  }
  return true;
}

Contents Read(const std::string& path) {
  Contents c;
  std::ifstream in(path, std::ios::binary);
  if (!in) return c;
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
    if (r.kind == "download") {
      download = &r;
      last_verify = nullptr;
    } else if (download != nullptr) {
      last_verify = &r;
    }
  }
  if (download == nullptr || download->outcome != "done") return std::nullopt;
  Record v;
  v.kind = "verify";
  v.time = NowUtc();
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
    if (r.kind == "download" && r.drive.SameAs(verify.drive)) date = r.time.substr(0, 10);
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

std::optional<DownloadOutcome> Log::RecordDownload(MainForm& form) {
  Drive drive = DriveAt(SelectedHaId, SelectedTargetId, SelectedLun, form.ComboID.Text());
  // DataBuf still holds the chosen target's INQUIRY data.
  drive.vendor.assign(reinterpret_cast<const char*>(&DataBuf[8]), 8);
  const std::string version_before = form.FWVer.Caption;
  auto outcome = form.StartDownload();
  if (outcome) {
    if (auto record = Attempt(drive, version_before, *outcome)) Append(std::move(*record));
  }
  return outcome;
}

Drive Log::DriveAt(int ha, int target, int lun, const std::string& item) {
  Drive d;
  const auto manager = InstalledAspiManager();
  d.ha = ha;
  d.target = target;
  d.lun = lun;
  if (manager) {
    d.transport = manager->Name();
    const auto where = manager->DeviceLocation(
        static_cast<uint8_t>(ha), static_cast<uint8_t>(target), static_cast<uint8_t>(lun));
    d.address = where.address;
    d.node = where.node;
  }
  d.product = item.substr(item.find(':') + 1);
  return d;
}

std::optional<Record> Log::Attempt(const Drive& drive, const std::string& version_before,
                                   const DownloadOutcome& end) const {
  if (!end.confirmed()) return std::nullopt;
  Record r;
  r.time = NowUtc();
  r.drive = drive;
  r.version_before = version_before;
  r.release = end.file;
  r.checksum = end.checksum;
  for (size_t i = 0; i < r.area_flags.size(); ++i) r.area_flags[i] = end.area_flags[i];
  r.blocks_planned = end.blocks_planned;
  r.blocks_sent = end.blocks_sent;
  r.block = end.block;
  r.message = end.message;
  switch (end.end) {
    case DownloadEnd::kDone:
      r.outcome = "done";
      break;
    case DownloadEnd::kAborted:
      r.outcome = "aborted";
      break;
    case DownloadEnd::kLoadFailed:
      r.outcome = "check_failed";
      break;
    default:
      r.outcome = "failed";
      break;
  }
  return r;
}

std::optional<Record> Log::Check(const Drive& drive, const std::string& caption) {
  if (!enabled()) return std::nullopt;
  auto verify = Verify(Read().records, drive, caption);
  if (verify) Append(*verify);
  return verify;
}

}  // namespace qx::history
