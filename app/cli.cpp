#include "app/cli.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <span>

#include "app/cli_output.h"
#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "commands/hexdump.h"
#include "download/firmware_tag.h"
#include "download/release.h"
#include "history/history.h"
#include "platform/window_system.h"
#include "transport/sim/sim_bus.h"
#include "ui/debug_form.h"
#include "ui/main_form.h"
#ifdef QXFLASH_HAVE_SG
#include "transport/sg/sg_bus.h"
#endif

namespace qx::cli {

namespace {

#ifdef QXFLASH_VERSION
constexpr const char* kProgramVersion = QXFLASH_VERSION;
#else
constexpr const char* kProgramVersion = "";
#endif

// ---------------------------------------------------------------------------
// Stop signals. While blocks may go out, SIGINT, SIGTERM, SIGHUP, SIGQUIT and
// SIGPIPE only ask for an abort: the command in flight completes and the next
// block is not sent. The request is acknowledged at once on stderr. Outside
// that window every signal keeps its default action.

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
volatile std::sig_atomic_t g_stop = 0;  // the signal that asked, 0 for none
char g_ack[160];
volatile std::sig_atomic_t g_ack_len = 0;

extern "C" void OnCliStopSignal(int sig) {
  if (g_stop != 0) return;
  g_stop = sig;
  if (g_ack_len > 0) {
    const int saved = errno;
    (void)!write(STDERR_FILENO, g_ack, static_cast<size_t>(g_ack_len));
    errno = saved;
  }
}

void CatchStopSignals(bool catching) {
  if (catching) {
    g_stop = 0;
    const long long s = (ExecTimeout.count() + 999) / 1000;
    g_ack_len = std::snprintf(
        g_ack, sizeof g_ack,
        "\nAbort requested: the drive finishes the current command first (at most %lld s)\n", s);
  }
  struct sigaction sa {};
  sa.sa_handler = catching ? OnCliStopSignal : SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked read or write returns at once
  for (int sig : kStopSignals) sigaction(sig, &sa, nullptr);
}

// ---------------------------------------------------------------------------
// Tables: options, sub-commands and `send` builders.

class Session;

struct OptionSpec {
  const char* name;
  const char* value;  // name of the value, nullptr for a flag
  const char* help;
  std::function<std::optional<std::string>(Options&, const std::string&)> apply;
};

std::optional<std::string> Conflict(bool clash, const std::string& what) {
  if (clash) return what + " cannot be used together";
  return std::nullopt;
}

const std::vector<OptionSpec>& OptionTable() {
  using O = Options;
  static const std::vector<OptionSpec> table = {
      {"--sim", nullptr, "the simulated bus (default); --sim=FILE.json: a scenario",
       [](O& o, const std::string&) {
         auto clash =
             Conflict(o.transport_given && o.transport == O::Transport::kSg, "--sim and --sg");
         o.transport = O::Transport::kSim;
         o.transport_given = true;
         o.scenario.clear();
         return clash;
       }},
      {"--sg", nullptr, "the drives on this machine (Linux SCSI generic)",
       [](O& o, const std::string&) {
         auto clash =
             Conflict(o.transport_given && o.transport == O::Transport::kSim, "--sim and --sg");
         o.transport = O::Transport::kSg;
         o.transport_given = true;
         return clash;
       }},
      {"--trace", nullptr, "print the trace of every request block",
       [](O& o, const std::string&) {
         o.trace = true;
         return std::nullopt;
       }},
      {"--json", nullptr, "print one JSON object per line for every event",
       [](O& o, const std::string&) {
         o.json = true;
         return std::nullopt;
       }},
      {"--timeout", "SECONDS", "give up on a request after this long (default 300)",
       [](O& o, const std::string& v) -> std::optional<std::string> {
         char* end = nullptr;
         const double s = std::strtod(v.c_str(), &end);
         if (end == v.c_str() || *end != '\0' || !(s >= 0.001) || s > 86400) {
           return "--timeout needs a number of seconds from 0.001 to 86400";
         }
         o.timeout_s = s;
         return std::nullopt;
       }},
      {"--ha", "N", "host adapter of the drive (0-7)",
       [](O& o, const std::string& v) -> std::optional<std::string> {
         auto n = ParseNumber(v);
         if (!n || *n < 0 || *n > 7) return "--ha needs a number from 0 to 7";
         o.ha = static_cast<int>(*n);
         return std::nullopt;
       }},
      {"--id", "M", "target ID of the drive (0-7)",
       [](O& o, const std::string& v) -> std::optional<std::string> {
         auto n = ParseNumber(v);
         if (!n || *n < 0 || *n > 7) return "--id needs a number from 0 to 7";
         o.id = static_cast<int>(*n);
         return std::nullopt;
       }},
      {"--model", "TEXT", "model for check and dump-image (default QX-R4410)",
       [](O& o, const std::string& v) {
         o.model = v;
         return std::nullopt;
       }},
      {"--dir", "DIR", "firmware directory of the desktop window",
       [](O& o, const std::string& v) {
         o.dir = v;
         return std::nullopt;
       }},
      {"--yes", nullptr, "answer the download confirmation with OK",
       [](O& o, const std::string&) {
         auto clash = Conflict(o.confirm == O::Confirm::kNo, "--yes and --no");
         o.confirm = O::Confirm::kYes;
         return clash;
       }},
      {"--no", nullptr, "answer the download confirmation with Cancel",
       [](O& o, const std::string&) {
         auto clash = Conflict(o.confirm == O::Confirm::kYes, "--yes and --no");
         o.confirm = O::Confirm::kNo;
         return clash;
       }},
      {"--no-history", nullptr, "record nothing in the download history",
       [](O& o, const std::string&) {
         o.no_history = true;
         return std::nullopt;
       }},
      {"--help", nullptr, "show this text (also -h)",
       [](O& o, const std::string&) {
         o.help = true;
         return std::nullopt;
       }},
      {"--version", nullptr, "show the program version",
       [](O& o, const std::string&) {
         o.version = true;
         return std::nullopt;
       }},
  };
  return table;
}

struct CommandSpec {
  const char* name;
  const char* synopsis;  // what follows the name
  const char* help;
  size_t max_args;
  int (Session::*run)();
};

struct ArgSpec {
  const char* name;
  long long lo, hi;
};

struct BuilderSpec {
  const char* name;
  std::vector<ArgSpec> args;
  std::function<int16_t(const std::vector<long long>&)> run;
};

// Addresses travel in 24-bit fields; larger values are refused here rather
// than cut to their low bits by the builder.
constexpr ArgSpec Byte(const char* n) {
  return {n, 0, 255};
}
constexpr ArgSpec Addr(const char* n) {
  return {n, 0, 0xFFFFFF};
}

const std::vector<BuilderSpec>& BuilderTable() {
  using A = const std::vector<long long>&;
  static const std::vector<BuilderSpec> table = {
      {"StopUnit", {}, [](A) { return StopUnit(); }},
      {"StartUnit", {}, [](A) { return StartUnit(); }},
      {"TestUnitReady", {}, [](A) { return TestUnitReady(); }},
      {"TestUnitReadyStd", {}, [](A) { return TestUnitReadyStd(); }},
      {"Inquiry", {}, [](A) { return Inquiry(); }},
      {"ReadBuffer", {}, [](A) { return ReadBuffer(); }},
      {"DiIn", {Byte("B1"), Byte("B2")}, [](A a) { return DiIn(a[0], a[1]); }},
      {"DiOut", {Byte("B1"), Byte("B2")}, [](A a) { return DiOut(a[0], a[1]); }},
      {"MemoryRead",
       {Addr("START"), Addr("END"), Byte("AREA")},
       [](A a) { return MemoryRead(a[0], a[1], a[2]); }},
      {"LoopReadLong", {Addr("START"), Addr("END")}, [](A a) { return LoopReadLong(a[0], a[1]); }},
      {"LoopDataWrite",
       {Addr("START"), Addr("END"), Byte("BYTE")},
       [](A a) { return LoopDataWrite(a[0], a[1], a[2]); }},
      {"LoopErase", {Addr("START"), Addr("END")}, [](A a) { return LoopErase(a[0], a[1]); }},
      {"LoopHeaderCheck",
       {Addr("START"), Addr("END")},
       [](A a) { return LoopHeaderCheck(a[0], a[1]); }},
      {"LoopErrorByteCheck",
       {Addr("START"), Addr("END")},
       [](A a) { return LoopErrorByteCheck(a[0], a[1]); }},
  };
  return table;
}

const std::vector<CommandSpec>& CommandTable();

// ---------------------------------------------------------------------------
// Message boxes printed and answered by policy; a stop signal or a broken
// output becomes an abort request at the next poll.

class CliWindowSystem : public WindowSystem {
 public:
  CliWindowSystem(Reporter& reporter, std::ostream& err, Options::Confirm confirm)
      : reporter_(reporter), err_(err), confirm_(confirm) {}

