// The commands that talk to a drive without downloading: scan, version, send.
#include <nlohmann/json.hpp>
#include <span>

#include "app/cli_session.h"
#include "app/cli_tables.h"
#include "app/cli_twin.h"
#include "aspi/transport_state.h"
#include "commands/hexdump.h"

namespace qx::cli {

int RunScan(Session& s) {
  TwinRecording twin(s);
  const auto scan = s.ScanBus();
  if (!scan) return kExitFailed;
  Reporter& r = s.reporter();
  if (!r.json()) {
    if (scan->adapters.empty()) r.Human("No host adapter answered.");
    for (const auto& a : scan->adapters) {
      r.Human("Host adapter " + a.item);
      for (const auto& t : a.targets) r.Human("  target " + t.item);
      if (a.targets.empty()) r.Human("  (no devices)");
    }
  }
  const auto manager = InstalledAspiManager();
  const std::string bus = manager ? manager->Name() : "bus";
  return twin.Write("the devices found by a scan of the " + bus) ? kExitOk : kExitFailed;
}

int RunVersion(Session& s) {
  if (int rc = s.Select()) return rc;
  if (!s.firmware_ok()) {
    s.err() << "qxflash: the drive did not answer INQUIRY: " << Printable(ErrMsg) << "\n";
    return kExitFailed;
  }
  if (!s.reporter().json()) {
    s.reporter().Human(s.form().ComboID.Text());
    s.reporter().Human("Current Firmware Version:" + Latin1ToUtf8(s.form().FWVer.Caption));
  }
  return kExitOk;
}

namespace {

// The builder named by the arguments and its numbers; nullptr with the usage
// error printed.
const BuilderSpec* BuilderArguments(Session& s, std::vector<long long>& values) {
  const auto& args = s.options().args;
  std::ostream& err = s.err();
  if (args.empty()) {
    err << "qxflash: send needs a builder name (see --help)\n";
    return nullptr;
  }
  const BuilderSpec* builder = FindBuilder(args[0]);
  if (builder == nullptr) {
    err << "qxflash: unknown builder '" << QuotedArg(args[0]) << "'; one of:";
    for (const auto& b : BuilderTable()) err << ' ' << b.name;
    err << "\n";
    return nullptr;
  }
  if (args.size() - 1 != builder->args.size()) {
    err << "qxflash: " << builder->name << " takes " << builder->args.size() << " argument(s)\n";
    return nullptr;
  }
  for (size_t i = 0; i < builder->args.size(); ++i) {
    const ArgSpec& arg = builder->args[i];
    auto v = ParseNumber(args[i + 1]);
    if (!v || *v < arg.lo || *v > arg.hi) {
      err << "qxflash: " << arg.name << " '" << QuotedArg(args[i + 1]) << "' of " << builder->name
          << " is not a number in " << arg.lo << ".." << arg.hi << "\n";
      return nullptr;
    }
    values.push_back(*v);
  }
  return builder;
}

}  // namespace

int RunSend(Session& s) {
  std::vector<long long> values;
  const BuilderSpec* builder = BuilderArguments(s, values);
  if (builder == nullptr) return kExitUsage;
  if (int rc = s.Select()) return rc;
  const int16_t result = builder->run(values);
  const bool ok = result == SS_COMP;
  Reporter& r = s.reporter();
  if (ok && XferLen > 0) {
    for (const auto& line :
         DumpLines(std::span<const uint8_t>(DataBuf.data(), static_cast<size_t>(XferLen)))) {
      r.Data(line);
    }
  }
  const std::string name = builder->name;
  if (r.json()) {
    r.Json({{"event", "result"}, {"code", result}, {"errmsg", ok ? "" : ErrMsg}});
  } else {
    r.Human(ok ? name + ": completed without error"
               : name + " failed (" + std::to_string(result) + "): " + ErrMsg);
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace qx::cli
