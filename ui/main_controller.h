// The main window's behaviour, once for both windows: it takes the operator's
// intents (rescan, choose, download, abort, close, ...) and the window
// system's news (a command being waited for, a stop from outside), runs the
// MainForm handlers, and publishes one ViewState that the Qt and the Win32
// views apply. It owns the busy state, the abort acknowledgement, a close or
// stop that waits for the handlers to return, the release summary, the notes,
// the history glue, the wait line, the progress, the enable, visibility and
// focus rules and what a screen reader should hear.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "aspi/bus_scan.h"
#include "download/procedure.h"
#include "history/history.h"
#include "platform/window_system.h"
#include "ui/main_form.h"
#include "ui/view_state.h"
#include "ui/window_notes.h"

namespace qx {

// What a view does for the controller besides applying its state.
class MainView {
 public:
  virtual ~MainView() = default;
  // Shows `state` (only what changed needs touching).
  virtual void Apply(const ViewState& state) = 0;
  // Paints the control at once: no event-loop turn may come before the
  // operator must see it (the executor is waiting for the drive).
  virtual void PaintNow(ControlId id) = 0;
  // Closes the window soon, from the event loop (it asks CloseRequested()).
  virtual void PostClose() = 0;
  // A stop came while a message box waits for an answer: the box gets its
  // safe answer (Cancel where there is one, OK otherwise).
  virtual void AnswerOpenBox() = 0;
  // Opens the history window (or raises it and reads the history again).
  virtual void ShowHistory(const std::string& path) = 0;
  // Reads the history window's contents again if it is open.
  virtual void ReloadHistory() = 0;
};

class MainController {
 public:
  // `history` (may be null or disabled) must outlive the controller; its
  // warnings become notes. `banner` is the line naming the transport.
  // `settings` (may be null) keeps the folder of the last release opened.
  MainController(MainForm& form, history::Log* history, std::string window_title,
                 std::string banner = {}, SettingsStore* settings = nullptr);
  ~MainController();
  MainController(const MainController&) = delete;
  MainController& operator=(const MainController&) = delete;

  // The view that shows the state (null: none). Publishes at once.
  void Attach(MainView* view);
  const ViewState& State() const { return state_; }
  bool Busy() const { return busy_; }

  // The operator's intents.
  void Rescan();
  void ChooseAdapter(int index);
  void ChooseTarget(int index);
  void ChooseFile(int index);
  // A release from any folder (the Open dialog, a file dropped on the window,
  // the command line): the file list shows its folder and it is chosen there
  // as a click would choose it; the folder is remembered for the next start.
  // A path that is not an existing *.OUB file changes nothing but a note.
  void OpenRelease(const std::string& path);
  void Download();
  // "Check Drive and Release": the dry run of the chosen release on the
  // chosen drive, asking nothing; what it found goes to the notes.
  void CheckDrive();
  // Offered (kRestartElevated visible) when the last scan was refused drives
  // for want of rights: starts this program again with more rights on the
  // drives, with the folder, release, adapter and target chosen here
  // (ElevatedRestartArguments), through `restart_elevated`, then closes this
  // window. Declined or failed: a note says so and the window stays.
  void RestartElevated();
  void Abort();  // the Abort button, or Escape anywhere during a download
  void ShowHistory();
  // The window's close button, Alt+F4: true when the window may close now
  // (the model's Unload has run). Refused while a download runs (said in the
  // window) and put off while another handler runs.
  bool CloseRequested();
  // A stop from outside the window (a signal, the console closed, the session
  // ending): during a download it acts like Abort and the window closes once
  // the download has ended; while another handler runs (a scan, a box) the
  // window closes once it has returned, an open box being answered with its
  // safe button; otherwise the window closes at once.
  void StopRequested();

  // From the window system.
  void Waiting(const CommandWait& wait);  // the drive works on a command
  void WaitEnded();
  void PaintStatusLine();  // the core asks for Text1 at once

  // At start: says when the history that was wanted has no place.
  void NoHistory();
  // At start: the drive to choose once the window shows (the scan runs then).
  void ChooseDriveWhenShown(std::optional<int> ha, std::optional<int> id);
  // The window has painted for the first time: the drive asked for at start
  // is scanned for and chosen.
  void WindowShown();
  // The command-line arguments that start the window again on the drives
  // with what is chosen now: --drives, the release (or --dir and the
  // folder), --ha and --id of the chosen target.
  std::vector<std::string> ElevatedRestartArguments() const;
  // Starts the program again with more rights and `arguments`; false when it
  // did not start (declined, failed). Null: the offer is never made.
  std::function<bool(const std::vector<std::string>& arguments)> restart_elevated;
  // After each handler that an intent started has returned.
  std::function<void()> on_handler_finished;

  // The folder of the last release opened, if it still exists ("" if none).
  static std::string RememberedFolder(SettingsStore& settings);

  // Texts the controller shows, for the views' tests.
  static constexpr const char* kOpenReleaseText = "Open Release\u2026";
  static constexpr const char* kCheckDriveText = "Check Drive and Release";
  static constexpr const char* kReleasesSection = "Releases";
  static constexpr const char* kRestartElevatedText = "Restart as Administrator";
  static constexpr const char* kRestartFailedText =
      "The program was not started as administrator (the request was declined or failed); "
      "this window stays open.";
  static constexpr const char* kAbortText =
      "Abort requested \u2013 the download stops after the current command";
  static constexpr const char* kStopText =
      "Stop requested \u2013 the download stops after the current command, then the window "
      "closes";
  static constexpr const char* kCloseRefusedText =
      "The window stays open until the download has ended: press Abort (Escape) to stop it "
      "after the current command.";

 private:
  // Runs a model handler: counted (a close or stop waits for it), with
  // anything it throws shown as an internal error, then the summary and the
  // state brought up to date.
  void RunHandler(const std::function<void()>& handler);
  void OnModelEvent(const MainEvent& e);
  void Acknowledge(const char* text);
  void UpdateReleaseSummary();
  void Warning(const std::string& text);
  void Announce(ControlId source, std::string text);
  // Makes the state from the model and this object's own, hands it to the
  // view, and forgets the one-shot parts (focus, announcements).
  void Publish();
  void Build();

  MainForm& form_;
  history::Log* history_;
  SettingsStore* settings_;
  std::string window_title_;
  MainView* view_ = nullptr;
  ViewState state_;
  WindowNotes notes_;

  bool busy_ = false;
  bool abort_acknowledged_ = false;
  const char* acknowledgement_ = nullptr;
  bool close_when_done_ = false;
  bool close_refused_ = false;  // said once per download
  bool closed_ = false;
  int handler_depth_ = 0;
  std::string wait_text_;
  std::string scan_notes_;
  bool access_denied_ = false;  // the last scan was refused drives for want of rights
  std::optional<int> start_ha_, start_id_;
  std::string status_said_;  // the status line as last announced
  // The release summary and the file, target entry and directory it was made for.
  std::string summary_key_;
  std::string summary_;
  bool summary_ok_ = false;
};

}  // namespace qx
