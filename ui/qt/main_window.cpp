#include "ui/qt/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <exception>

#include "aspi/manager.h"
#include "download/preview.h"
#include "history/history.h"
#include "ui/qt/artwork.h"
#include "ui/qt/fonts.h"
#include "ui/qt/history_dialog.h"
#include "ui/qt/labels.h"
#include "ui/qt/text.h"
#include "ui/window_texts.h"

namespace qx::qt {

namespace {

constexpr int kPictureWidth = 120;
constexpr int kPictureHeight = 96;

QStringList ItemTexts(const std::vector<std::string>& items) {
  QStringList texts;
  texts.reserve(static_cast<qsizetype>(items.size()));
  for (const auto& item : items) texts << OneLine(item);
  return texts;
}

// Fills a list view with the model's items unless it shows exactly these
// already (refilling would lose the position and the scrolling); `text_at(i)`
// reads the view's item i.
template <typename View, typename TextAt>
void RenderItems(View* view, const std::vector<std::string>& model_items, TextAt text_at) {
  const QStringList items = ItemTexts(model_items);
  bool same = view->count() == items.size();
  for (int i = 0; same && i < items.size(); ++i) same = text_at(i) == items[i];
  if (!same) {
    view->clear();
    view->addItems(items);
  }
}

// Mirrors a model combo box: items, list position, enabled state. Signals are
// blocked so that nothing here looks like a user choice.
void RenderCombo(QComboBox* view, const ComboBox& model) {
  const QSignalBlocker block(view);
  RenderItems(view, model.Items(), [view](int i) { return view->itemText(i); });
  if (view->currentIndex() != model.ListIndex()) view->setCurrentIndex(model.ListIndex());
  view->setEnabled(model.Enabled);
}

void RenderFileList(QListWidget* view, const FileListBox& model) {
  const QSignalBlocker block(view);
  RenderItems(view, model.Items(), [view](int i) { return view->item(i)->text(); });
  if (view->currentRow() != model.ListIndex()) {
    view->setCurrentRow(model.ListIndex());
    if (model.ListIndex() < 0) view->clearSelection();
  }
  view->setEnabled(model.Enabled);
}

void RenderLabel(QLabel* view, const std::string& caption) {
  const QString text = OneLine(caption);
  if (view->text() != text) view->setText(text);
}

// A label framed like a read-only field (the values the window shows).
QLabel* MakeValueLabel(QWidget* parent, const char* name) {
  QLabel* label = MakeLabel(parent, name);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label->setMinimumHeight(22);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

// One of the two target-panel lists (adapters, targets), wide enough for an
// entry before it is filled.
QComboBox* MakeTargetCombo(QWidget* parent, const char* name, const QFont& font) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(QLatin1String(name));
  combo->setFont(font);
  combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  combo->setMinimumContentsLength(22);
  return combo;
}

// A button that Enter never presses: a download starts only on a deliberate
// click.
QPushButton* MakeButton(QWidget* parent, const char* name, int minimum_width) {
  auto* button = new QPushButton(parent);
  button->setObjectName(QLatin1String(name));
  button->setDefault(false);
  button->setAutoDefault(false);
  button->setMinimumWidth(minimum_width);
  return button;
}

// Image1's picture, drawn for the screen's pixel ratio so that it stays sharp.
QPixmap PictureFor(qreal device_pixel_ratio) {
  QPixmap picture = QPixmap::fromImage(DrivePicture(qRound(kPictureWidth * device_pixel_ratio),
                                                    qRound(kPictureHeight * device_pixel_ratio)));
  picture.setDevicePixelRatio(device_pixel_ratio);
  return picture;
}

}  // namespace

QString WindowTitle(const std::string& caption, const std::string& transport, bool simulated) {
  return FromModel(WindowTitleText(caption, transport, simulated));
}

MainWindow::MainWindow(MainForm& form, const std::string& transport, bool simulated,
                       QWidget* parent)
    : QMainWindow(parent), form_(form) {
  setObjectName(QStringLiteral("MAIN"));
  setWindowTitle(WindowTitle(form_.Caption, transport, simulated));
  setWindowIcon(AppIcon());
  BuildControls(transport, simulated);
  form_.on_event = [this](const MainEvent& e) { OnModelEvent(e); };
  Render();
}

MainWindow::~MainWindow() {
  form_.on_event = nullptr;
  if (history_) history_->on_warning = nullptr;
}

// The controls top to bottom, in the order the focus chain follows them.
void MainWindow::BuildControls(const std::string& transport, bool simulated) {
  setFont(UiFont());
  BuildMenus();

  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("central"));
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(10, 8, 10, 8);
  outer->setSpacing(8);
  outer->addWidget(BuildBanner(central, transport, simulated));
  outer->addWidget(BuildTargetPanel(central));
  BuildNotices(central, outer);
  outer->addWidget(BuildReleasePanel(central), 1);
  BuildProgressArea(central, outer);
  outer->addWidget(BuildStatusLine(central));
  setCentralWidget(central);

