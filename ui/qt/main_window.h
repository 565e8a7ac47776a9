// The main window MAIN as a view of the MainForm model. It renders the model's
// controls under their own object names and forwards user actions to the
// model's handlers; it holds no behaviour of its own.
#pragma once

#include <QMainWindow>
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window_system.h"
#include "ui/main_form.h"
#include "ui/window_notes.h"

class QAction;
class QBoxLayout;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;

namespace qx::qt {

class HistoryDialog;

// Window title naming the transport; a simulated bus is called out as such.
QString WindowTitle(const std::string& caption, const std::string& transport, bool simulated);

class MainWindow final : public QMainWindow {
  Q_OBJECT

 public:
  // `simulated`: the transport is a stand-in bus (AspiManager::Simulated());
  // the window then says plainly that no real drive is written.
  MainWindow(MainForm& form, const std::string& transport, bool simulated,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  // Shows the model's current state.
  void Render();
  // Renders one control and repaints it at once (window-system Refresh).
  void RefreshControl(std::string_view name);
  // True between the model's busy and idle notifications (a download runs).
  bool Busy() const { return busy_; }

  // While the executor waits for one command: from the first second on, the
  // progress area names the command and the seconds waited (DescribeWait).
  void ShowWait(const CommandWait& wait);
  // The command is over: the progress area's wait text goes.
  void EndWait();
  // A stop signal (SIGTERM, SIGHUP). During a download it acts like Abort and
  // the window closes once the download has ended; while another handler runs
  // (a scan, a message box) the window closes when it has returned, an open
  // box being answered with its escape button; otherwise it closes at once.
  void RequestStop();
  // The button whose input still reaches the window while a command is out.
  QPushButton* AbortButton() const { return tyusi_; }

  // The download history the window records in and checks after each scan
  // (null or disabled: nothing is recorded). Takes over log->on_warning: its
  // warnings become a notice in the window. The log must outlive the window.
  void SetHistory(history::Log* log);
  // A notice about the history below the lists (kept until the next scan).
  void HistoryWarning(const std::string& text);
  // At start: says when the history that was wanted has no place.
  void NoHistory(const history::Log& log) {
    notes_.NoHistory(log);
    RenderHistoryNotes();
  }
  // Opens (or raises and reloads) the history dialog; non-modal, so Abort
  // stays reachable during a download.
  HistoryDialog* ShowHistory();

 signals:
  void firstPainted();
  void closed();
  // After each model handler that a user action started has returned.
  void handlerFinished();
  // A download block was sent: index of count (1-based).
  void blockSent(int index, int count);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // The window in parts, top to bottom; BuildControls calls them in order, so
  // the controls are made (and focused by Tab) in that order.
  void BuildControls(const std::string& transport, bool simulated);
  void BuildMenus();
  QWidget* BuildBanner(QWidget* parent, const std::string& transport, bool simulated);
  QWidget* BuildTargetPanel(QWidget* parent);
  void BuildNotices(QWidget* parent, QBoxLayout* outer);
  QWidget* BuildReleasePanel(QWidget* parent);
  void BuildProgressArea(QWidget* parent, QBoxLayout* outer);
  QWidget* BuildStatusLine(QWidget* parent);
  void ConnectControls();
  void OnModelEvent(const MainEvent& e);
  void RunHandler(const std::function<void()>& handler);
  void RenderText1();
  void RenderProgress(int index, int count);
  void ClearProgress();
  void AcknowledgeAbort(const QString& notice);
  void RenderScanNotes();
  void Download();
  void VerifyScanned(const ScanResult& scan);
  void RenderHistoryNotes();
  void UpdateReleaseSummary();

  MainForm& form_;
  bool busy_ = false;
  bool painted_ = false;
  bool abort_acknowledged_ = false;  // Abort seen during this download
  bool close_when_done_ = false;     // a stop signal waits for the handlers to end
  int handler_depth_ = 0;            // model handlers running (nested through events)

  QPushButton* tyusi_ = nullptr;
  QPushButton* command1_ = nullptr;
  QListWidget* file1_ = nullptr;
  QLineEdit* text1_ = nullptr;
  QComboBox* combo_ha_ = nullptr;
  QComboBox* combo_id_ = nullptr;
  QLabel* label4_ = nullptr;
  QLabel* fwver_ = nullptr;
  std::array<QLabel*, 3> label3_{};
  QLabel* image1_ = nullptr;
  QLabel* label1_ = nullptr;
  QLabel* label2_ = nullptr;
  QLabel* badge_ = nullptr;
  QMenu* scsi_mode_ = nullptr;
  QAction* scsi_scan_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* wait_info_ = nullptr;        // the command the drive is working on
  QLabel* abort_notice_ = nullptr;     // Abort acknowledged
  QLabel* scan_notes_ = nullptr;       // the transport's notes about the last scan
  QLabel* history_notes_ = nullptr;    // verifications after the last scan, history warnings
  QLabel* release_summary_ = nullptr;  // what Download Start would find in the chosen file
  QAction* history_action_ = nullptr;
  HistoryDialog* history_dialog_ = nullptr;

  history::Log* history_ = nullptr;
  WindowNotes notes_;
  // File, target entry and directory the release summary was made for.
  std::string summary_key_;
};

}  // namespace qx::qt
