// The main window MAIN in Qt: a view of the controller's state. It builds the
// widgets (under the models' object names), turns Qt's events into the
// controller's intents, applies the state it publishes and carries out what
// the controller asks (paint now, close, answer the open box, the history).
// It holds no behaviour of its own.
#pragma once

#include <QMainWindow>
#include <array>
#include <string>

#include "ui/main_controller.h"

class QLabel;
class QListWidget;
class QMenu;

namespace qx::qt {

class HistoryDialog;

// Window title naming the transport; a simulated bus is called out as such.
QString WindowTitle(const std::string& caption, const std::string& transport, bool simulated);

class MainWindow final : public QMainWindow, private MainView {
  Q_OBJECT

 public:
  // `title` and `banner` name the transport (a simulated bus says so).
  MainWindow(MainController& controller, const std::string& title, const std::string& banner,
             bool simulated, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The widget of a part of the window (a QAction for the menu parts is
  // found with Action()).
  QWidget* Control(ControlId id) const { return widgets_[static_cast<size_t>(id)]; }
  QAction* Action(ControlId id) const;
  // The button whose input still reaches the window while a command is out.
  QWidget* AbortButton() const { return Control(ControlId::kTyusi); }
  bool Busy() const { return controller_.Busy(); }

 signals:
  void firstPainted();
  void closed();
  // A download block was sent: index of count (1-based).
  void blockSent(int index, int count);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // MainView
  void Apply(const ViewState& state) override;
  void PaintNow(ControlId id) override;
  void PostClose() override;
  void AnswerOpenBox() override;
  void ShowHistory(const std::string& path) override;
  void ReloadHistory() override;

  // The window in parts, top to bottom, in the order Tab goes through them.
  void BuildMenus();
  QWidget* BuildTargetPanel(QWidget* parent);
  QWidget* BuildReleasePanel(QWidget* parent);
  QWidget* BuildBottom(QWidget* parent);
  void ConnectControls();
  template <class W>
  W* Make(QWidget* parent, ControlId id);
  void ApplyColours();

  MainController& controller_;
  bool simulated_;
  bool painted_ = false;
  int blocks_shown_ = 0;
  std::array<QWidget*, kControlCount> widgets_{};
  QMenu* scsi_mode_ = nullptr;
  QAction* scsi_scan_ = nullptr;
  QAction* history_ = nullptr;
  HistoryDialog* history_dialog_ = nullptr;
};

}  // namespace qx::qt
