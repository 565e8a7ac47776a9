// One run of a command: the window model, its console window system, the
// event printer and the download history, with the steps the commands share
// (scan, select a drive, name a release file).
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>

#include "app/cli.h"
#include "app/cli_console.h"
#include "app/cli_output.h"
#include "history/history.h"
#include "ui/main_form.h"
#include "ui/settings_store.h"

namespace qx::cli {

class Session {
 public:
  Session(const Options& options, std::ostream& out, std::ostream& err);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs the command; a job whose output could not be written has failed,
  // whatever it did.
  int Run();

  const Options& options() const { return options_; }
  std::ostream& err() { return err_; }
  Reporter& reporter() { return reporter_; }
  MainForm& form() { return form_; }
  history::Log& history() { return history_; }
  // The last INQUIRY of the chosen drive answered (its firmware caption is real).
  bool firmware_ok() const { return firmware_ok_; }

  // The scan, then the transport's notes about it and what the history says
  // about the drives found. nullopt when no ASPI manager answered.
  std::optional<ScanResult> ScanBus();
  // Selects --ha and --id the way an operator does: scan, then set the two
  // list positions (which runs the click handlers and INQUIRY). kExitOk, or
  // the exit status with the reason printed.
  int Select();
  // The release file named on the command line, as the file list would show
  // it; nullopt (message printed) when the path cannot name a release.
  std::optional<std::filesystem::path> ReleaseArgument();

 private:
  void OnEvent(const MainEvent& e);
  void ReportNotes();

  const Options& options_;
  std::ostream& err_;
  Reporter reporter_;
  ConsoleWindowSystem ws_;
  MemorySettingsStore settings_;
  MainForm form_;
  bool firmware_ok_ = false;
  history::Log history_;
};

// The commands, one per entry of the command table.
int RunScan(Session& s);
int RunVersion(Session& s);
int RunDownload(Session& s);
int RunSend(Session& s);
int RunCheck(Session& s);
int RunDumpImage(Session& s);
int RunHistory(Session& s);

}  // namespace qx::cli
