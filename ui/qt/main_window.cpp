#include "ui/qt/main_window.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/qt/artwork.h"
#include "ui/qt/fonts.h"
#include "ui/qt/history_dialog.h"
#include "ui/qt/labels.h"
#include "ui/qt/text.h"
#include "ui/qt/widget_state.h"
#include "ui/window_texts.h"

namespace qx::qt {

namespace {

constexpr int kPictureWidth = 120;
constexpr int kPictureHeight = 96;
// The size the window opens with where the screen has room: every part in
// view, the file list a dozen releases long.
constexpr int kNaturalWidth = 540;
constexpr int kNaturalHeight = 600;

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

template <class W>
W* MainWindow::Make(QWidget* parent, ControlId id) {
  auto* widget = new W(parent);
  widget->setObjectName(QLatin1String(ObjectName(id)));
  if constexpr (std::is_same_v<W, QLabel>) widget->setTextFormat(Qt::PlainText);
  widgets_[static_cast<size_t>(id)] = widget;
  return widget;
}

MainWindow::MainWindow(MainController& controller, const std::string& title,
                       const std::string& banner, bool simulated, QWidget* parent)
    : QMainWindow(parent), controller_(controller), simulated_(simulated) {
  setObjectName(QStringLiteral("MAIN"));
  setWindowTitle(FromModel(title));
  setWindowIcon(AppIcon());
  setFont(UiFont());
  BuildMenus();

  // The lists and panels scroll when the screen is too small for them (a
  // laptop at 200 %); progress and status line stay in view below them.
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("central"));
  central->setAccessibleName(QStringLiteral("Firmware download"));
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(10, 8, 10, 8);
  outer->setSpacing(8);
  auto* scroll = new QScrollArea(central);
  scroll->setObjectName(QStringLiteral("Panels"));
  scroll->setAccessibleName(QStringLiteral("Drive and release"));
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setFocusPolicy(Qt::NoFocus);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* panels = new QWidget(scroll);
  panels->setAccessibleName(QStringLiteral("Drive and release"));
  auto* column = new QVBoxLayout(panels);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(8);
  QLabel* badge = Make<QLabel>(panels, ControlId::kBanner);
  badge->setAlignment(Qt::AlignCenter);
  badge->setText(FromModel(banner));
  if (simulated_) {
    // A band whose colours are its own, readable on any theme (9:1).
    badge->setStyleSheet(
        QStringLiteral("QLabel { background: #ffd84d; color: #3a2e00; font-weight: bold; "
                       "border: 1px solid #c9a400; border-radius: 3px; padding: 3px; }"));
  }
  column->addWidget(badge);
  column->addWidget(BuildTargetPanel(panels));
  for (ControlId id : {ControlId::kScanNotes, ControlId::kNotes}) {
    QLabel* notice = Make<QLabel>(panels, id);
    notice->setWordWrap(true);
    notice->hide();
    column->addWidget(notice);
  }
  column->addWidget(BuildReleasePanel(panels), 1);
  scroll->setWidget(panels);
  scroll->viewport()->setAccessibleName(QStringLiteral("Drive and release"));
  // The keyboard's focus is always in view, however little of the panels shows.
  connect(qApp, &QApplication::focusChanged, scroll, [scroll, panels](QWidget*, QWidget* now) {
    if (now != nullptr && panels->isAncestorOf(now)) scroll->ensureWidgetVisible(now, 8, 8);
  });
  outer->addWidget(scroll, 1);
  outer->addWidget(BuildBottom(central));
  setCentralWidget(central);
  ConnectControls();
  ApplyColours();