  int MsgBox(const std::string& text, int style, const std::string& title) override {
    int answer = kAnswerOk;
    if (style == kStyleQuestion) answer = Confirm(text, title);
    reporter_.Box(text, style, title, answer);
    return answer;
  }
  void DoEvents() override { PollStop(); }
  void SetMousePointer(int) override {}
  void Refresh(std::string_view) override {}

  // After a second of waiting: a live line on a terminal, a `waiting` event
  // about once a second with --json, nothing on a plain pipe.
  void KeepAlive(const CommandWait& wait) override {
    PollStop();
    const long long secs = wait.elapsed.count() / 1000;
    if (secs < 1 || secs == last_secs_) return;
    last_secs_ = secs;
    const std::string name = Trimmed(wait.command);
    if (reporter_.json()) {
      reporter_.Json({{"event", "waiting"}, {"command", name}, {"seconds", secs}});
    } else if (reporter_.live()) {
      reporter_.Live(DescribeWait(wait));
    }
  }

  void WaitEnded() override {
    reporter_.EndLive();
    last_secs_ = 0;
  }

  std::function<void()> on_stop;

 private:
  void PollStop() {
    if ((g_stop != 0 || reporter_.failed()) && on_stop) on_stop();
  }
  static std::string Trimmed(std::string_view s) {
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
  }
  int Confirm(const std::string& text, const std::string& title) {
    if (confirm_ == Options::Confirm::kYes) return kAnswerOk;
    if (confirm_ == Options::Confirm::kNo) return kAnswerCancel;
    if (!isatty(STDIN_FILENO)) {
      err_ << "qxflash: \"" << Printable(text)
           << "\" needs a confirmation and there is no terminal to ask; "
              "answering Cancel (use --yes to confirm)\n";
      return kAnswerCancel;
    }
    err_ << Printable(title) << ": " << Printable(text) << " [y/N] " << std::flush;
    std::string reply;
    if (!std::getline(std::cin, reply)) return kAnswerCancel;
    return (reply == "y" || reply == "Y" || reply == "yes") ? kAnswerOk : kAnswerCancel;
  }

