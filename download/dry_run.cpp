#include "download/dry_run.h"

#include "aspi/status_codes.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "download/release.h"
#include "text/text.h"

namespace qx {

namespace {

using Verdict = DryRunStep::Verdict;

// "buffer IDs 0 to 14 with mode 4, 15 with mode 5".
std::string BlockList(const std::vector<PlannedBlock>& blocks) {
  std::string text;
  for (size_t i = 0; i < blocks.size();) {
    size_t j = i;
    while (j + 1 < blocks.size() && blocks[j + 1].mode == blocks[i].mode &&
           blocks[j + 1].buffer_id == blocks[j].buffer_id + 1) {
      ++j;
    }
    if (!text.empty()) text += ", ";
    text += std::to_string(blocks[i].buffer_id);
    if (j > i) text += " to " + std::to_string(blocks[j].buffer_id);
    text += " with mode " + std::to_string(blocks[i].mode);
    i = j + 1;
  }
  return text;
}

class Rehearsal {
 public:
  Rehearsal(DryRunForm& form, DryRunReport& report) : form_(form), r_(report) {}

  bool Release() {
    r_.release.file = form_.FileName();
    if (TrimSpaces(r_.release.file).empty()) {
      return Refuse("release", DownloadEnd::kNoFile, "no release chosen (Set File Name)");
    }
    if (auto message =
            HeaderCheck(form_.FirmwareDir() + r_.release.file, form_.TargetEntry(), file_)) {
      return Refuse("release", DownloadEnd::kCheckFailed, OneLine(*message));
    }
    if (auto message = ReleaseLoad(file_, form_.FirmwareDir(), r_.release.file, release_)) {
      return Refuse("release", DownloadEnd::kLoadFailed, OneLine(*message));
    }
    r_.release.area_flags = release_.AreaFlag;
    r_.release.checksum = release_.ParamChecksum;
    for (size_t b : BlocksToSend(release_)) {
      r_.blocks.push_back({static_cast<int>(b), release_.BlockMode[b]});
    }
    r_.release.blocks_planned = static_cast<int>(r_.blocks.size());
    Add("release", Verdict::kOk,
        r_.release.file + ": version and model checked, image read, checksum right");
    Add("drive", Verdict::kOk,
        "target " + TrimTrailingSpaces(form_.TargetEntry()) + ", firmware version " +
            TrimSpaces(form_.FirmwareVersion()));
    return true;
  }

  bool Guards() {
    return Guard("target", form_.CheckTarget(), "a CD/DVD device") &&
           Guard("power", form_.CheckPower(), "the machine's power allows a download");
  }

  // The drive as the download takes it; the reads go to it meanwhile.
  bool DriveWork() {
    const bool taken = Guard("drive_work", form_.BeginDriveWork(),
                             "no file system is mounted from the drive; it can be taken for this "
                             "program alone and the machine kept awake");
    const bool read = taken && StateWord() && Ready();
    form_.EndDriveWork();
    return read;
  }

  void History() {
    if (auto note = form_.HistoryNote()) Add("history", Verdict::kNote, *note);
  }

  void Stopped() {
    const auto stopped = form_.StoppedCommands();
    if (stopped.empty()) return;
    // Only a fault in the procedure sends one; the drive never saw it.
    Refuse("read_only", DownloadEnd::kRefused,
           "the dry run stopped a command that would change the drive (" + stopped.front() +
               "); it never reached the drive");
  }

  void Blocks() {
    if (r_.would_end) return;
    Add("blocks", Verdict::kOk,
        "the download would send " + std::to_string(r_.blocks.size()) +
            " blocks with WRITE BUFFER, buffer IDs " + BlockList(r_.blocks) +
            " (mode 5 saves the blocks into the drive's flash)");
  }

 private:
  bool StateWord() {
    if (!Succeeded(MemoryRead(kStateWordStart, kStateWordEnd, kStateWordArea))) {
      if (LastHaStat != 0) {
        return Refuse("state_word", DownloadEnd::kPreparationFailed,
                      OneLine(ErrMsg) + ": the download would end here");
      }
      Add("state_word", Verdict::kNote,
          "the drive refused the memory read (" + OneLine(ErrMsg) +
              "): the download passes over it and goes on without the preparation command");
      return true;
    }
    const unsigned word = DataBuf[0] * 256u + DataBuf[1];
    r_.state_word = word;
    r_.would_prepare = word != kReadyForFirmware;
    const std::string reads = "0x" + Hex(word) + " at 0x7FE0";
    Add("state_word", Verdict::kOk,
        r_.would_prepare
            ? reads +
                  ": the download would first send the preparation command (vendor "
                  "diagnostic output E3/80), which sets the drive to take new firmware"
            : reads +
                  ": the drive is set to take new firmware; the download would not send "
                  "the preparation command");
    return true;
  }

  bool Ready() {
    if (Succeeded(TestUnitReady())) {
      Add("test_unit_ready", Verdict::kOk, "the drive is ready");
      return true;
    }
    if (LastHaStat != 0) {
      return Refuse("test_unit_ready", DownloadEnd::kPreparationFailed,
                    OneLine(ErrMsg) + ": the download would end here");
    }
    Add("test_unit_ready", Verdict::kNote,
        OneLine(ErrMsg) + ": the download passes over what the drive reports and goes on");
    return true;
  }

  bool Guard(const char* name, const GuardVerdict& v, const std::string& ok) {
    if (v.refusal) return Refuse(name, DownloadEnd::kRefused, OneLine(*v.refusal));
    Add(name, v.note ? Verdict::kNote : Verdict::kOk, v.note ? OneLine(*v.note) : ok);
    return true;
  }

  bool Refuse(const char* name, DownloadEnd end, std::string text) {
    if (!r_.would_end) {
      r_.would_end = end;
      r_.reason = text;
    }
    Add(name, Verdict::kRefused, std::move(text));
    return false;
  }

  void Add(const char* name, Verdict verdict, std::string text) {
    r_.steps.push_back({name, verdict, std::move(text)});
  }

  // Box texts break lines with CR LF; a step is one line.
  static std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
      if (c == '\r') continue;
      if (c == '\n') {
        if (!line.empty() && line.back() != ' ') line += ' ';
        continue;
      }
      line += c;
    }
    return TrimSpaces(line);
  }

  DryRunForm& form_;
  DryRunReport& r_;
  ParameterFile file_;
  qx::Release release_;
};

}  // namespace

const char* ToString(DryRunStep::Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk:
      return "ok";
    case Verdict::kNote:
      return "note";
    case Verdict::kRefused:
      break;
  }
  return "refused";
}

DryRunReport RunDryRun(DryRunForm& form) {
  DryRunReport report;
  Rehearsal r(form, report);
  if (r.Release() && r.Guards()) r.DriveWork();
  r.Stopped();
  r.History();
  r.Blocks();
  return report;
}

}  // namespace qx