  ConnectControls();
}

void MainWindow::BuildMenus() {
  const QFont ui = UiFont();
  menuBar()->setFont(ui);
  scsi_mode_ = menuBar()->addMenu(QString());
  scsi_mode_->setObjectName(QStringLiteral("SCSIMode"));
  scsi_mode_->setFont(ui);
  scsi_scan_ = scsi_mode_->addAction(QString());
  scsi_scan_->setObjectName(QStringLiteral("Scsi_Scan"));
  // The history sits beside the defined menu, after it.
  history_action_ = menuBar()->addAction(QStringLiteral("History"));
  history_action_->setObjectName(QStringLiteral("History"));
}

// The line above the target panel naming the transport; a simulated bus is
// called out in a bold yellow band.
QWidget* MainWindow::BuildBanner(QWidget* parent, const std::string& transport, bool simulated) {
  badge_ = MakeLabel(parent, "TransportBadge");
  badge_->setAlignment(Qt::AlignCenter);
  if (simulated) {
    badge_->setText(FromModel(BannerText(transport, simulated)));
    badge_->setStyleSheet(
        QStringLiteral("QLabel { background: #ffd84d; color: #3a2e00; font-weight: bold; "
                       "border: 1px solid #c9a400; border-radius: 3px; padding: 3px; }"));
  } else {
    badge_->setText(FromModel(BannerText(transport, simulated)));
    badge_->setStyleSheet(QStringLiteral("QLabel { color: #4a4a4a; padding: 2px; }"));
  }
  return badge_;
}

// Target: picture, adapter and target lists, firmware version.
QWidget* MainWindow::BuildTargetPanel(QWidget* parent) {
  auto* target = new QFrame(parent);
  target->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  auto* grid = new QGridLayout(target);
  grid->setHorizontalSpacing(8);
  image1_ = MakeLabel(target, "Image1");
  image1_->setFixedSize(kPictureWidth, kPictureHeight);
  image1_->setPixmap(PictureFor(devicePixelRatioF()));
  grid->addWidget(image1_, 0, 0, 4, 1, Qt::AlignTop);
  label1_ = MakeLabel(target, "Label1");
  label2_ = MakeLabel(target, "Label2");
  combo_ha_ = MakeTargetCombo(target, "ComboHA", UiFont());
  combo_id_ = MakeTargetCombo(target, "ComboID", FixedPitchFont());
  label1_->setBuddy(combo_ha_);
  label2_->setBuddy(combo_id_);
  grid->addWidget(label1_, 0, 1);
  grid->addWidget(combo_ha_, 0, 2);
  grid->addWidget(label2_, 1, 1);
  grid->addWidget(combo_id_, 1, 2);
  label3_[2] = MakeLabel(target, "Label3_2");
  grid->addWidget(label3_[2], 2, 1, 1, 2);
  fwver_ = MakeValueLabel(target, "FWVer");
  grid->addWidget(fwver_, 3, 1, 1, 2);
  grid->setColumnStretch(2, 1);
  return target;
}

void MainWindow::BuildNotices(QWidget* parent, QBoxLayout* outer) {
  // What the transport had to say about the last scan (devices it could not
  // map, a missing driver): shown until the next scan, hidden when empty.
  scan_notes_ = MakeNotice(parent, "ScanNotes",
                           {.background = "#e8f0fb", .text = "#1c3558", .border = "#9db4d6"});
  outer->addWidget(scan_notes_);

  // What the history says about the drives of the last scan ("firmware now
  // ..."), and warnings of the history itself; hidden when empty.
  history_notes_ = MakeNotice(parent, "HistoryNotes",
                              {.background = "#eaf6ea", .text = "#1d4620", .border = "#9cc79f"});
  outer->addWidget(history_notes_);
}