  Reporter& reporter_;
  std::ostream& err_;
  Options::Confirm confirm_;
  long long last_secs_ = 0;
};

// ---------------------------------------------------------------------------
// One run of a command: the form, its window system and its event printer.

class Session {
 public:
  Session(const Options& options, std::ostream& out, std::ostream& err)
      : options_(options),
        err_(err),
        reporter_(out, options.json, &err == &std::cerr && isatty(STDERR_FILENO)),
        ws_(reporter_, err, options.confirm),
        form_(settings_),
        history_(options.no_history ? "" : history::DefaultPath(), kProgramVersion) {
    InstallWindowSystem(&ws_);
    history_.on_warning = [this](const std::string& w) {
      err_ << "qxflash: warning: " << Printable(w) << "\n";
    };
    ws_.on_stop = [this] {
      if (form_.AbortRequested == 0) form_.Tyusi_Click();
    };
    if (options.trace) {
      TraceOn = 1;
      D_WIn.on_line = [this](const std::string& line) { reporter_.Trace(line); };
    }
    form_.on_event = [this](const MainEvent& e) { OnEvent(e); };
    form_.Form_Load();
  }
  ~Session() {
    CatchStopSignals(false);
    D_WIn.on_line = nullptr;
    InstallWindowSystem(nullptr);
  }