  // Everything in view where the screen has room for it, never larger than
  // the screen (the panels scroll then).
  const QSize natural = QSize(kNaturalWidth, kNaturalHeight).expandedTo(sizeHint());
  const QScreen* s = screen();
  resize(s != nullptr ? natural.boundedTo(s->availableGeometry().size() * 9 / 10) : natural);
  controller_.Attach(this);
}

MainWindow::~MainWindow() {
  controller_.Attach(nullptr);
}

QAction* MainWindow::Action(ControlId id) const {
  switch (id) {
    case ControlId::kSCSIMode:
      return scsi_mode_->menuAction();
    case ControlId::kScsiScan:
      return scsi_scan_;
    case ControlId::kHistory:
      return history_;
    default:
      return nullptr;
  }
}

void MainWindow::BuildMenus() {
  menuBar()->setFont(UiFont());
  menuBar()->setAccessibleName(QStringLiteral("Menu"));
  scsi_mode_ = menuBar()->addMenu(QString());
  scsi_mode_->setObjectName(QStringLiteral("SCSIMode"));
  scsi_mode_->setFont(UiFont());
  scsi_mode_->setAccessibleName(QStringLiteral("SCSI Option"));
  scsi_scan_ = scsi_mode_->addAction(QString());
  scsi_scan_->setObjectName(QStringLiteral("Scsi_Scan"));
  scsi_scan_->setShortcut(QKeySequence(Qt::Key_F5));
  // The history sits beside the defined menu, after it.
  history_ = menuBar()->addAction(QString());
  history_->setObjectName(QStringLiteral("History"));
  history_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
  // F10 opens the menu bar, as in most desktops.
  auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
  connect(f10, &QShortcut::activated, this,
          [this] { menuBar()->setActiveAction(scsi_mode_->menuAction()); });
}

// Target: picture, adapter and target lists, firmware version.
QWidget* MainWindow::BuildTargetPanel(QWidget* parent) {
  auto* target = Make<QFrame>(parent, ControlId::kTargetGroup);
  target->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  auto* grid = new QGridLayout(target);
  grid->setHorizontalSpacing(8);
  QLabel* image = Make<QLabel>(target, ControlId::kImage1);
  image->setFixedSize(kPictureWidth, kPictureHeight);
  image->setPixmap(PictureFor(devicePixelRatioF()));
  grid->addWidget(image, 0, 0, 4, 1, Qt::AlignTop);
  const struct {
    ControlId label, combo;
    QFont font;
    const char* name;  // of the open list
  } lists[] = {{ControlId::kLabel1, ControlId::kComboHA, UiFont(), "Host adapters"},
               {ControlId::kLabel2, ControlId::kComboID, FixedPitchFont(), "Target IDs"}};
  int row = 0;
  for (const auto& list : lists) {
    QLabel* label = Make<QLabel>(target, list.label);
    auto* combo = Make<QComboBox>(target, list.combo);
    combo->setFont(list.font);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(16);
    label->setBuddy(combo);
    combo->view()->setAccessibleName(QString::fromUtf8(list.name));
    grid->addWidget(label, row, 1);
    grid->addWidget(combo, row++, 2);
  }
  QLabel* caption = Make<QLabel>(target, ControlId::kLabel3_2);
  grid->addWidget(caption, 2, 1, 1, 2);
  QLabel* version = Make<QLabel>(target, ControlId::kFWVer);
  caption->setBuddy(version);
  grid->addWidget(version, 3, 1, 1, 2);
  grid->setColumnStretch(2, 1);
  return target;
}

// Release: file list, chosen name, what the download would find in it, the
// two buttons.
QWidget* MainWindow::BuildReleasePanel(QWidget* parent) {
  auto* release = Make<QFrame>(parent, ControlId::kReleaseGroup);
  release->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  auto* grid = new QGridLayout(release);
  grid->setHorizontalSpacing(12);
  QLabel* select = Make<QLabel>(release, ControlId::kLabel3_0);
  auto* files = Make<QListWidget>(release, ControlId::kFile1);
  files->setSelectionMode(QAbstractItemView::SingleSelection);
  files->setUniformItemSizes(true);
  files->setMinimumSize(150, 60);
  select->setBuddy(files);
  auto* open = Make<QPushButton>(release, ControlId::kOpenRelease);
  QLabel* name_caption = Make<QLabel>(release, ControlId::kLabel3_1);
  QLabel* name = Make<QLabel>(release, ControlId::kLabel4);
  name_caption->setBuddy(name);
  QLabel* summary = Make<QLabel>(release, ControlId::kReleaseSummary);
  summary->setWordWrap(true);
  summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  summary->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  summary->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  auto* download = Make<QPushButton>(release, ControlId::kCommand1);
  auto* abort = Make<QPushButton>(release, ControlId::kTyusi);
  auto* check = Make<QPushButton>(release, ControlId::kCheckDrive);
  grid->addWidget(select, 0, 0);
  grid->addWidget(files, 1, 0, 3, 1);
  grid->addWidget(open, 4, 0);
  grid->addWidget(name_caption, 0, 1, 1, 2);
  grid->addWidget(name, 1, 1, 1, 2);
  grid->addWidget(summary, 2, 1, 1, 2);
  grid->setRowStretch(2, 1);
  grid->addWidget(download, 3, 1);
  grid->addWidget(abort, 3, 2);
  grid->addWidget(check, 4, 1, 1, 2);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(2, 1);
  return release;
}

// Progress bar, the activity line (the command waited for, the abort notice
// at its right end) and the status line.
QWidget* MainWindow::BuildBottom(QWidget* parent) {
  auto* bottom = new QWidget(parent);
  bottom->setAccessibleName(QStringLiteral("Progress and status"));
  auto* layout = new QVBoxLayout(bottom);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* progress = Make<QProgressBar>(bottom, ControlId::kProgress);
  progress->setTextVisible(true);
  layout->addWidget(progress);
  auto* activity = new QHBoxLayout;
  activity->setSpacing(12);
  QLabel* wait = Make<QLabel>(bottom, ControlId::kWaitInfo);
  // It keeps its height whether or not it says something: nothing moves while
  // a command is out.
  wait->setMinimumHeight(wait->fontMetrics().height() + 4);
  wait->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  QLabel* notice = Make<QLabel>(bottom, ControlId::kAbortNotice);
  notice->setStyleSheet(QStringLiteral("QLabel { font-weight: bold; }"));
  notice->hide();
  activity->addWidget(wait, 1);
  activity->addWidget(notice, 0, Qt::AlignRight);
  layout->addLayout(activity);
  auto* status = Make<QLineEdit>(bottom, ControlId::kText1);
  status->setReadOnly(true);
  layout->addWidget(status);
  return bottom;
}

void MainWindow::ConnectControls() {
  for (QWidget* w : widgets_) {
    if (w == nullptr) continue;
    if (w != Control(ControlId::kComboID)) w->setFont(UiFont());
    // The values shown can be reached and read from the keyboard.
    if (auto* label = qobject_cast<QLabel*>(w);
        label && label->buddy() == nullptr &&
        (w == Control(ControlId::kFWVer) || w == Control(ControlId::kLabel4))) {
      label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      label->setMinimumHeight(22);
      label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
      label->setFocusPolicy(Qt::StrongFocus);
    }
    if (auto* button = qobject_cast<QPushButton*>(w)) {
      // Enter never presses a button here: a download starts only when the
      // operator means it.
      button->setDefault(false);
      button->setAutoDefault(false);
      button->setMinimumWidth(90);
    }
  }
  static_cast<QComboBox*>(Control(ControlId::kComboID))->setFont(FixedPitchFont());
  setTabOrder(Control(ControlId::kComboHA), Control(ControlId::kComboID));
  setTabOrder(Control(ControlId::kComboID), Control(ControlId::kFWVer));
  setTabOrder(Control(ControlId::kFWVer), Control(ControlId::kFile1));
  setTabOrder(Control(ControlId::kFile1), Control(ControlId::kOpenRelease));
  setTabOrder(Control(ControlId::kOpenRelease), Control(ControlId::kLabel4));
  setTabOrder(Control(ControlId::kLabel4), Control(ControlId::kCommand1));
  setTabOrder(Control(ControlId::kCommand1), Control(ControlId::kCheckDrive));
  setTabOrder(Control(ControlId::kCheckDrive), Control(ControlId::kTyusi));
  setTabOrder(Control(ControlId::kTyusi), Control(ControlId::kText1));

  connect(scsi_scan_, &QAction::triggered, this, [this] { controller_.Rescan(); });
  connect(history_, &QAction::triggered, this, [this] { controller_.ShowHistory(); });
  connect(static_cast<QComboBox*>(Control(ControlId::kComboHA)), &QComboBox::activated, this,
          [this](int index) { controller_.ChooseAdapter(index); });
  connect(static_cast<QComboBox*>(Control(ControlId::kComboID)), &QComboBox::activated, this,
          [this](int index) { controller_.ChooseTarget(index); });
  // A choice is a selection (a click, the arrow keys), not the current item
  // the list sets by itself when the focus enters it.
  auto* files = static_cast<QListWidget*>(Control(ControlId::kFile1));
  connect(files, &QListWidget::itemSelectionChanged, this, [this, files] {
    const auto selected = files->selectedItems();
    if (!selected.isEmpty()) controller_.ChooseFile(files->row(selected.front()));
  });
  auto* open = static_cast<QPushButton*>(Control(ControlId::kOpenRelease));
  connect(open, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open Release"), FromModel(controller_.State().folder),
        QStringLiteral("Releases (*.OUB *.oub);;All files (*)"));
    if (!path.isEmpty()) controller_.OpenRelease(path.toStdString());
  });
  auto* ctrl_o = new QShortcut(QKeySequence::Open, this);
  connect(ctrl_o, &QShortcut::activated, open, &QPushButton::click);
  setAcceptDrops(true);
  connect(static_cast<QPushButton*>(Control(ControlId::kCommand1)), &QPushButton::clicked, this,
          [this] { controller_.Download(); });
  connect(static_cast<QPushButton*>(Control(ControlId::kTyusi)), &QPushButton::clicked, this,
          [this] { controller_.Abort(); });
  connect(static_cast<QPushButton*>(Control(ControlId::kCheckDrive)), &QPushButton::clicked, this,
          [this] { controller_.CheckDrive(); });
  // Enter and Escape on Abort press it; Escape anywhere asks for the same.
  Control(ControlId::kTyusi)->installEventFilter(this);
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, this, [this] { controller_.Abort(); });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Control(ControlId::kTyusi) && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
      controller_.Abort();
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::Apply(const ViewState& state) {
  scsi_mode_->setTitle(Shown(state[ControlId::kSCSIMode]));
  scsi_mode_->menuAction()->setEnabled(state[ControlId::kSCSIMode].enabled);
  scsi_scan_->setText(Shown(state[ControlId::kScsiScan]));
  scsi_scan_->setEnabled(state[ControlId::kScsiScan].enabled);
  history_->setText(Shown(state[ControlId::kHistory]));
  for (size_t i = 0; i < kControlCount; ++i) {
    const auto id = static_cast<ControlId>(i);
    if (widgets_[i] == nullptr) continue;
    if (id == ControlId::kImage1 || id == ControlId::kBanner) {  // a picture, a fixed text
      widgets_[i]->setAccessibleName(FromModel(state.controls[i].name));
      continue;
    }
    const bool notes = id == ControlId::kNotes || id == ControlId::kScanNotes;
    ApplyControl(widgets_[i], state.controls[i], notes,
                 notes || id == ControlId::kReleaseSummary || id == ControlId::kAbortNotice);
  }
  ApplyList(static_cast<QComboBox*>(Control(ControlId::kComboHA)), state.adapters);
  ApplyList(static_cast<QComboBox*>(Control(ControlId::kComboID)), state.targets);
  auto* files = static_cast<QListWidget*>(Control(ControlId::kFile1));
  ApplyList(files, state.files);
  ApplyProgress(static_cast<QProgressBar*>(Control(ControlId::kProgress)), state.progress);
  ApplyColours();
  if (state.progress.value != blocks_shown_) {
    blocks_shown_ = state.progress.value;
    if (blocks_shown_ > 0) emit blockSent(blocks_shown_, state.progress.maximum);
  }
  if (state.focus) {
    if (QWidget* w = Control(*state.focus)) w->setFocus(Qt::OtherFocusReason);
    if (*state.focus == ControlId::kFile1 && files->currentItem() != nullptr) {
      files->scrollToItem(files->currentItem());
    }
  }
  for (const Announcement& a : state.announcements) {
    Announce(Control(a.source) != nullptr ? Control(a.source) : this, FromModel(a.text));
  }
}