// Release: file list, chosen name, what the download would find in it, the
// two buttons.
QWidget* MainWindow::BuildReleasePanel(QWidget* parent) {
  auto* release = new QFrame(parent);
  release->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  auto* grid = new QGridLayout(release);
  grid->setHorizontalSpacing(12);
  label3_[0] = MakeLabel(release, "Label3_0");
  label3_[1] = MakeLabel(release, "Label3_1");
  file1_ = new QListWidget(release);
  file1_->setObjectName(QStringLiteral("File1"));
  file1_->setFont(UiFont());
  file1_->setSelectionMode(QAbstractItemView::SingleSelection);
  file1_->setUniformItemSizes(true);
  file1_->setMinimumWidth(190);
  file1_->setMinimumHeight(110);
  label4_ = MakeValueLabel(release, "Label4");
  // Read-only summary of the chosen release (areas, blocks, checksum, or the
  // message the download would stop with); nothing is sent to make it.
  release_summary_ = MakeLabel(release, "ReleaseSummary");
  release_summary_->setWordWrap(true);
  release_summary_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  release_summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  release_summary_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  release_summary_->hide();
  // Abort is made first: it comes before Download Start in the focus chain.
  tyusi_ = MakeButton(release, "Tyusi", 90);
  command1_ = MakeButton(release, "Command1", 120);
  grid->addWidget(label3_[0], 0, 0);
  grid->addWidget(file1_, 1, 0, 4, 1);
  grid->addWidget(label3_[1], 0, 1, 1, 2);
  grid->addWidget(label4_, 1, 1, 1, 2);
  grid->addWidget(release_summary_, 2, 1, 1, 2);
  grid->setRowStretch(2, 1);
  grid->addWidget(command1_, 3, 1);
  grid->addWidget(tyusi_, 3, 2);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(2, 1);
  return release;
}

void MainWindow::BuildProgressArea(QWidget* parent, QBoxLayout* outer) {
  progress_ = new QProgressBar(parent);
  progress_->setObjectName(QStringLiteral("Progress"));
  ClearProgress();
  progress_->setTextVisible(true);
  progress_->setEnabled(false);
  outer->addWidget(progress_);

  // The progress area's own line: the command the drive is working on, and
  // the acknowledgement of Abort. It keeps its height whether or not it shows
  // anything, so that nothing moves while a command is out.
  auto* activity = new QHBoxLayout;
  activity->setSpacing(12);
  wait_info_ = MakeLabel(parent, "WaitInfo");
  wait_info_->setMinimumHeight(wait_info_->fontMetrics().height() + 4);
  wait_info_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  abort_notice_ = MakeLabel(parent, "AbortNotice");
  abort_notice_->setStyleSheet(QStringLiteral("QLabel { color: #8a1c00; font-weight: bold; }"));
  abort_notice_->hide();
  activity->addWidget(wait_info_, 1);
  activity->addWidget(abort_notice_, 0, Qt::AlignRight);
  outer->addLayout(activity);
}

// The status line at the bottom (Text1).
QWidget* MainWindow::BuildStatusLine(QWidget* parent) {
  text1_ = new QLineEdit(parent);
  text1_->setObjectName(QStringLiteral("Text1"));
  text1_->setReadOnly(true);
  text1_->setFont(UiFont());
  return text1_;
}

// Each user action runs its model handler through RunHandler.
void MainWindow::ConnectControls() {
  connect(scsi_scan_, &QAction::triggered, this, [this] {
    ScanResult scan;
    RunHandler([this, &scan] { scan = form_.Scan(); });
    RenderScanNotes();
    VerifyScanned(scan);
  });
  connect(history_action_, &QAction::triggered, this, [this] { ShowHistory(); });
  connect(combo_ha_, &QComboBox::activated, this,
          [this](int index) { RunHandler([this, index] { form_.ComboHA.SetListIndex(index); }); });
  connect(combo_id_, &QComboBox::activated, this,
          [this](int index) { RunHandler([this, index] { form_.ComboID.SetListIndex(index); }); });
  connect(file1_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (row >= 0) RunHandler([this, row] { form_.File1.SetListIndex(row); });
  });
  connect(command1_, &QPushButton::clicked, this, [this] { RunHandler([this] { Download(); }); });
  connect(tyusi_, &QPushButton::clicked, this, [this] {
    RunHandler([this] { form_.Tyusi_Click(); });
    if (busy_) {
      AcknowledgeAbort(
          QStringLiteral("Abort requested \u2013 the download stops after the "
                         "current command"));
    }
  });
}