  int Run() {
    for (const auto& c : CommandTable()) {
      if (options_.command == c.name) return Finish((this->*c.run)());
    }
    err_ << "qxflash: unknown command '" << options_.command << "' (see --help)\n";
    return kExitUsage;
  }

  int Scan();
  int Version();
  int Download();
  int Send();
  int History();
  int Check() { return CheckRelease(false); }
  int DumpImage() { return CheckRelease(true); }
  int CheckRelease(bool dump);

 private:
  // A job whose output could not be written has failed, whatever it did.
  int Finish(int rc) {
    reporter_.EndLive();
    if (reporter_.failed()) {
      err_ << "qxflash: cannot write the output: " << std::strerror(reporter_.error()) << "\n";
      return rc == kExitUsage ? rc : kExitFailed;
    }
    return rc;
  }

  void OnEvent(const MainEvent& e) {
    switch (e.kind) {
      case MainEvent::kStatus:
        reporter_.Status(e.text);
        break;
      case MainEvent::kFirmware:
        firmware_ok_ = e.ok;
        if (reporter_.json()) reporter_.Json({{"event", "fwver"}, {"text", Latin1(e.text)}});
        break;
      case MainEvent::kAdapterItem:
        adapters_.push_back({e.ha, e.text, {}});
        if (reporter_.json()) reporter_.Json({{"event", "adapter"}, {"item", e.text}});
        break;
      case MainEvent::kTargetItem:
        if (!adapters_.empty()) adapters_.back().targets.push_back({e.target, e.text, e.caption});
        if (reporter_.json()) reporter_.Json({{"event", "target"}, {"ha", e.ha}, {"item", e.text}});
        break;
      case MainEvent::kBlockSent:
        if (reporter_.json()) {
          reporter_.Json({{"event", "block"},
                          {"block", e.block},
                          {"mode", e.mode},
                          {"index", e.index},
                          {"count", e.count}});
        } else {
          reporter_.Human("block " + std::to_string(e.index) + " of " + std::to_string(e.count) +
                          " sent (buffer ID " + std::to_string(e.block) + ", mode " +
                          std::to_string(e.mode) + ")");
        }
        break;
      case MainEvent::kBusy:
        // Signals ask for an abort only while blocks may go out; before that
        // (at the confirmation, say) Ctrl-C ends the program with nothing sent.
        CatchStopSignals(e.busy);
        break;
    }
  }

  // The scan, then the transport's notes about it.
  bool ScanBus() {
    adapters_.clear();
    if (!form_.Scan()) return false;
    if (auto manager = InstalledAspiManager()) {
      const std::string notes = manager->Notes();
      size_t start = 0;
      while (start < notes.size()) {
        size_t end = notes.find('\n', start);
        if (end == std::string::npos) end = notes.size();
        const std::string note = notes.substr(start, end - start);
        if (!note.empty()) {
          if (reporter_.json()) {
            reporter_.Json({{"event", "warning"}, {"text", note}});
          } else {
            err_ << "qxflash: note: " << Printable(note) << "\n";
          }
        }
        start = end + 1;
      }
    }
    VerifyScanned();
    return true;
  }

  // Selects adapter --ha and target --id the way an operator does: scan, then
  // set the two list positions (which runs the click handlers and INQUIRY).
  int Select() {
    if (!options_.ha || !options_.id) {
      err_ << "qxflash: " << options_.command << " needs --ha N and --id M\n";
      return kExitUsage;
    }
    if (!ScanBus()) return kExitFailed;
    const auto selection = form_.SelectTarget(*options_.ha, *options_.id);
    if (selection == MainForm::Selection::kOk) return kExitOk;
    if (selection == MainForm::Selection::kNoAdapter) {
      err_ << "qxflash: host adapter " << *options_.ha << " did not answer the scan";
    } else {
      err_ << "qxflash: no device answered at target ID " << *options_.id << " on host adapter "
           << *options_.ha;
    }
    // Say why: ask the target once more, so the reason and the transport's
    // hint are about the drive that was asked for.
    if (auto why = form_.ProbeTarget(*options_.ha, *options_.id))
      err_ << " (" << Printable(*why) << ")";
    err_ << "\n";
    return kExitFailed;
  }

