#include "app/cli.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <span>

#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "commands/hexdump.h"
#include "download/firmware_tag.h"
#include "download/release.h"
#include "platform/window_system.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"
#ifdef QXFLASH_HAVE_SG
#include "transport/sg/sg_bus.h"
#endif

namespace qx::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
  g_interrupted = 1;
}

// Parses a number written in decimal or as 0x.. hexadecimal.
std::optional<long long> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const bool negative = text[0] == '-';
  std::string digits = negative ? text.substr(1) : text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 12) return std::nullopt;
  long long value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + d;
  }
  return negative ? -value : value;
}

std::optional<int> ParseRange(const std::string& text, long long lo, long long hi) {
  auto v = ParseNumber(text);
  if (!v || *v < lo || *v > hi) return std::nullopt;
  return static_cast<int>(*v);
}

// Shows the system's texts on a terminal: CR LF, lone LF and lone CR as line breaks.
std::string Lines(const std::string& text, const std::string& indent) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\n" + indent;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Bytes a drive reported (single-byte text) as UTF-8; for a terminal, control
// characters are shown as blanks so they cannot disturb it.
std::string DriveText(const std::string& bytes, bool forTerminal) {
  std::string out;
  for (unsigned char c : bytes) {
    if (forTerminal && (c < 0x20 || c == 0x7F)) {
      out += ' ';
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

const char* StyleName(int style) {
  switch (style) {
    case kStyleCritical:
      return "error";
    case kStyleQuestion:
      return "question";
    case kStyleExclamation:
      return "notice";
    default:
      return "message";
  }
}

// Writes events as human-readable lines or as one JSON object per line.
class Reporter {
 public:
  Reporter(std::ostream& out, bool json) : out_(out), json_(json) {}
  bool json() const { return json_; }

  void Json(nlohmann::json j) {
    out_ << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n' << std::flush;
  }
  void Human(const std::string& line) { out_ << line << '\n' << std::flush; }

  void Status(const std::string& text) {
    if (json_) {
      Json({{"event", "status"}, {"text", text}});
    } else if (!text.empty()) {
      Human("[status] " + text);
    }
  }
  void Box(const std::string& text, int style, const std::string& title, int answer) {
    if (json_) {
      Json({{"event", "msgbox"},
            {"style", style},
            {"title", title},
            {"text", text},
            {"answer", answer}});
      return;
    }
    std::string line =
        std::string("[") + StyleName(style) + "] " + title + ": " + Lines(text, "    ");
    if (style == kStyleQuestion) line += answer == kAnswerOk ? "  -> OK" : "  -> Cancel";
    Human(line);
  }
  void Trace(const std::string& line) {
    if (json_) {
      Json({{"event", "trace"}, {"line", line}});
    } else {
      Human("| " + line);
    }
  }

 private:
  std::ostream& out_;
  bool json_;
};

// Message boxes printed and answered by policy; Ctrl-C becomes an abort request.
class CliWindowSystem : public WindowSystem {
 public:
  CliWindowSystem(Reporter& reporter, Options::Confirm confirm)
      : reporter_(reporter), confirm_(confirm) {}

  int MsgBox(const std::string& text, int style, const std::string& title) override {
    int answer = kAnswerOk;
    if (style == kStyleQuestion) answer = Confirm(text, title);
    reporter_.Box(text, style, title, answer);
    boxes.push_back({text, style, title});
    return answer;
  }
  void DoEvents() override {
    if (g_interrupted && on_interrupt) {
      g_interrupted = 0;
      on_interrupt();
    }
  }
  void SetMousePointer(int) override {}
  void Refresh(std::string_view) override {}

  struct Box {
    std::string text;
    int style;
    std::string title;
  };
  std::vector<Box> boxes;
  std::function<void()> on_interrupt;

 private:
  int Confirm(const std::string& text, const std::string& title) {
    if (confirm_ == Options::Confirm::kYes) return kAnswerOk;
    if (confirm_ == Options::Confirm::kNo) return kAnswerCancel;
    if (!isatty(STDIN_FILENO)) {
      std::cerr << "qxflash: \"" << text
                << "\" needs a confirmation and there is no terminal to ask; "
                   "answering Cancel (use --yes to confirm)\n";
      return kAnswerCancel;
    }
    std::cerr << title << ": " << text << " [y/N] " << std::flush;
    std::string reply;
    if (!std::getline(std::cin, reply)) return kAnswerCancel;
    return (reply == "y" || reply == "Y" || reply == "yes") ? kAnswerOk : kAnswerCancel;
  }

  Reporter& reporter_;
  Options::Confirm confirm_;
};

// One run of a command: the form, its window system and its event printer.
class Session {
 public:
  Session(const Options& options, std::ostream& out, std::ostream& err)
      : options_(options),
        err_(err),
        reporter_(out, options.json),
        ws_(reporter_, options.confirm),
        form_(settings_) {
    InstallWindowSystem(&ws_);
    ws_.on_interrupt = [this] { form_.Tyusi_Click(); };
    if (options.trace) {
      TraceOn = 1;
      D_WIn.on_line = [this](const std::string& line) { reporter_.Trace(line); };
    }
    form_.on_event = [this](const MainEvent& e) { OnEvent(e); };
    form_.Form_Load();
  }
  ~Session() {
    D_WIn.on_line = nullptr;
    InstallWindowSystem(nullptr);
  }

  int Run() {
    const std::string& c = options_.command;
    if (c == "scan") return Scan();
    if (c == "version") return Version();
    if (c == "download") return Download();
    if (c == "send") return Send();
    if (c == "check") return Check(false);
    if (c == "dump-image") return Check(true);
    err_ << "qxflash: unknown command '" << c << "' (see --help)\n";
    return kExitUsage;
  }

 private:
  void OnEvent(const MainEvent& e) {
    switch (e.kind) {
      case MainEvent::kStatus:
        reporter_.Status(e.text);
        break;
      case MainEvent::kFirmware:
        if (reporter_.json())
          reporter_.Json({{"event", "fwver"}, {"text", DriveText(e.text, false)}});
        break;
      case MainEvent::kAdapterItem:
        if (reporter_.json()) reporter_.Json({{"event", "adapter"}, {"item", e.text}});
        break;
      case MainEvent::kTargetItem:
        if (reporter_.json()) {
          reporter_.Json({{"event", "target"}, {"ha", e.ha}, {"item", e.text}});
        }
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
        // Ctrl-C asks for an abort only while blocks may go out; before that
        // (at the confirmation, say) it ends the program with nothing sent.
        if (e.index) g_interrupted = 0;
        std::signal(SIGINT, e.index ? OnInterrupt : SIG_DFL);
        break;
    }
  }

  bool ScanOk() {
    const size_t boxes = ws_.boxes.size();
    form_.Scsi_Scan_Click();
    return ws_.boxes.size() == boxes;  // the scan shows a box only when the manager is missing
  }

  // Selects adapter --ha and target --id the way an operator does: scan, then
  // set the two list positions (which runs the click handlers and INQUIRY).
  int Select() {
    if (!options_.ha || !options_.id) {
      err_ << "qxflash: " << options_.command << " needs --ha N and --id M\n";
      return kExitUsage;
    }
    if (!ScanOk()) return kExitFailed;
    auto find = [](const ComboBox& combo, int number) {
      const std::string prefix = std::to_string(number) + ":";
      for (int i = 0; i < combo.ListCount(); ++i) {
        if (combo.Items()[i].rfind(prefix, 0) == 0) return i;
      }
      return -1;
    };
    const int ha = find(form_.ComboHA, *options_.ha);
    if (ha < 0) {
      err_ << "qxflash: host adapter " << *options_.ha << " did not answer the scan\n";
      return kExitFailed;
    }
    form_.ComboHA.SetListIndex(ha);
    const int id = find(form_.ComboID, *options_.id);
    if (id < 0) {
      err_ << "qxflash: no device answered at target ID " << *options_.id << " on host adapter "
           << *options_.ha;
      // Say why: ask the target once more and show what the executor recorded.
      SelectedHaId = static_cast<uint8_t>(*options_.ha);
      SelectedTargetId = static_cast<uint8_t>(*options_.id);
      if (Inquiry() != 1) err_ << " (" << ErrMsg << ")";
      err_ << "\n";
      return kExitFailed;
    }
    form_.ComboID.SetListIndex(id);
    return kExitOk;
  }

  int Scan() {
    if (!ScanOk()) return kExitFailed;
    if (!reporter_.json()) {
      if (form_.ComboHA.ListCount() == 0) reporter_.Human("No host adapter answered.");
      for (const auto& item : form_.ComboHA.Items()) {
        reporter_.Human("Host adapter " + item);
        const int ha = item[0] - '0';
        bool any = false;
        for (const auto& name : form_.DeviceNames[ha]) {
          if (name.empty()) continue;
          reporter_.Human("  target " + name);
          any = true;
        }
        if (!any) reporter_.Human("  (no devices)");
      }
    }
    return kExitOk;
  }

  int Version() {
    if (int rc = Select()) return rc;
    if (form_.FWVer.Caption == " ") {
      err_ << "qxflash: the drive did not answer INQUIRY: " << ErrMsg << "\n";
      return kExitFailed;
    }
    if (!reporter_.json()) {
      reporter_.Human(form_.ComboID.Text());
      reporter_.Human("Current Firmware Version:" + DriveText(form_.FWVer.Caption, true));
    }
    return kExitOk;
  }

  int Download() {
    if (options_.args.size() != 1) {
      err_ << "qxflash: download needs exactly one parameter file (FILE.OUB)\n";
      return kExitUsage;
    }
    if (int rc = Select()) return rc;
    const std::filesystem::path file(options_.args[0]);
    std::filesystem::path dir = file.parent_path();
    if (dir.empty()) dir = ".";
    form_.FirmwareDir = JoinDir(dir.string());
    form_.File1.SetPath(form_.FirmwareDir);
    const std::string name = file.filename().string();
    int index = -1;
    for (int i = 0; i < form_.File1.ListCount(); ++i) {
      if (form_.File1.Items()[i] == name) index = i;
    }
    if (index >= 0) {
      form_.File1.SetListIndex(index);
    } else {
      form_.Label4.Caption = name;
    }

    const size_t before = ws_.boxes.size();
    form_.Command1_Click();

    bool done = false;
    for (size_t i = before; i < ws_.boxes.size(); ++i) {
      const auto& b = ws_.boxes[i];
      if (b.style == kStyleExclamation &&
          b.text.find("Wait until all LED off.") != std::string::npos) {
        done = true;
      }
    }
    if (!done && !reporter_.json() && form_.Text1.Text == "Abort By User") {
      reporter_.Human("Download aborted; blocks already sent stay sent.");
    }
    return done ? kExitOk : kExitFailed;
  }

  int Send() {
    if (options_.args.empty()) {
      err_ << "qxflash: send needs a builder name (see --help)\n";
      return kExitUsage;
    }
    using Builder = std::function<int16_t(const std::vector<long long>&)>;
    struct Entry {
      size_t argc;
      std::vector<std::pair<long long, long long>> ranges;
      Builder run;
    };
    const std::pair<long long, long long> kByte{0, 255}, kAddr{INT32_MIN, INT32_MAX};
    const std::map<std::string, Entry> builders = {
        {"StopUnit", {0, {}, [](auto&) { return StopUnit(); }}},
        {"StartUnit", {0, {}, [](auto&) { return StartUnit(); }}},
        {"TestUnitReady", {0, {}, [](auto&) { return TestUnitReady(); }}},
        {"TestUnitReadyStd", {0, {}, [](auto&) { return TestUnitReadyStd(); }}},
        {"Inquiry", {0, {}, [](auto&) { return Inquiry(); }}},
        {"ReadBuffer", {0, {}, [](auto&) { return ReadBuffer(); }}},
        {"DiIn", {2, {kByte, kByte}, [](auto& a) { return DiIn(a[0], a[1]); }}},
        {"DiOut", {2, {kByte, kByte}, [](auto& a) { return DiOut(a[0], a[1]); }}},
        {"MemoryRead",
         {3, {kAddr, kAddr, kByte}, [](auto& a) { return MemoryRead(a[0], a[1], a[2]); }}},
        {"LoopReadLong", {2, {kAddr, kAddr}, [](auto& a) { return LoopReadLong(a[0], a[1]); }}},
        {"LoopDataWrite",
         {3, {kAddr, kAddr, kByte}, [](auto& a) { return LoopDataWrite(a[0], a[1], a[2]); }}},
        {"LoopErase", {2, {kAddr, kAddr}, [](auto& a) { return LoopErase(a[0], a[1]); }}},
        {"LoopHeaderCheck",
         {2, {kAddr, kAddr}, [](auto& a) { return LoopHeaderCheck(a[0], a[1]); }}},
        {"LoopErrorByteCheck",
         {2, {kAddr, kAddr}, [](auto& a) { return LoopErrorByteCheck(a[0], a[1]); }}},
    };
    auto it = builders.find(options_.args[0]);
    if (it == builders.end()) {
      err_ << "qxflash: unknown builder '" << options_.args[0] << "'; one of:";
      for (const auto& [name, entry] : builders) err_ << ' ' << name;
      err_ << "\n";
      return kExitUsage;
    }
    const Entry& entry = it->second;
    if (options_.args.size() - 1 != entry.argc) {
      err_ << "qxflash: " << it->first << " takes " << entry.argc << " argument(s)\n";
      return kExitUsage;
    }
    std::vector<long long> values;
    for (size_t i = 0; i < entry.argc; ++i) {
      auto v = ParseNumber(options_.args[i + 1]);
      if (!v || *v < entry.ranges[i].first || *v > entry.ranges[i].second) {
        err_ << "qxflash: argument '" << options_.args[i + 1] << "' of " << it->first
             << " is not a number in " << entry.ranges[i].first << ".." << entry.ranges[i].second
             << "\n";
        return kExitUsage;
      }
      values.push_back(*v);
    }
    if (int rc = Select()) return rc;
    const int16_t result = entry.run(values);
    if (result == 1 && XferLen > 0) {
      auto lines =
          DumpLines(std::span<const uint8_t>(DataBuf.data(), static_cast<size_t>(XferLen)));
      for (const auto& line : lines) {
        if (reporter_.json()) {
          reporter_.Json({{"event", "data"}, {"line", line}});
        } else {
          reporter_.Human(line);
        }
      }
    }
    if (reporter_.json()) {
      reporter_.Json(
          {{"event", "result"}, {"code", result}, {"errmsg", result == 1 ? "" : ErrMsg}});
    } else {
      reporter_.Human(result == 1
                          ? it->first + ": completed without error"
                          : it->first + " failed (" + std::to_string(result) + "): " + ErrMsg);
    }
    return result == 1 ? kExitOk : kExitFailed;
  }

  // The release checks without a drive; with `dump`, the image as dump lines.
  int Check(bool dump) {
    if (options_.args.size() != 1) {
      err_ << "qxflash: " << options_.command << " needs exactly one parameter file (FILE.OUB)\n";
      return kExitUsage;
    }
    const std::filesystem::path file(options_.args[0]);
    std::filesystem::path dir = file.parent_path();
    if (dir.empty()) dir = ".";
    const std::string model = options_.model.value_or(kModel);
    const std::string firmwareDir = JoinDir(dir.string());
    const std::string name = file.filename().string();
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
      for (const auto& line : DumpLines(ImageBuf)) {
        if (reporter_.json()) {
          reporter_.Json({{"event", "data"}, {"line", line}});
        } else {
          reporter_.Human(line);
        }
      }
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
                      {"firmware_version", version.value_or("")}});
    } else {
      std::string list;
      for (int b : blocks) list += (list.empty() ? "" : " ") + std::to_string(b);
      reporter_.Human(name + ": release is valid for " + model);
      reporter_.Human("  area flags " + std::to_string(release.AreaFlag[0]) + "," +
                      std::to_string(release.AreaFlag[1]) + "," +
                      std::to_string(release.AreaFlag[2]) + "; blocks sent: " + list);
      reporter_.Human("  image checksum " + std::to_string(ImageSum(ImageBuf)));
      if (version) reporter_.Human("  firmware version in the image: " + *version);
    }
    return kExitOk;
  }

  const Options& options_;
  std::ostream& err_;
  Reporter reporter_;
  CliWindowSystem ws_;
  MemorySettingsStore settings_;
  MainForm form_;
};

}  // namespace