void MainWindow::AcknowledgeAbort(const QString& notice) {
  // Shown at once, even while the executor is still waiting for the drive:
  // the operator must see that the click counted and not power the drive off.
  abort_acknowledged_ = true;
  tyusi_->setEnabled(false);
  abort_notice_->setText(notice);
  abort_notice_->show();
  if (QLayout* layout = centralWidget()->layout()) layout->activate();
  tyusi_->repaint();
  abort_notice_->repaint();
}

void MainWindow::SetHistory(history::Log* log) {
  if (history_) history_->on_warning = nullptr;
  history_ = log;
  if (history_) history_->on_warning = [this](const std::string& w) { HistoryWarning(w); };
}

void MainWindow::HistoryWarning(const std::string& text) {
  notes_.Warning(text);
  RenderHistoryNotes();
}

// Command1_Click with the attempt recorded in the download history.
void MainWindow::Download() {
  notes_.Downloaded(form_.StartDownload(history_));
  RenderHistoryNotes();
  if (history_dialog_ && history_dialog_->isVisible()) history_dialog_->Reload();
}

// After a scan: for each listed drive whose last download finished, whether its
// firmware has changed since (shown until the next scan).
void MainWindow::VerifyScanned(const ScanResult& scan) {
  notes_.Scanned(history_, scan);
  RenderHistoryNotes();
}

void MainWindow::RenderHistoryNotes() {
  QStringList lines;
  for (const auto& line : notes_.Lines()) lines << OneLine(line).simplified();
  ShowNotice(history_notes_, lines.join(QLatin1Char('\n')));
}

HistoryDialog* MainWindow::ShowHistory() {
  const std::string path = history_ != nullptr ? history_->path() : std::string();
  if (history_dialog_ == nullptr) {
    history_dialog_ = new HistoryDialog(path, this);
  } else {
    history_dialog_->Reload();
  }
  history_dialog_->show();
  history_dialog_->raise();
  history_dialog_->activateWindow();
  return history_dialog_;
}

// The summary follows the chosen file and target; it is made only between
// handlers and never while a download runs (the file is being sent then).
void MainWindow::UpdateReleaseSummary() {
  if (busy_ || handler_depth_ > 0) return;
  const std::string& file = form_.Label4.Caption;
  const std::string entry = form_.ComboID.Text();
  std::string key = form_.FirmwareDir;
  key.append(1, '\0').append(file).append(1, '\0').append(entry);
  if (key == summary_key_) return;
  summary_key_ = std::move(key);
  if (file.find_first_not_of(' ') == std::string::npos) {
    release_summary_->clear();
    release_summary_->hide();
    return;
  }
  const ReleasePreview preview = PreviewRelease(form_.FirmwareDir, file, entry);
  release_summary_->setText(OneLine(PreviewText(preview)));
  release_summary_->setStyleSheet(preview.ok ? QStringLiteral("QLabel { color: #1d4620; }")
                                             : QStringLiteral("QLabel { color: #8a1c00; }"));
  release_summary_->show();
}

void MainWindow::RenderScanNotes() {
  const auto manager = InstalledAspiManager();
  const std::string notes = manager ? manager->Notes() : std::string();
  ShowNotice(scan_notes_, MessageBoxText(notes).trimmed());
}

void MainWindow::ShowWait(const CommandWait& wait) {
  if (wait.elapsed < std::chrono::seconds(1)) return;
  const QString text = FromModel(DescribeWait(wait));
  if (wait_info_->text() != text) wait_info_->setText(text);
}

void MainWindow::EndWait() {
  if (!wait_info_->text().isEmpty()) wait_info_->clear();
}

void MainWindow::RequestStop() {
  if (busy_) {
    // Like Abort: the command in flight completes, the next block is not sent.
    close_when_done_ = true;
    RunHandler([this] { form_.Tyusi_Click(); });
    AcknowledgeAbort(
        QStringLiteral("Stop requested \u2013 the download stops after the "
                       "current command, then the window closes"));
    return;
  }
  if (handler_depth_ > 0) {
    // A scan or a question is under way: let it return first. A box waiting
    // for an answer gets its safe one (Cancel where there is one).
    close_when_done_ = true;
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      if (QAbstractButton* escape = box->escapeButton()) {
        escape->click();
      } else {
        box->reject();
      }
    }
    return;
  }
  close();
}