  // The release file named on the command line, as the file list would show
  // it; nullopt (message printed) when the path cannot name a release.
  std::optional<std::filesystem::path> ReleaseArgument() {
    if (options_.args.size() != 1) {
      err_ << "qxflash: " << options_.command << " needs exactly one parameter file (FILE.OUB)\n";
      return std::nullopt;
    }
    const std::string& arg = options_.args[0];
    const std::filesystem::path file(arg);
    std::error_code ec;
    if (arg.empty() || arg.back() == '/' || std::filesystem::is_directory(file, ec)) {
      err_ << "qxflash: not a release file: " << Printable(arg) << "\n";
      return std::nullopt;
    }
    if (auto image = ImageFileName(file.filename().string())) {
      const auto path = file.parent_path() / *image;
      if (std::filesystem::is_symlink(path, ec) && !std::filesystem::exists(path, ec)) {
        err_ << "qxflash: image link " << Printable(path.string()) << " points to nothing\n";
        return std::nullopt;
      }
    }
    return file;
  }

  struct ScannedTarget {
    int id;
    std::string item;     // "N:PRODUCT"
    std::string caption;  // firmware version caption
  };
  struct ScannedAdapter {
    int ha;
    std::string item;
    std::vector<ScannedTarget> targets;
  };

  // After a scan: the drives whose last download finished, and whether their
  // firmware changed since.
  void VerifyScanned() {
    for (const auto& a : adapters_) {
      for (const auto& t : a.targets) {
        const auto verify =
            history_.Check(history::Log::DriveAt(a.ha, t.id, SelectedLun, t.item), t.caption);
        if (!verify) continue;
        const std::string text = history::VerifyText(*verify, history_.Read().records);
        if (reporter_.json()) {
          reporter_.Json({{"event", "verify"},
                          {"ha", a.ha},
                          {"id", t.id},
                          {"changed", verify->changed},
                          {"text", Latin1(text)}});
        } else {
          reporter_.Human("Target " + std::to_string(a.ha) + ":" + t.item + ": " + Latin1(text));
        }
      }
    }
  }