// Texts by their role, in colours made for the window's own background.
void MainWindow::ApplyColours() {
  const ViewState& state = controller_.State();
  const QColor window = palette().color(QPalette::Window);
  for (ControlId id : {ControlId::kReleaseSummary, ControlId::kAbortNotice}) {
    ApplyRoleColour(Control(id), state[id].role, window);
  }
  for (ControlId id : {ControlId::kScanNotes, ControlId::kNotes}) {
    const QString sheet =
        NoticeStyle(state[id].role == Role::kPlain ? Role::kInfo : state[id].role, window);
    if (Control(id)->styleSheet() != sheet) Control(id)->setStyleSheet(sheet);
  }
  ApplyReadableProgress(static_cast<QProgressBar*>(Control(ControlId::kProgress)));
}

void MainWindow::PaintNow(ControlId id) {
  if (QWidget* w = Control(id)) {
    if (QLayout* layout = centralWidget()->layout()) layout->activate();
    w->repaint();
  }
}

void MainWindow::PostClose() {
  QTimer::singleShot(0, this, [this] { close(); });
}

void MainWindow::AnswerOpenBox() {
  if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
    if (QAbstractButton* escape = box->escapeButton()) {
      escape->click();
    } else {
      box->reject();
    }
  }
}

// Not modal, so Abort stays reachable during a download.
void MainWindow::ShowHistory(const std::string& path) {
  if (history_dialog_ == nullptr) {
    history_dialog_ = new HistoryDialog(path, this);
  } else {
    history_dialog_->Reload();
  }
  history_dialog_->show();
  history_dialog_->raise();
  history_dialog_->activateWindow();
}

void MainWindow::ReloadHistory() {
  if (history_dialog_ && history_dialog_->isVisible()) history_dialog_->Reload();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!controller_.CloseRequested()) {
    event->ignore();
    return;
  }
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

// A release dropped on the window is opened as the Open dialog would.
void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  const auto urls = event->mimeData()->urls();
  if (urls.size() == 1 && urls.front().isLocalFile() &&
      urls.front().toLocalFile().endsWith(QStringLiteral(".OUB"), Qt::CaseInsensitive) &&
      !controller_.Busy()) {
    event->acceptProposedAction();
  }
}

void MainWindow::dropEvent(QDropEvent* event) {
  const auto urls = event->mimeData()->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return;
  event->acceptProposedAction();
  controller_.OpenRelease(urls.front().toLocalFile().toStdString());
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::PaletteChange) ApplyColours();
}

}  // namespace qx::qt
