#include "app/cli_tables.h"

#include "app/cli_output.h"
#include "app/cli_session.h"
#include "app/cli_transport.h"
#include "commands/commands.h"

namespace qx::cli {

namespace {

std::optional<std::string> Conflict(bool clash, const std::string& what) {
  if (clash) return what + " cannot be used together";
  return std::nullopt;
}

// `name`: the option as written, so a clash names what was given.
std::optional<std::string> ChooseTransport(Options& o, Options::Transport t, const char* name) {
  if (t == Options::Transport::kDrives) o.drives_option = name;
  auto clash = Conflict(o.transport_given && o.transport != t, "--sim and " + o.drives_option);
  o.transport = t;
  o.transport_given = true;
  return clash;
}

std::optional<std::string> Flag(bool& flag) {
  flag = true;
  return std::nullopt;
}

// A number 0-7 for --ha and --id.
std::optional<std::string> Address(std::optional<int>& field, const std::string& value,
                                   const char* option) {
  auto n = ParseNumber(value);
  if (!n || *n < 0 || *n > 7) return std::string(option) + " needs a number from 0 to 7";
  field = static_cast<int>(*n);
  return std::nullopt;
}

// Addresses travel in 24-bit fields; larger values are refused here rather
// than cut to their low bits by the builder.
constexpr ArgSpec Byte(const char* n) {
  return {n, 0, 255};
}
constexpr ArgSpec Addr(const char* n) {
  return {n, 0, 0xFFFFFF};
}

}  // namespace

const std::vector<OptionSpec>& OptionTable() {
  using O = Options;
  using T = Options::Transport;
  static const std::vector<OptionSpec> table = {
      {"--sim", nullptr, "the simulated bus (default); --sim=FILE.json: a scenario", kTransport,
       [](O& o, const std::string&) {
         auto clash = ChooseTransport(o, T::kSim, "--sim");
         o.scenario.clear();
         return clash;
       }},
      {"--drives", nullptr, DrivesHelp(), kTransport,
       [](O& o, const std::string&) { return ChooseTransport(o, T::kDrives, "--drives"); }},
      {DrivesAlias(), nullptr, "the same as --drives", kTransport,
       [](O& o, const std::string&) { return ChooseTransport(o, T::kDrives, DrivesAlias()); }},
      {"--trace", nullptr, "print the trace of every request block", kDrive,
       [](O& o, const std::string&) { return Flag(o.trace); }},
      {"--json", nullptr, "print one JSON object per line for every event", kOutput,
       [](O& o, const std::string&) { return Flag(o.json); }},
      {"--timeout", "SECONDS", "give up on a request after this long (default 300)", kDrive,
       [](O& o, const std::string& v) -> std::optional<std::string> {
         const auto s = ParseDecimal(v);
         if (!s || !(*s >= 0.001) || *s > 86400) {
           return "--timeout needs a number of seconds from 0.001 to 86400";
         }
         o.timeout_s = *s;
         return std::nullopt;
       }},
      {"--ha", "N", "host adapter of the drive (0-7)", kTarget,
       [](O& o, const std::string& v) { return Address(o.ha, v, "--ha"); }},
      {"--id", "M", "target ID of the drive (0-7)", kTarget,
       [](O& o, const std::string& v) { return Address(o.id, v, "--id"); }},
      {"--model", "TEXT", "model for check and dump-image (default QX-R4410)", kModel,
       [](O& o, const std::string& v) {
         o.model = v;
         return std::nullopt;
       }},
      {"--dir", "DIR", "firmware directory of the desktop window", kWindow,
       [](O& o, const std::string& v) {
         o.dir = v;
         return std::nullopt;
       }},
      {"--yes", nullptr, "answer the download confirmation with OK", kConfirm,
       [](O& o, const std::string&) {
         auto clash = Conflict(o.confirm == O::Confirm::kNo, "--yes and --no");
         o.confirm = O::Confirm::kYes;
         return clash;
       }},
      {"--no", nullptr, "answer the download confirmation with Cancel", kConfirm,
       [](O& o, const std::string&) {
         auto clash = Conflict(o.confirm == O::Confirm::kYes, "--yes and --no");
         o.confirm = O::Confirm::kNo;
         return clash;
       }},
      {"--dry-run", nullptr, "every check of the download; nothing written to the drive", kDryRun,
       [](O& o, const std::string&) { return Flag(o.dry_run); }},
      {"--record", "TWIN.json", "write the drives' answers as a scenario (scan, --dry-run)",
       kRecord,
       [](O& o, const std::string& v) -> std::optional<std::string> {
         if (v.empty()) return "--record needs a file name";
         o.record = v;
         return std::nullopt;
       }},
      {"--no-history", nullptr, "record nothing in the download history", kHistory,
       [](O& o, const std::string&) { return Flag(o.no_history); }},
      {"--help", nullptr, "show this text (also -h)", kAlways,
       [](O& o, const std::string&) { return Flag(o.help); }},
      {"--version", nullptr, "show the program version", kAlways,
       [](O& o, const std::string&) { return Flag(o.version); }},
  };
  return table;
}

const std::vector<CommandSpec>& CommandTable() {
  constexpr unsigned kDriveJob = kTransport | kDrive | kOutput | kHistory;
  static const std::vector<CommandSpec> table = {
      {"scan", "[--record TWIN.json]", "list the host adapters and devices", 0, kDriveJob | kRecord,
       &RunScan},
      {"version", "--ha N --id M", "show the firmware version of a drive", 0, kDriveJob | kTarget,
       &RunVersion},
      {"download", "FILE.OUB --ha N --id M [--yes|--no|--dry-run]",
       "check a release and download it", 1, kDriveJob | kTarget | kConfirm | kDryRun | kRecord,
       &RunDownload},
      {"send", "BUILDER [ARGS] --ha N --id M", "send one command of the command set", 4,
       kDriveJob | kTarget, &RunSend},
      {"check", "FILE.OUB [--model TEXT]", "check a release without a drive", 1,
       kTransport | kOutput | kModel, &RunCheck},
      {"dump-image", "FILE.OUB [--model TEXT]", "check a release and dump its image", 1,
       kTransport | kOutput | kModel, &RunDumpImage},
      // --no-history is taken so that the command can say why it makes no sense.
      {"history", "[--json]", "list the download history", 0, kTransport | kOutput | kHistory,
       &RunHistory},
      {"", "", "the desktop window", 1, kTransport | kDrive | kHistory | kWindow | kTarget,
       nullptr},
  };
  return table;
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

const CommandSpec* FindCommand(const std::string& name) {
  for (const auto& c : CommandTable()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

const BuilderSpec* FindBuilder(const std::string& name) {
  for (const auto& b : BuilderTable()) {
    if (name == b.name) return &b;
  }
  return nullptr;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const auto& c : CommandTable()) {
    if (*c.name) names.push_back(c.name);
  }
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

std::vector<std::string> OptionNamesOf(const std::string& command) {
  std::vector<std::string> names;
  const CommandSpec* c = FindCommand(command);
  if (c == nullptr) return names;
  for (const auto& o : OptionTable()) {
    if (o.group == kAlways || (c->groups & o.group) != 0) names.push_back(o.name);
  }
  return names;
}

}  // namespace qx::cli