  const Options& options_;
  std::ostream& err_;
  Reporter reporter_;
  CliWindowSystem ws_;
  MemorySettingsStore settings_;
  MainForm form_;
  std::vector<ScannedAdapter> adapters_;
  bool firmware_ok_ = false;
  history::Log history_;
};

int Session::Scan() {
  if (!ScanBus()) return kExitFailed;
  if (!reporter_.json()) {
    if (adapters_.empty()) reporter_.Human("No host adapter answered.");
    for (const auto& a : adapters_) {
      reporter_.Human("Host adapter " + a.item);
      for (const auto& t : a.targets) reporter_.Human("  target " + t.item);
      if (a.targets.empty()) reporter_.Human("  (no devices)");
    }
  }
  return kExitOk;
}

int Session::Version() {
  if (int rc = Select()) return rc;
  if (!firmware_ok_) {
    err_ << "qxflash: the drive did not answer INQUIRY: " << Printable(ErrMsg) << "\n";
    return kExitFailed;
  }
  if (!reporter_.json()) {
    reporter_.Human(form_.ComboID.Text());
    reporter_.Human("Current Firmware Version:" + Latin1(form_.FWVer.Caption));
  }
  return kExitOk;
}

int Session::Download() {
  const auto file = ReleaseArgument();
  if (!file) return kExitUsage;
  if (int rc = Select()) return rc;
  std::filesystem::path dir = file->parent_path();
  if (dir.empty()) dir = ".";
  form_.FirmwareDir = JoinDir(dir.string());
  form_.File1.SetPath(form_.FirmwareDir);
  const std::string name = file->filename().string();
  int index = -1;
  for (int i = 0; i < form_.File1.ListCount(); ++i) {
    if (form_.File1.Items()[i] == name) index = i;
  }
  if (index >= 0) {
    form_.File1.SetListIndex(index);
  } else {
    form_.Label4.Caption = name;
  }

  // Nobody would see how it went: a download is not started into a broken output.
  if (reporter_.failed()) return kExitFailed;
  const auto outcome = history_.RecordDownload(form_);
  if (!outcome) return kExitFailed;
  const int sig = g_stop;
  reporter_.EndLive();
  if (reporter_.json()) {
    static constexpr const char* kEnds[] = {"no_file",      "check_failed", "cancelled",
                                            "load_failed",  "aborted",      "preparation_failed",
                                            "block_failed", "done"};
    reporter_.Json({{"event", "download"},
                    {"end", kEnds[static_cast<int>(outcome->end)]},
                    {"block", outcome->block},
                    {"blocks_sent", outcome->blocks_sent},
                    {"blocks_planned", outcome->blocks_planned}});
  }
  if (outcome->end == DownloadEnd::kAborted) {
    std::string why = "aborted";
    if (sig != 0 && sig != SIGINT) why = std::string("stopped by signal ") + strsignal(sig);
    if (reporter_.failed()) why = "stopped: the output could not be written";
    err_ << "qxflash: download " << why;
    if (outcome->block >= 0) err_ << " before block " << outcome->block;
    err_ << "; " << outcome->blocks_sent << " of " << outcome->blocks_planned
         << " blocks sent (blocks already sent stay sent)\n";
  }
  return outcome->end == DownloadEnd::kDone ? kExitOk : kExitFailed;
}

int Session::Send() {
  if (options_.args.empty()) {
    err_ << "qxflash: send needs a builder name (see --help)\n";
    return kExitUsage;
  }
  const BuilderSpec* builder = nullptr;
  for (const auto& b : BuilderTable()) {
    if (options_.args[0] == b.name) builder = &b;
  }
  if (builder == nullptr) {
    err_ << "qxflash: unknown builder '" << Printable(options_.args[0]) << "'; one of:";
    for (const auto& b : BuilderTable()) err_ << ' ' << b.name;
    err_ << "\n";
    return kExitUsage;
  }
  if (options_.args.size() - 1 != builder->args.size()) {
    err_ << "qxflash: " << builder->name << " takes " << builder->args.size() << " argument(s)\n";
    return kExitUsage;
  }
  std::vector<long long> values;
  for (size_t i = 0; i < builder->args.size(); ++i) {
    const ArgSpec& arg = builder->args[i];
    auto v = ParseNumber(options_.args[i + 1]);
    if (!v || *v < arg.lo || *v > arg.hi) {
      err_ << "qxflash: " << arg.name << " '" << Printable(options_.args[i + 1]) << "' of "
           << builder->name << " is not a number in " << arg.lo << ".." << arg.hi << "\n";
      return kExitUsage;
    }
    values.push_back(*v);
  }
  if (int rc = Select()) return rc;
  const int16_t result = builder->run(values);
  if (result == 1 && XferLen > 0) {
    for (const auto& line :
         DumpLines(std::span<const uint8_t>(DataBuf.data(), static_cast<size_t>(XferLen)))) {
      reporter_.Data(line);
    }
  }
  const std::string name = builder->name;
  if (reporter_.json()) {
    reporter_.Json({{"event", "result"}, {"code", result}, {"errmsg", result == 1 ? "" : ErrMsg}});
  } else {
    reporter_.Human(result == 1 ? name + ": completed without error"
                                : name + " failed (" + std::to_string(result) + "): " + ErrMsg);
  }
  return result == 1 ? kExitOk : kExitFailed;
}

// The release checks without a drive; with `dump`, the image as dump lines
// through the debug window's dump of ImageBuf.
int Session::CheckRelease(bool dump) {
  const auto file = ReleaseArgument();
  if (!file) return kExitUsage;
  std::filesystem::path dir = file->parent_path();
  if (dir.empty()) dir = ".";
  const std::string model = options_.model.value_or(kModel);
  const std::string firmwareDir = JoinDir(dir.string());
  const std::string name = file->filename().string();
  ParameterFile pf;
  Release release;
  auto message = HeaderCheck(firmwareDir + name, model, pf);
  if (!message) message = ReleaseLoad(pf, firmwareDir, name, release);
  if (message) {
    if (reporter_.json()) {
      reporter_.Json({{"event", "check"}, {"ok", false}, {"message", *message}});
    } else {
      reporter_.Human(name + ": " + *message);
    }
    return kExitFailed;
  }
  if (dump) {
    auto traceSink =
        std::exchange(D_WIn.on_line, [this](const std::string& line) { reporter_.Data(line); });
    form_.DumpImageBuffer();
    D_WIn.on_line = std::move(traceSink);
    return kExitOk;
  }
  std::vector<int> blocks;
  for (size_t b : BlocksToSend(release)) blocks.push_back(static_cast<int>(b));
  const auto version = FindFirmwareVersion(ImageBuf);
  if (reporter_.json()) {
    reporter_.Json({{"event", "check"},
                    {"ok", true},
                    {"blocks", blocks},
                    {"area_flags", release.AreaFlag},
                    {"checksum", ImageSum(ImageBuf)},
                    {"firmware_version", version ? Latin1(*version) : ""}});
  } else {
    std::string list;
    for (int b : blocks) list += (list.empty() ? "" : " ") + std::to_string(b);
    reporter_.Human(name + ": release is valid for " + model);
    reporter_.Human("  area flags " + std::to_string(release.AreaFlag[0]) + "," +
                    std::to_string(release.AreaFlag[1]) + "," +
                    std::to_string(release.AreaFlag[2]) + "; blocks sent: " + list);
    reporter_.Human("  image checksum " + std::to_string(ImageSum(ImageBuf)));
    if (version) reporter_.Human("  firmware version in the image: " + Latin1(*version));
  }
  return kExitOk;
}

int Session::History() {
  if (options_.no_history) {
    err_ << "qxflash: --no-history leaves no history to list\n";
    return kExitUsage;
  }
  const auto& h = history_.Read();
  if (!reporter_.json() && h.records.empty()) {
    reporter_.Human("No downloads recorded in " + history::DefaultPath());
  }
  for (const auto& r : h.records) {
    if (reporter_.json()) {
      auto j = history::ToJson(r);
      j["event"] = "history";
      reporter_.Json(j);
      continue;
    }
    std::string line = r.time + "  " + r.drive.transport + " " + std::to_string(r.drive.ha) + ":" +
                       std::to_string(r.drive.target) + " " + Latin1(r.drive.product) + "  ";
    if (r.kind == "download") {
      line += r.release + "  " + r.outcome + " " + std::to_string(r.blocks_sent) + "/" +
              std::to_string(r.blocks_planned) + " blocks";
      if (r.outcome != "done" && !r.message.empty()) line += ": " + r.message;
    } else {
      line += Latin1(history::VerifyText(r, h.records));
    }
    reporter_.Human(line);
  }
  return kExitOk;
}

const std::vector<CommandSpec>& CommandTable() {
  static const std::vector<CommandSpec> table = {
      {"scan", "", "list the host adapters and devices", 0, &Session::Scan},
      {"version", "--ha N --id M", "show the firmware version of a drive", 0, &Session::Version},
      {"download", "FILE.OUB --ha N --id M [--yes|--no]", "check a release and download it", 1,
       &Session::Download},
      {"send", "BUILDER [ARGS] --ha N --id M", "send one command of the command set", 4,
       &Session::Send},
      {"check", "FILE.OUB [--model TEXT]", "check a release without a drive", 1, &Session::Check},
      {"dump-image", "FILE.OUB [--model TEXT]", "check a release and dump its image", 1,
       &Session::DumpImage},
      {"history", "[--json]", "list the download history", 0, &Session::History},
  };
  return table;
}

}  // namespace

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const auto& c : CommandTable()) names.push_back(c.name);
  return names;
}