std::string UsageText() {
  return R"(Usage: qxflash [OPTIONS] [COMMAND [ARGS]]

Writes new firmware into QX-R4410 DVD-RAM drives. Without a command the
desktop window opens.

Commands:
  scan                               list the host adapters and devices
  version --ha N --id M              show the firmware version of a drive
  download FILE.OUB --ha N --id M [--yes|--no]
                                     check a release and download it
  send BUILDER [ARGS] --ha N --id M  send one command of the command set:
                                     StopUnit StartUnit TestUnitReady
                                     TestUnitReadyStd Inquiry ReadBuffer
                                     DiIn B1 B2  DiOut B1 B2
                                     MemoryRead START END AREA
                                     LoopReadLong|LoopErase|LoopHeaderCheck|
                                     LoopErrorByteCheck START END
                                     LoopDataWrite START END BYTE
  check FILE.OUB [--model TEXT]      check a release without a drive
  dump-image FILE.OUB [--model TEXT] check a release and dump its image

Options:
  --sim[=SCENARIO.json]  use the simulated bus (default; built-in scenario
                         when no file is given)
  --sg                   use the drives on this machine (Linux SCSI generic)
  --trace                print the trace of every request block
  --json                 print one JSON object per line for every event
  --timeout SECONDS      give up on a request after this long (default 300)
  --dir DIR              firmware directory shown by the desktop window
  --yes / --no           answer the download confirmation
  -h, --help             show this text
  --version              show the program version

Numbers may be decimal or 0x-prefixed hexadecimal. Exit status: 0 success,
1 the job failed or was aborted, 2 usage error.
)";
}

