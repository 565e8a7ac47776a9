#include "app/cli_session.h"

#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "app/cli_stop.h"
#include "app/cli_tables.h"
#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "download/release.h"
#include "platform/os.h"
#include "platform/version.h"
#include "ui/debug_form.h"

namespace qx::cli {

Session::Session(const Options& options, std::ostream& out, std::ostream& err)
    : options_(options),
      err_(err),
      reporter_(out, options.json, &err == &std::cerr && os::StderrIsTerminal()),
      ws_(reporter_, err, options.confirm),
      form_(settings_),
      history_(history::Log::ForUser(!options.no_history, kProgramVersion)) {
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

Session::~Session() {
  CatchStops(false);
  D_WIn.on_line = nullptr;
  InstallWindowSystem(nullptr);
}

int Session::Run() {
  const CommandSpec* command = FindCommand(options_.command);
  if (command == nullptr || command->run == nullptr) {
    err_ << "qxflash: unknown command '" << QuotedArg(options_.command) << "' (see --help)\n";
    return kExitUsage;
  }
  const int rc = command->run(*this);
  reporter_.EndLive();
  if (reporter_.failed()) {
    err_ << "qxflash: cannot write the output: " << std::strerror(reporter_.error()) << "\n";
    return rc == kExitUsage ? rc : kExitFailed;
  }
  return rc;
}

void Session::OnEvent(const MainEvent& e) {
  switch (e.kind) {
    case MainEvent::kStatus:
      reporter_.Status(e.text);
      break;
    case MainEvent::kFirmware:
      firmware_ok_ = e.ok;
      if (reporter_.json()) reporter_.Json({{"event", "fwver"}, {"text", Latin1ToUtf8(e.text)}});
      break;
    case MainEvent::kAdapterItem:
      if (reporter_.json()) reporter_.Json({{"event", "adapter"}, {"item", e.text}});
      break;
    case MainEvent::kTargetItem:
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
    case MainEvent::kNotice:
      if (reporter_.json()) {
        reporter_.Json({{"event", "notice"}, {"text", e.text}});
      } else {
        err_ << "qxflash: note: " << Printable(e.text) << "\n";
      }
      break;
    case MainEvent::kBusy:
      // Stop requests ask for an abort only while blocks may go out; before
      // that (at the confirmation, say) Ctrl-C ends the program with nothing sent.
      CatchStops(e.busy);
      break;
  }
}

void Session::ReportNotes() {
  const auto manager = InstalledAspiManager();
  if (!manager) return;
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

std::optional<ScanResult> Session::ScanBus() {
  ScanResult scan = form_.Scan();
  if (!scan.answered) return std::nullopt;
  ReportNotes();
  for (const auto& notice : history_.CheckScan(scan)) {
    if (reporter_.json()) {
      nlohmann::json event = {{"event", "verify"},
                              {"ha", notice.ha},
                              {"id", notice.id},
                              {"changed", notice.changed},
                              {"text", Latin1ToUtf8(notice.text)}};
      if (notice.interrupted) event["interrupted"] = true;
      if (notice.in_progress) event["in_progress"] = true;
      reporter_.Json(event);
    } else {
      reporter_.Human(Latin1ToUtf8(notice.line));
    }
  }
  return scan;
}

int Session::Select() {
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
  if (auto why = form_.ProbeTarget(*options_.ha, *options_.id)) {
    err_ << " (" << Printable(*why) << ")";
  }
  err_ << "\n";
  return kExitFailed;
}

std::optional<std::filesystem::path> Session::ReleaseArgument() {
  if (options_.args.size() != 1) {
    err_ << "qxflash: " << options_.command << " needs exactly one parameter file (FILE.OUB)\n";
    return std::nullopt;
  }
  const std::string& arg = options_.args[0];
  const std::filesystem::path file = os::PathFromUtf8(arg);
  std::error_code ec;
  // No file name: empty, or ending in a directory separator.
  if (!file.has_filename() || std::filesystem::is_directory(file, ec)) {
    err_ << "qxflash: not a release file: " << QuotedArg(arg) << "\n";
    return std::nullopt;
  }
  // A name no file can have would come back whole in every message about it.
  // No file system here takes a name of more than 255 units; Windows does not
  // always say so through the error code.
  constexpr size_t kLongestName = 255;
  if (ec == std::errc::filename_too_long || file.filename().native().size() > kLongestName) {
    if (!ec) ec = std::make_error_code(std::errc::filename_too_long);
    err_ << "qxflash: not a release file: " << QuotedArg(arg) << " (" << ec.message() << ")\n";
    return std::nullopt;
  }
  if (auto image = ImageFileName(os::Utf8FromPath(file.filename()))) {
    const auto path = file.parent_path() / os::PathFromUtf8(*image);
    if (std::filesystem::is_symlink(path, ec) && !std::filesystem::exists(path, ec)) {
      err_ << "qxflash: image link " << QuotedArg(os::Utf8FromPath(path)) << " points to nothing\n";
      return std::nullopt;
    }
  }
  return file;
}

}  // namespace qx::cli