std::vector<std::string> OptionNames() {
  std::vector<std::string> names;
  for (const auto& o : OptionTable()) names.push_back(o.name);
  return names;
}

std::vector<std::string> BuilderNames() {
  std::vector<std::string> names;
  for (const auto& b : BuilderTable()) names.push_back(b.name);
  return names;
}

std::string UsageText() {
  std::string text =
      "Usage: qxflash [OPTIONS] [COMMAND [ARGS]]\n\n"
      "Writes new firmware into QX-R4410 DVD-RAM drives. Without a command the\n"
      "desktop window opens.\n\nCommands:\n";
  size_t column = 37;
  auto row = [&text, &column](std::string left, const std::string& help) {
    left = "  " + left;
    if (left.size() >= column) {
      text += left + "\n" + std::string(column, ' ') + help + "\n";
    } else {
      text += left + std::string(column - left.size(), ' ') + help + "\n";
    }
  };
  for (const auto& c : CommandTable()) {
    row(std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis, c.help);
  }
  text += "\nBuilders of send (addresses 0..0xFFFFFF, bytes 0..255):\n";
  for (const auto& b : BuilderTable()) {
    std::string left = b.name;
    for (const auto& a : b.args) left += std::string(" ") + a.name;
    text += "  " + left + "\n";
  }
  text += "\nOptions:\n";
  column = 22;
  for (const auto& o : OptionTable()) {
    row(std::string(o.name) + (o.value ? std::string(" ") + o.value : ""), o.help);
  }
  text +=
      "\nNumbers may be decimal or 0x-prefixed hexadecimal. Exit status: 0 success,\n"
      "1 the job failed or was aborted, 2 usage error.\n";
  return text;
}

