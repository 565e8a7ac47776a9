// The window while the executor waits for a slow drive: it keeps painting and
// shows what the drive is doing, Abort is acknowledged in the same keep-alive
// cycle while other input waits, a stop signal acts like Abort and then closes
// the window, and the transport's scan notes are shown below the lists.
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <csignal>

#include "aspi/srb.h"
#include "qt_test_support.h"

using namespace qx;
using namespace qx::qt;
using namespace qx::qt::testing;

namespace {

// The built-in simulated bus, except that WRITE BUFFER goes to a twin bus on
// which every request takes `write_delay_ms`: the scan and the preparation
// stay quick, each block is slow. Notes() answers what the test sets.
class SlowWritesBus final : public AspiManager {
 public:
  SlowWritesBus(std::shared_ptr<sim::SimBus> fast, int write_delay_ms) : fast_(std::move(fast)) {
    std::string error;
    slow_ = sim::SimBus::FromJsonText(SlowScenario(write_delay_ms), &error);
    if (!slow_) qFatal("scenario rejected: %s", error.c_str());
  }
  uint32_t GetASPI32SupportInfo() override { return fast_->GetASPI32SupportInfo(); }
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override {
    auto* exec = static_cast<SRB_ExecSCSICmd*>(srb);
    const bool write = exec->SRB_Cmd == SC_EXEC_SCSI_CMD && exec->CDBByte[0] == 0x3B;
    return (write ? slow_ : fast_)->BCSendASPI32Command(srb, buffer);
  }
  void Cancel(void* srb) override {
    fast_->Cancel(srb);
    slow_->Cancel(srb);
  }
  const char* Name() const override { return fast_->Name(); }
  bool Simulated() const override { return true; }
  std::string Notes() const override { return notes; }

  int Writes() const { return static_cast<int>(slow_->Log().size()); }
  bool WriteInFlight() const { return slow_->PendingCount() == 1; }

  std::string notes;

 private:
  std::shared_ptr<sim::SimBus> fast_;
  std::shared_ptr<sim::SimBus> slow_;
};

// Records when a widget was last painted and what text it showed then.
class PaintProbe : public QObject {
 public:
  explicit PaintProbe(QLabel* label) : label_(label) {
    clock.start();
    label->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
      painted_text = label_->text();
      painted_at_ns = clock.nsecsElapsed();
    }
    return false;
  }
  QElapsedTimer clock;
  int paints = 0;
  QString painted_text;
  qint64 painted_at_ns = -1;

 private:
  QLabel* label_;
};

// What the screen shows of a widget: the window's painted pixels (on the
// offscreen platform, its backing store), not a fresh rendering.
QImage OnScreen(QWidget* widget) {
  QWidget* window = widget->window();
  const QRect area(widget->mapTo(window, QPoint(0, 0)), widget->size());
  return window->screen()->grabWindow(window->winId()).toImage().copy(area);
}

// Calls `step` from the event processing every 20 ms until it returns true.
class Poller : public QObject {
 public:
  explicit Poller(std::function<bool()> step) : step_(std::move(step)) {
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (step_()) timer_.stop();
    });
    timer_.start(20);
  }

 private:
  std::function<bool()> step_;
  QTimer timer_;
};

struct SlowRig {
  explicit SlowRig(int write_delay_ms) {
    slow = std::make_shared<SlowWritesBus>(rig.bus, write_delay_ms);
    InstallAspiManager(slow);
  }
  Rig rig;
  std::shared_ptr<SlowWritesBus> slow;
};

}  // namespace

class CommandWaitTest : public QObject {
  Q_OBJECT

 private slots:
  // After a second of the one (saving) block, the progress area names it; the
  // window paints that while the command is still out, and the text goes when
  // the command has ended.
  void repaintsWhileTheDriveWorks() {
    SlowRig s(3000);
    QVERIFY(s.rig.Open());
    s.rig.Scan();
    QVERIFY(s.rig.ClickFile("QXR4410_A2.OUB"));
    auto* info = s.rig.Find<QLabel>("WaitInfo");
    QVERIFY(info != nullptr);
    const QImage idle = OnScreen(info);
    PaintProbe probe(info);
    bool seen = false;
    QImage busy;
    Poller poller([&] {
      if (!probe.painted_text.startsWith(QString::fromUtf8("WriteBuffer 15 (saving) \u2013 1 s"))) {
        return false;
      }
      seen = s.slow->WriteInFlight();
      busy = OnScreen(info);
      return true;
    });
    s.rig.ClickDownload();
    QVERIFY(seen);
    QVERIFY(busy != idle);
    QCOMPARE(s.slow->Writes(), 1);
    QCOMPARE(info->text(), QString());
    QCOMPARE(s.rig.asker.boxes.size(), size_t(2));  // confirmation, final message
  }