std::optional<Options> Parse(const std::vector<std::string>& argv, std::string* error) {
  Options o;
  auto fail = [&](std::string msg) -> std::optional<Options> {
    *error = std::move(msg);
    return std::nullopt;
  };
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      if (i + 1 >= argv.size()) return std::nullopt;
      (void)name;
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--sim") {
      o.transport = Options::Transport::kSim;
    } else if (a.rfind("--sim=", 0) == 0) {
      o.transport = Options::Transport::kSim;
      o.scenario = a.substr(6);
      if (o.scenario.empty()) return fail("--sim= needs a scenario file name");
    } else if (a == "--sg") {
      o.transport = Options::Transport::kSg;
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--yes") {
      o.confirm = Options::Confirm::kYes;
    } else if (a == "--no") {
      o.confirm = Options::Confirm::kNo;
    } else if (a == "--ha" || a == "--id") {
      auto v = value(a.c_str());
      auto n = v ? ParseRange(*v, 0, 7) : std::nullopt;
      if (!n) return fail(a + " needs a number from 0 to 7");
      (a == "--ha" ? o.ha : o.id) = *n;
    } else if (a == "--timeout") {
      auto v = value("--timeout");
      char* end = nullptr;
      double s = v ? std::strtod(v->c_str(), &end) : 0;
      if (!v || end == v->c_str() || *end != '\0' || !(s >= 0.001) || s > 86400) {
        return fail("--timeout needs a number of seconds from 0.001 to 86400");
      }
      o.timeout_s = s;
    } else if (a == "--model") {
      auto v = value("--model");
      if (!v) return fail("--model needs a text");
      o.model = *v;
    } else if (a == "--dir") {
      auto v = value("--dir");
      if (!v) return fail("--dir needs a directory");
      o.dir = *v;
    } else if (a.size() > 1 && a[0] == '-' && !ParseNumber(a)) {
      return fail("unknown option '" + a + "'");
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.args.push_back(a);
    }
  }
  static const char* kCommands[] = {"scan", "version", "download", "send", "check", "dump-image"};
  if (!o.command.empty() && !o.help) {
    bool known = false;
    for (const char* c : kCommands) known = known || o.command == c;
    if (!known) return fail("unknown command '" + o.command + "'");
    const bool takesArgs = o.command == "download" || o.command == "send" || o.command == "check" ||
                           o.command == "dump-image";
    if (!takesArgs && !o.args.empty()) {
      return fail("'" + o.command + "' takes no argument '" + o.args[0] + "'");
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
      if (!hint.empty()) err << "hint: " << hint << "\n";
    }
  }
  return rc;
}

}  // namespace qx::cli