std::optional<Options> Parse(const std::vector<std::string>& argv, std::string* error) {
  Options o;
  auto fail = [&](std::string msg) -> std::optional<Options> {
    *error = std::move(msg);
    return std::nullopt;
  };
  for (size_t i = 0; i < argv.size(); ++i) {
    std::string a = argv[i];
    if (a == "-h") a = "--help";
    std::string inlineValue;
    bool hasInline = false;
    if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      hasInline = true;
      a = a.substr(0, eq);
    }
    const OptionSpec* option = nullptr;
    for (const auto& opt : OptionTable()) {
      if (a == opt.name) option = &opt;
    }
    if (option == nullptr) {
      if (a.size() > 1 && a[0] == '-' && !ParseNumber(a)) {
        return fail("unknown option '" + Printable(argv[i]) + "'");
      }
      (o.command.empty() ? o.command : o.args.emplace_back()) = argv[i];
      continue;
    }
    std::string value;
    if (a == "--sim" && hasInline) {
      if (inlineValue.empty()) return fail("--sim= needs a scenario file name");
      if (auto clash = option->apply(o, {})) return fail(*clash);
      o.scenario = inlineValue;
      continue;
    }
    if (option->value != nullptr) {
      if (hasInline) {
        value = inlineValue;
      } else if (i + 1 < argv.size()) {
        value = argv[++i];
      } else {
        return fail(std::string(option->name) + " needs " + option->value);
      }
    } else if (hasInline) {
      return fail(std::string(option->name) + " takes no value");
    }
    if (auto problem = option->apply(o, value)) return fail(*problem);
  }
  if (!o.command.empty() && !o.help) {
    const CommandSpec* command = nullptr;
    for (const auto& c : CommandTable()) {
      if (o.command == c.name) command = &c;
    }
    if (command == nullptr) return fail("unknown command '" + Printable(o.command) + "'");
    if (o.args.size() > command->max_args) {
      return fail("'" + o.command + "' takes no argument '" + Printable(o.args[command->max_args]) +
                  "'");
    }
  }
  return o;
}

std::shared_ptr<AspiManager> MakeTransport(const Options& options, std::string* error) {
  if (options.transport == Options::Transport::kSg) {
#ifdef QXFLASH_HAVE_SG
    (void)error;
    return sg::MakeSgBus();
#else
    *error = "this build has no SCSI generic support";
    return nullptr;
#endif
  }
  if (options.scenario.empty()) return sim::SimBus::BuiltIn();
  return sim::SimBus::FromJsonFile(options.scenario, error);
}

int RunCommand(const Options& options, std::ostream& out, std::ostream& err) {
  Session session(options, out, err);
  const int rc = session.Run();
  if (rc == kExitFailed) {
    if (auto manager = InstalledAspiManager()) {
      const std::string hint = manager->LastHint();
      if (!hint.empty()) err << "hint: " << Printable(hint) << "\n";
    }
  }
  return rc;
}

}  // namespace qx::cli
