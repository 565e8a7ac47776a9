// Downloads clicked through the main window on the simulated bus: message
// boxes answered by the test, the busy state of the view, the progress bar,
// Abort during a slow download, and one run with the real dialogs.
#include <QMouseEvent>
#include <QProgressBar>
#include <QSettings>

#include "qt_test_support.h"

using namespace qx;
using namespace qx::qt;
using namespace qx::qt::testing;

namespace {

const std::string kFinalText =
    "\r\n\r\nWait until all LED off.\r\nAfter all LED off ,turn Off drive & PC power.";

}  // namespace

class DownloadTest : public QObject {
  Q_OBJECT

 private slots:
  void noFileChosen() {
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    rig.ClickDownload();
    QCOMPARE(rig.asker.boxes.size(), size_t(1));
    QCOMPARE(rig.asker.boxes[0].text, std::string("Set File Name"));
    QCOMPARE(rig.asker.boxes[0].style, kStyleCritical);
    QCOMPARE(rig.asker.boxes[0].title, std::string(kTitleA));
    QCOMPARE(rig.Writes(), 0);
    QVERIFY(rig.Find<QPushButton>("Command1")->isEnabled());
  }

  void fullDownload_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("blocks");
    QTest::newRow("all areas") << "QXR4410_ALL.OUB" << 16;
    QTest::newRow("area 0") << "QXR4410_A0.OUB" << 2;
    QTest::newRow("area 1") << "QXR4410_A1.OUB" << 13;
    QTest::newRow("area 2") << "QXR4410_A2.OUB" << 1;
  }
  void fullDownload() {
    QFETCH(QString, file);
    QFETCH(int, blocks);
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    QVERIFY(rig.ClickFile(file));
    std::vector<std::pair<int, int>> progress;
    connect(&rig.Window(), &MainWindow::blockSent, this,
            [&](int index, int count) { progress.emplace_back(index, count); });
    rig.ClickDownload();

    QCOMPARE(rig.Writes(), blocks);
    QCOMPARE(int(progress.size()), blocks);
    QCOMPARE(progress.back(), std::make_pair(blocks, blocks));
    auto* bar = rig.Find<QProgressBar>("Progress");
    QCOMPARE(bar->value(), blocks);
    QCOMPARE(bar->maximum(), blocks);

    QCOMPARE(rig.asker.boxes.size(), size_t(2));
    QCOMPARE(rig.asker.boxes[0].text, std::string("Firmware Download Execute"));
    QCOMPARE(rig.asker.boxes[0].style, kStyleQuestion);
    QCOMPARE(rig.asker.boxes[0].title, std::string(kTitleA));
    QCOMPARE(rig.asker.boxes[1].text, rig.Form().ComboID.Text() + kFinalText);
    QCOMPARE(rig.asker.boxes[1].style, kStyleExclamation);
    QCOMPARE(rig.asker.boxes[1].title, std::string(kTitleB));

    // Idle again, the status line emptied.
    QCOMPARE(rig.Find<QLineEdit>("Text1")->text(), QString());
    QVERIFY(!rig.Find<QPushButton>("Tyusi")->isEnabled());
    for (const char* name : {"Command1", "File1", "ComboHA", "ComboID"}) {
      QVERIFY2(rig.Find<QWidget>(name)->isEnabled(), name);
    }
    QVERIFY(rig.Find<QAction>("Scsi_Scan")->isEnabled());
    QCOMPARE(rig.Window().cursor().shape(), Qt::ArrowCursor);
    const auto drive = rig.bus->Drive(0, 2);
    QVERIFY(drive.has_value());
    QCOMPARE(int(drive->blocks_received), blocks);
  }

  void cancelAtConfirmationThenDownload() {
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    QVERIFY(rig.ClickFile("QXR4410_ALL.OUB"));
    rig.asker.answers = {kAnswerCancel};
    rig.ClickDownload();
    QCOMPARE(rig.Writes(), 0);
    QCOMPARE(rig.asker.boxes.size(), size_t(1));
    QVERIFY(rig.Find<QPushButton>("Command1")->isEnabled());
    QVERIFY(!rig.Find<QPushButton>("Tyusi")->isEnabled());
    rig.ClickDownload();
    QCOMPARE(rig.Writes(), 16);
  }

  // While blocks are being sent only Abort works: the other controls and the
  // rescan are disabled, the pointer is the hourglass, and closing is refused.
  void busyStateDuringDownload() {
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    QVERIFY(rig.ClickFile("QXR4410_ALL.OUB"));
    bool checked = false;
    bool close_accepted = true;
    connect(&rig.Window(), &MainWindow::blockSent, this, [&](int index, int) {
      if (index != 1) return;
      checked = true;
      QVERIFY(rig.Window().Busy());
      QVERIFY(rig.Find<QPushButton>("Tyusi")->isEnabled());
      for (const char* name : {"Command1", "File1", "ComboHA", "ComboID"}) {
        QVERIFY2(!rig.Find<QWidget>(name)->isEnabled(), name);
      }
      QVERIFY(!rig.Find<QAction>("Scsi_Scan")->isEnabled());
      QCOMPARE(rig.Window().cursor().shape(), Qt::WaitCursor);
      QCOMPARE(rig.Find<QLineEdit>("Text1")->text(), QString("Download Start !!"));
      close_accepted = rig.Window().close();
    });
    rig.ClickDownload();
    QVERIFY(checked);
    QVERIFY(!close_accepted);
    QVERIFY(rig.Window().isVisible());
    QCOMPARE(rig.Writes(), 16);
    // The refused close did not run the Unload handler.
    QVERIFY(!QSettings(rig.IniPath(), QSettings::IniFormat).contains("Startup/Ha"));
    QVERIFY(rig.Close());
  }

  // A click on Abort while a slow download runs goes through the once-per-block
  // event processing and is seen before the next block: exactly the blocks sent
  // before the click reach the drive.
  void abortDuringSlowDownload_data() {
    QTest::addColumn<bool>("postedEvents");
    QTest::newRow("click from a timer") << false;
    QTest::newRow("queued mouse events") << true;
  }
  void abortDuringSlowDownload() {
    QFETCH(bool, postedEvents);
    Rig rig(SlowScenario(25));
    QVERIFY(rig.Open());
    rig.Scan();
    QVERIFY(rig.ClickFile("QXR4410_ALL.OUB"));
    auto* tyusi = rig.Find<QPushButton>("Tyusi");
    int writes_at_click = -1;
    connect(&rig.Window(), &MainWindow::blockSent, this, [&](int index, int) {
      if (index != 3) return;
      writes_at_click = rig.Writes();
      if (postedEvents) {
        const QPointF at = QPointF(tyusi->rect().center());
        const QPointF global = QPointF(tyusi->mapToGlobal(tyusi->rect().center()));
        QCoreApplication::postEvent(
            tyusi, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                   Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(
            tyusi, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton,
                                   Qt::NoButton, Qt::NoModifier));
      } else {
        QTimer::singleShot(0, tyusi, [tyusi] { QTest::mouseClick(tyusi, Qt::LeftButton); });
      }
    });
    rig.ClickDownload();
    QCOMPARE(writes_at_click, 3);
    QCOMPARE(rig.Writes(), 3);
    QCOMPARE(rig.Form().AbortRequested, int16_t(-1));
    QCOMPARE(rig.Find<QLineEdit>("Text1")->text(), QString("Abort By User"));
    QCOMPARE(rig.Find<QProgressBar>("Progress")->value(), 3);
    QCOMPARE(rig.asker.boxes.size(), size_t(1));  // the confirmation only
    QVERIFY(!tyusi->isEnabled());
    QVERIFY(rig.Find<QPushButton>("Command1")->isEnabled());
  }

  // The same download with the real QMessageBox: icons, buttons, the exact
  // titles (one ends in a blank) and line breaks as shown.
  void realDialogsDownload() {
    Rig rig;
    QVERIFY(rig.Open(/*real_dialogs=*/true));
    rig.Scan();
    QVERIFY(rig.ClickFile("QXR4410_ALL.OUB"));
    DialogAnswerer answerer({QMessageBox::Ok, QMessageBox::Ok});
    rig.ClickDownload();
    QCOMPARE(answerer.unexpected, 0);
    QCOMPARE(answerer.seen.size(), size_t(2));
    QCOMPARE(answerer.seen[0].title, QString("QX-R4410 Ambervault Tool 2 "));
    QCOMPARE(answerer.seen[0].text, QString("Firmware Download Execute"));
    QCOMPARE(answerer.seen[0].icon, QMessageBox::Question);
    QVERIFY(answerer.seen[0].has_cancel);
    QCOMPARE(answerer.seen[1].title, QString("QX-R4410 Ambervault Tool 2"));
    QCOMPARE(answerer.seen[1].icon, QMessageBox::Warning);
    QCOMPARE(answerer.seen[1].buttons, 1);
    QCOMPARE(answerer.seen[1].text,
             rig.Find<QComboBox>("ComboID")->currentText() +
                 "\n\nWait until all LED off.\nAfter all LED off ,turn Off drive & PC power.");
    QCOMPARE(rig.Writes(), 16);
  }

  void realDialogCancel() {
    Rig rig;
    QVERIFY(rig.Open(/*real_dialogs=*/true));
    rig.Scan();
    QVERIFY(rig.ClickFile("QXR4410_ALL.OUB"));
    DialogAnswerer answerer({QMessageBox::Cancel});
    rig.ClickDownload();
    QCOMPARE(answerer.unexpected, 0);
    QCOMPARE(answerer.seen.size(), size_t(1));
    QCOMPARE(rig.Writes(), 0);
    QVERIFY(rig.Find<QPushButton>("Command1")->isEnabled());
  }
};

QX_QTEST_MAIN(DownloadTest)
#include "tst_download.moc"