void MainWindow::RunHandler(const std::function<void()>& handler) {
  ++handler_depth_;
  try {
    handler();
  } catch (const std::exception& e) {
    // Nothing should escape a handler; if something does, say so instead of
    // letting it unwind through the event loop.
    QMessageBox::critical(this, windowTitle(),
                          QStringLiteral("Internal error: ") + QString::fromLocal8Bit(e.what()));
  }
  --handler_depth_;
  Render();
  UpdateReleaseSummary();
  emit handlerFinished();
  if (handler_depth_ == 0 && close_when_done_) {
    close_when_done_ = false;
    QTimer::singleShot(0, this, [this] { close(); });
  }
}

void MainWindow::Render() {
  tyusi_->setText(FromModel(form_.Tyusi.Caption));
  tyusi_->setEnabled(form_.Tyusi.Enabled && !abort_acknowledged_);
  command1_->setText(FromModel(form_.Command1.Caption));
  command1_->setEnabled(form_.Command1.Enabled);
  RenderFileList(file1_, form_.File1);
  RenderText1();
  RenderCombo(combo_ha_, form_.ComboHA);
  RenderCombo(combo_id_, form_.ComboID);
  RenderLabel(label4_, form_.Label4.Caption);
  RenderLabel(fwver_, form_.FWVer.Caption);
  for (size_t i = 0; i < label3_.size(); ++i) RenderLabel(label3_[i], form_.Label3[i].Caption);
  RenderLabel(label1_, form_.Label1.Caption);
  RenderLabel(label2_, form_.Label2.Caption);
  scsi_mode_->setTitle(FromModel(form_.SCSIMode.Caption));
  scsi_mode_->menuAction()->setEnabled(form_.SCSIMode.Enabled);
  scsi_scan_->setText(FromModel(form_.Scsi_Scan.Caption));
  // A rescan re-selects the target; never while a download is sending to it.
  scsi_scan_->setEnabled(form_.Scsi_Scan.Enabled && !busy_);
}

void MainWindow::RenderText1() {
  const QString text = OneLine(form_.Text1.Text);
  if (text1_->text() != text) {
    text1_->setText(text);
    text1_->setCursorPosition(0);
  }
  const QString full = MessageBoxText(form_.Text1.Text);
  text1_->setToolTip(full.contains(QLatin1Char('\n')) ? full : QString());
}

void MainWindow::RenderProgress(int index, int count) {
  progress_->setRange(0, count > 0 ? count : 1);
  progress_->setValue(index);
  progress_->setFormat(QStringLiteral("%v / %m blocks"));
}

// No block counted yet: an empty bar without text.
void MainWindow::ClearProgress() {
  progress_->setRange(0, 1);
  progress_->setValue(0);
  progress_->setFormat(QString());
}

void MainWindow::RefreshControl(std::string_view name) {
  if (name == "Text1") {
    RenderText1();
    text1_->repaint();
    return;
  }
  Render();
  if (auto* widget = findChild<QWidget*>(QString::fromUtf8(name.data(), qsizetype(name.size())))) {
    widget->repaint();
  }
}

void MainWindow::OnModelEvent(const MainEvent& e) {
  switch (e.kind) {
    case MainEvent::kStatus:
      RenderText1();
      break;
    case MainEvent::kBusy:
      busy_ = e.busy;
      if (abort_acknowledged_) {
        abort_acknowledged_ = false;
        abort_notice_->clear();
        abort_notice_->hide();
      }
      if (busy_) ClearProgress();
      progress_->setEnabled(busy_);
      Render();
      break;
    case MainEvent::kBlockSent:
      RenderProgress(e.index, e.count);
      emit blockSent(e.index, e.count);
      break;
    case MainEvent::kNotice:
      // Shown below the lists with the history's notes, until the next scan.
      HistoryWarning(e.text);
      break;
    case MainEvent::kTargetItem:
    case MainEvent::kFirmware:
    case MainEvent::kAdapterItem:
      Render();
      break;
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Closing while blocks are being sent would leave the drive half written
  // with nobody told; the window stays until the download has finished.
  if (busy_) {
    event->ignore();
    return;
  }
  form_.Form_Unload();
  event->accept();
  emit closed();
}

void MainWindow::paintEvent(QPaintEvent* event) {
  QMainWindow::paintEvent(event);
  if (!painted_) {
    painted_ = true;
    QTimer::singleShot(0, this, [this] { emit firstPainted(); });
  }
}

}  // namespace qx::qt
