// The download history: one JSON object per line (JSON Lines) for every
// download attempt that got past the confirmation, and for every check of a
// drive's firmware version after such a download. Each record is appended
// with one write, so a torn write can only damage the last line; damaged
// lines are skipped on reading, with a warning.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "download/procedure.h"
#include "ui/main_form.h"

namespace qx::history {

struct Drive {
  std::string transport = {};  // the manager's name ("simulated bus", "SCSI generic")
  int ha = 0, target = 0, lun = 0;
  std::string address = {}, node = {};  // where the transport gives them (SG: H:C:T:L, /dev/sgN)
  std::string vendor = {}, product = {};
  bool SameAs(const Drive& other) const;  // transport, address and product
};

struct Record {
  std::string kind = "download";  // "download" or "verify"
  std::string time;               // UTC, ISO 8601 ("2026-12-08T22:45:44Z")
  Drive drive;
  std::string version_before;  // firmware version caption read before the download
  // download
  std::string release;  // parameter file name
  double checksum = 0;
  std::array<int, 3> area_flags{};
  int blocks_planned = 0, blocks_sent = 0;
  std::string outcome;  // done, aborted, failed, check_failed
  int block = -1;       // aborted or failed at this buffer ID
  std::string message;
  // verify
  std::string version_now;
  bool changed = false;
  std::string program_version;
};

// $XDG_STATE_HOME/qxflash/history.jsonl, by default ~/.local/state/qxflash/...;
// empty when neither XDG_STATE_HOME nor HOME is set.
std::string DefaultPath();

std::string NowUtc();

// Appends one record (creating the directory); false with *error when it cannot.
bool Append(const std::string& path, const Record& record, std::string* error);

struct Contents {
  std::vector<Record> records;
  std::vector<std::string> warnings;  // one per damaged line ("line 7: ...")
};
// A missing file is an empty history.
Contents Read(const std::string& path);

// The check after the power cycle: given the history and a drive whose
// firmware version caption reads `caption` now, the verification to show and
// record, or nullopt when there is nothing to say (no finished download of
// this drive, or this result was recorded already).
std::optional<Record> Verify(const std::vector<Record>& records, const Drive& drive,
                             const std::string& caption);
// The operator's line for a verification record.
std::string VerifyText(const Record& verify, const std::vector<Record>& records);

// The record as one JSON object (drive texts as UTF-8 from single bytes).
nlohmann::json ToJson(const Record& record);

// A firmware version caption (" 1.10 (2003/05/12)  ", " 1.10 2003/05/12")
// as "1.10 (2003/05/12)".
std::string VersionText(const std::string& caption);

// The history as a front end uses it: read once, appended to, and consulted
// after every scan. A history that cannot be read or written only warns.
class Log {
 public:
  // `path` empty: no history at all (nothing read, nothing recorded).
  Log(std::string path, std::string program_version);
  bool enabled() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

  const Contents& Read();  // once; damaged lines go to on_warning
  void Append(Record record);

  // The drive at adapter/target/LUN of the installed transport; `item` is its
  // ComboID entry ("N:PRODUCT").
  static Drive DriveAt(int ha, int target, int lun, const std::string& item);
  // Runs the form's download (Download Start) and records the attempt: the
  // chosen drive and its firmware caption before it, the outcome after it.
  // Attempts that never got past the confirmation are not recorded.
  std::optional<DownloadOutcome> RecordDownload(MainForm& form);
  // After a scan found `drive` with firmware caption `caption`: the
  // verification to show (already recorded), or nullopt.
  std::optional<Record> Check(const Drive& drive, const std::string& caption);

  std::function<void(const std::string&)> on_warning;

 private:
  std::optional<Record> Attempt(const Drive& drive, const std::string& version_before,
                                const DownloadOutcome& end) const;
  std::string path_;
  std::string program_version_;
  Contents contents_;
  bool read_ = false;
};

}  // namespace qx::history