  // Abort clicked while a block is out: acknowledged (button pressed-looking,
  // notice painted) before that keep-alive cycle ends, while a click on the
  // menu bar opens nothing; the block completes and the next one is not sent.
  void abortIsAcknowledgedDuringTheCommand() {
    SlowRig s(600);
    QVERIFY(s.rig.Open());
    s.rig.Scan();
    QVERIFY(s.rig.ClickFile("QXR4410_ALL.OUB"));
    auto* tyusi = s.rig.Find<QPushButton>("Tyusi");
    auto* notice = s.rig.Find<QLabel>("AbortNotice");
    auto* menu = s.rig.Find<QMenu>("SCSIMode");
    QMenuBar* bar = s.rig.Window().menuBar();
    PaintProbe probe(notice);
    bool in_flight = false, acknowledged = false, popup = true;
    qint64 latency_ns = -1;
    Poller poller([&] {
      if (!s.slow->WriteInFlight()) return false;
      QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menu->menuAction()).center());
      popup = QApplication::activePopupWidget() != nullptr;
      const qint64 clicked_at = probe.clock.nsecsElapsed();
      QTest::mouseClick(tyusi, Qt::LeftButton);
      acknowledged = !tyusi->isEnabled() && Shown(tyusi->text()) == QString("Abort") &&
                     notice->isVisible() && probe.painted_text.contains("stops after");
      latency_ns = probe.painted_at_ns - clicked_at;
      in_flight = s.slow->WriteInFlight();
      return true;
    });
    s.rig.ClickDownload();
    QVERIFY(in_flight);
    QVERIFY(acknowledged);
    QVERIFY(!popup);
    qInfo("abort acknowledged %.2f ms after the click", latency_ns / 1e6);
    QCOMPARE(s.slow->Writes(), 1);
    QCOMPARE(s.rig.Form().AbortRequested, int16_t(-1));
    QCOMPARE(s.rig.Find<QLineEdit>("Text1")->text(), QString("Abort By User"));
    QVERIFY(!notice->isVisible());
    QVERIFY(s.rig.Find<QPushButton>("Command1")->isEnabled());
  }

  // SIGTERM or SIGHUP during a block: that block completes, no further one is
  // sent, then the window closes through its Unload handler. Outside a
  // download the window closes at once.
  void stopSignal_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("downloading");
    QTest::addColumn<int>("writes");
    QTest::newRow("SIGTERM during a block") << SIGTERM << true << 1;
    QTest::newRow("SIGHUP during a block") << SIGHUP << true << 1;
    QTest::newRow("SIGTERM when idle") << SIGTERM << false << 0;
  }
  void stopSignal() {
    QFETCH(int, signal);
    QFETCH(bool, downloading);
    QFETCH(int, writes);
    SlowRig s(300);
    QVERIFY(s.rig.Open());
    QVERIFY(s.rig.session->StopSignals().Installed());
    s.rig.Scan();
    if (downloading) {
      QVERIFY(s.rig.ClickFile("QXR4410_ALL.OUB"));
      Poller poller([&] {
        if (!s.slow->WriteInFlight()) return false;
        std::raise(signal);
        return true;
      });
      s.rig.ClickDownload();
      QCOMPARE(s.rig.Find<QLineEdit>("Text1")->text(), QString("Abort By User"));
    } else {
      std::raise(signal);
    }
    QTRY_VERIFY(!s.rig.Window().isVisible());
    QCOMPARE(s.slow->Writes(), writes);
    QVERIFY(QSettings(s.rig.IniPath(), QSettings::IniFormat).contains("Startup/Ha"));
  }

  // The transport's notes about a scan stay below the lists until the next
  // scan; a scan without notes hides them.
  void scanNotesUntilTheNextScan() {
    SlowRig s(0);
    QVERIFY(s.rig.Open());
    auto* notes = s.rig.Find<QLabel>("ScanNotes");
    QVERIFY(!notes->isVisible());
    s.slow->notes = "/dev/sg3: no permission\n/dev/sg4: not a SCSI device";
    s.rig.Scan();
    QVERIFY(notes->isVisible());
    QCOMPARE(notes->text(), QString("/dev/sg3: no permission\n/dev/sg4: not a SCSI device"));
    s.slow->notes.clear();
    s.rig.Scan();
    QVERIFY(!notes->isVisible());
  }
};

QX_QTEST_MAIN(CommandWaitTest)
#include "tst_command_wait.moc"
