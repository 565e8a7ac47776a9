// The main window as a view: controls and captions under their own names,
// fonts, the transport in the title, a scan and target choice through the
// view, settings across close and reopen, and the debug window.
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFontInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QSettings>
#include <QUrl>

#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "qt_test_support.h"
#include "tests/support/recording_window_system.h"
#include "ui/debug_form.h"
#include "ui/qt/main_window.h"

using namespace qx;
using namespace qx::qt;
using namespace qx::qt::testing;

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Tyusi") << "Tyusi"
                           << "QPushButton"
                           << "Abort";
    QTest::newRow("Command1") << "Command1"
                              << "QPushButton"
                              << "Download Start";
    QTest::newRow("File1") << "File1"
                           << "QListWidget"
                           << "";
    QTest::newRow("Text1") << "Text1"
                           << "QLineEdit"
                           << "";
    QTest::newRow("ComboHA") << "ComboHA"
                             << "QComboBox"
                             << "";
    QTest::newRow("ComboID") << "ComboID"
                             << "QComboBox"
                             << "";
    QTest::newRow("Label4") << "Label4"
                            << "QLabel"
                            << "";
    QTest::newRow("FWVer") << "FWVer"
                           << "QLabel"
                           << "";
    QTest::newRow("Label3_0") << "Label3_0"
                              << "QLabel"
                              << "Select File";
    QTest::newRow("Label3_1") << "Label3_1"
                              << "QLabel"
                              << "File Name";
    QTest::newRow("Label3_2") << "Label3_2"
                              << "QLabel"
                              << "Current Firmware Version";
    QTest::newRow("Image1") << "Image1"
                            << "QLabel"
                            << "";
    QTest::newRow("Label1") << "Label1"
                            << "QLabel"
                            << "HA";
    QTest::newRow("Label2") << "Label2"
                            << "QLabel"
                            << "ID";
  }
  void controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    Rig rig;
    QVERIFY(rig.Open());
    auto* widget = rig.Window().findChild<QWidget*>(name);
    QVERIFY2(widget != nullptr, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QVERIFY(widget->isVisible());
    if (auto* button = qobject_cast<QPushButton*>(widget)) QCOMPARE(Shown(button->text()), caption);
    if (auto* label = qobject_cast<QLabel*>(widget); label && name != "Image1") {
      QCOMPARE(Shown(label->text()), caption);
    }
    // Every control that shows text uses Arial or its metric twin; ComboID is fixed-pitch.
    const QFontInfo info(widget->font());
    if (name == "ComboID") {
      QVERIFY2(info.fixedPitch(), qPrintable(info.family()));
    } else if (name != "Image1") {
      QVERIFY2(info.family() == "Arial" || info.family() == "Liberation Sans",
               qPrintable(info.family()));
    }
  }

  void menuAndPicture() {
    Rig rig;
    QVERIFY(rig.Open());
    auto* menu = rig.Find<QMenu>("SCSIMode");
    QVERIFY(menu != nullptr);
    QCOMPARE(Shown(menu->title()), QString("SCSI Option"));
    QVERIFY(rig.Window().menuBar()->actions().contains(menu->menuAction()));
    auto* scan = rig.Find<QAction>("Scsi_Scan");
    QVERIFY(scan != nullptr);
    QCOMPARE(Shown(scan->text()), QString("SCSI Rescan"));
    QVERIFY(menu->actions().contains(scan));
    const QPixmap picture = rig.Find<QLabel>("Image1")->pixmap();
    QVERIFY(!picture.isNull());
    // Our own drawing, not an empty canvas: the centre is opaque.
    const QImage image = picture.toImage();
    QVERIFY(qAlpha(image.pixel(image.width() / 2, image.height() * 3 / 4)) > 0);
  }

  void titleNamesTransport_data() {
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("simulated");
    QTest::addColumn<QString>("contains");
    QTest::newRow("sim") << "simulated bus" << true << "SIMULATED BUS";
    QTest::newRow("sg") << "SCSI generic" << false << "SCSI generic";
    QTest::newRow("none") << "" << false << "no transport";
    // Whether the bus is simulated is the manager's word, not its name's.
    QTest::newRow("real, name with sim") << "sim-sg bridge" << false << "sim-sg bridge";
    QTest::newRow("simulated, other name") << "test bench" << true << "SIMULATED BUS";
  }
  void titleNamesTransport() {
    QFETCH(QString, transport);
    QFETCH(bool, simulated);
    QFETCH(QString, contains);
    const QString title =
        WindowTitle("QX-R4410 Firmware Download", transport.toStdString(), simulated);
    QVERIFY(title.startsWith("QX-R4410 Firmware Download"));
    QVERIFY2(title.contains(contains), qPrintable(title));
    QCOMPARE(title.contains("SIMULATED"), simulated);
  }

  // At 200 % on a 1280x720 screen the window has 640x360 to fit in, less
  // its frame: the panels scroll, progress and status line stay.
  void fitsASmallScreen() {
    Rig rig;
    QVERIFY(rig.Open());
    const QSize least = rig.Window().minimumSizeHint();
    QVERIFY2(least.width() <= 620 && least.height() <= 330,
             qPrintable(QStringLiteral("%1x%2").arg(least.width()).arg(least.height())));
  }

  // A release dropped on the window from another folder is listed there and
  // chosen, as the Open Release button's dialog would do.
  void dropAReleaseFromAnotherFolder() {
    Rig rig;
    QVERIFY(rig.Open());
    QVERIFY(rig.Find<QPushButton>("OpenRelease")->isEnabled());
    const QString other = rig.dir.path() + "/other";
    QVERIFY(QDir().mkpath(other));
    for (const char* f : {"QXR4410_A2.OUB", "QXR4410_A2.bin"}) {
      QVERIFY(QFile::copy(QString::fromStdString(ReleasesDir()) + "/" + f, other + "/" + f));
    }
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(other + "/QXR4410_A2.OUB")});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&rig.Window(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&rig.Window(), &drop);
    QCOMPARE(Shown(rig.Find<QLabel>("Label4")->text()), QString("QXR4410_A2.OUB"));
    auto* files = rig.Find<QListWidget>("File1");
    QCOMPARE(files->count(), 1);
    QCOMPARE(files->currentRow(), 0);
    QVERIFY(rig.Find<QLabel>("ReleaseSummary")->isVisible());
  }

  void simulatedBusIsObvious() {
    Rig rig;
    QVERIFY(rig.Open());
    QVERIFY(rig.Window().windowTitle().contains("SIMULATED BUS"));
    auto* badge = rig.Find<QLabel>("TransportBadge");
    QVERIFY(badge && badge->isVisible());
    QVERIFY(badge->text().contains("SIMULATED BUS"));
  }

  void startState() {
    Rig rig;
    QVERIFY(rig.Open());
    QVERIFY(!rig.Find<QPushButton>("Tyusi")->isEnabled());
    QVERIFY(rig.Find<QPushButton>("Command1")->isEnabled());
    QCOMPARE(rig.Find<QComboBox>("ComboHA")->count(), 0);
    QCOMPARE(rig.Find<QComboBox>("ComboID")->count(), 0);
    auto* files = rig.Find<QListWidget>("File1");
    QCOMPARE(files->count(), rig.Form().File1.ListCount());
    QCOMPARE(files->findItems("QXR4410_ALL.OUB", Qt::MatchExactly).size(), 1);
    QCOMPARE(files->findItems("*.bin", Qt::MatchWildcard).size(), 0);
    QCOMPARE(files->currentRow(), -1);
  }

  void scanThroughViewFillsLists() {
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    auto* ha = rig.Find<QComboBox>("ComboHA");
    auto* id = rig.Find<QComboBox>("ComboID");
    QCOMPARE(ha->count(), 2);
    QVERIFY(ha->itemText(0).startsWith("0:"));
    QVERIFY(ha->itemText(1).startsWith("2:"));
    QCOMPARE(ha->currentIndex(), 0);
    // Adapter 0: the drive at ID 2 and a disk at ID 5, as the model holds them.
    QCOMPARE(id->count(), 2);
    QCOMPARE(id->itemText(0), QString::fromStdString(rig.Form().ComboID.Items()[0]));
    QVERIFY(id->itemText(0).startsWith("2:QX-R4410"));
    QVERIFY(id->itemText(1).startsWith("5:"));
    QCOMPARE(id->currentIndex(), 0);
    QCOMPARE(rig.Find<QLineEdit>("Text1")->text(), QString("SCSI Rescan Complete "));
    QVERIFY(rig.Find<QLabel>("FWVer")->text().startsWith(" 1.10 (2003/05/12)"));
    QCOMPARE(rig.Window().cursor().shape(), Qt::ArrowCursor);  // pointer back to default
  }

  // Rendering must not feed back into the model: a scan through the view sends
  // exactly the commands the same scan sends with no view at all.
  void viewAddsNoCommands() {
    size_t headless = 0;
    {
      Rig rig;
      MemorySettingsStore store;
      RecordingWindowSystem ws;
      ScopedWindowSystem scoped(&ws);
      MainForm form(store);
      form.Form_Load();
      form.Scsi_Scan_Click();
      headless = rig.bus->Log().size();
    }
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    QVERIFY(headless > 0);
    QCOMPARE(rig.bus->Log().size(), headless);
  }

  // Choosing with the keyboard is a user choice (activated): the model's click
  // handlers run and the firmware version of the chosen drive shows.
  void choosingTargetShowsFirmware_data() {
    QTest::addColumn<int>("haDown");
    QTest::addColumn<int>("idDown");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("firmware");
    QTest::newRow("ha0 id2") << 0 << 0 << "2:QX-R4410"
                             << " 1.10 (2003/05/12)";
    QTest::newRow("ha2 id1") << 1 << 0 << "1:QX-R4410"
                             << " 1.08 (2002/11/27)";
    QTest::newRow("ha2 id4") << 1 << 1 << "4:QX-R4410"
                             << " 1.10 (2003/05/12)";
  }
  void choosingTargetShowsFirmware() {
    QFETCH(int, haDown);
    QFETCH(int, idDown);
    QFETCH(QString, target);
    QFETCH(QString, firmware);
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    for (int i = 0; i < haDown; ++i) QTest::keyClick(rig.Find<QComboBox>("ComboHA"), Qt::Key_Down);
    for (int i = 0; i < idDown; ++i) QTest::keyClick(rig.Find<QComboBox>("ComboID"), Qt::Key_Down);
    QCOMPARE(rig.Form().ComboHA.ListIndex(), haDown);
    QCOMPARE(rig.Form().ComboID.ListIndex(), idDown);
    QVERIFY2(rig.Find<QComboBox>("ComboID")->currentText().startsWith(target),
             qPrintable(rig.Find<QComboBox>("ComboID")->currentText()));
    QVERIFY2(rig.Find<QLabel>("FWVer")->text().startsWith(firmware),
             qPrintable(rig.Find<QLabel>("FWVer")->text()));
    QCOMPARE(rig.Form().OLD_HaINDX, haDown);
    QCOMPARE(rig.Form().OLD_IdINDX, idDown);
  }

  void choosingFileShowsName() {
    Rig rig;
    QVERIFY(rig.Open());
    QVERIFY(rig.ClickFile("QXR4410_A1.OUB"));
    QCOMPARE(rig.Find<QLabel>("Label4")->text(), QString("QXR4410_A1.OUB"));
    QCOMPARE(rig.Form().Label4.Caption, std::string("QXR4410_A1.OUB"));
  }

  void settingsSurviveCloseAndReopen() {
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    QTest::keyClick(rig.Find<QComboBox>("ComboHA"), Qt::Key_Down);
    QTest::keyClick(rig.Find<QComboBox>("ComboID"), Qt::Key_Down);
    QVERIFY(rig.Close());
    {
      QSettings ini(rig.IniPath(), QSettings::IniFormat);
      QCOMPARE(ini.value("Startup/Ha").toString(), QString("1"));
      QCOMPARE(ini.value("Startup/ID").toString(), QString("1"));
    }
    ResetProcessState();
    QVERIFY(rig.Open());
    QCOMPARE(rig.Form().OLD_HaINDX, 1);
    QCOMPARE(rig.Form().OLD_IdINDX, 1);
    rig.Scan();
    QCOMPARE(rig.Find<QComboBox>("ComboHA")->currentIndex(), 1);
    QCOMPARE(rig.Find<QComboBox>("ComboID")->currentIndex(), 1);
    QVERIFY(rig.Find<QComboBox>("ComboID")->currentText().startsWith("4:"));
  }

  void unreadableSettingsReadAsZero_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::newRow("text") << QByteArray("[Startup]\nHa=garbage\nID=x1\n");
    QTest::newRow("list") << QByteArray("[Startup]\nHa=1,2\nID=\"1\",3\n");
    QTest::newRow("out of range") << QByteArray("[Startup]\nHa=99999\nID=-40000\n");
    QTest::newRow("empty") << QByteArray("[Startup]\nHa=\nID=\n");
    QTest::newRow("binary") << QByteArray("\x01\xff[Startup\x00\nHa=\xfe\xfd\n", 18);
  }
  void unreadableSettingsReadAsZero() {
    QFETCH(QByteArray, ini);
    Rig rig;
    {
      QFile file(rig.IniPath());
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(ini);
    }
    QVERIFY(rig.Open());
    QCOMPARE(rig.Form().OLD_HaINDX, 0);
    QCOMPARE(rig.Form().OLD_IdINDX, 0);
    rig.Scan();
    QCOMPARE(rig.Find<QComboBox>("ComboHA")->currentIndex(), 0);
    // The next close writes sound values back.
    QVERIFY(rig.Close());
    QSettings check(rig.IniPath(), QSettings::IniFormat);
    QCOMPARE(check.value("Startup/Ha").toString(), QString("0"));
  }

  void debugWindowOnlyWithTrace() {
    {
      Rig rig;
      QVERIFY(rig.Open());
      QVERIFY(rig.session->Debug() == nullptr);
      QCOMPARE(TraceOn, 0.0f);
    }
    Rig rig({}, /*trace=*/true);
    QVERIFY(rig.Open());
    DebugWindow* debug = rig.session->Debug();
    QVERIFY(debug != nullptr);
    QVERIFY(debug->isVisible());
    QCOMPARE(debug->windowTitle(), QString("Debug Window"));
    QCOMPARE(TraceOn, 1.0f);
    rig.Scan();
    auto* list = debug->findChild<QListWidget*>("ASPI_Ret");
    QVERIFY(list != nullptr);
    QVERIFY(list->count() > 0);
    QCOMPARE(list->count(), int(D_WIn.ASPI_Ret.size()));
    QCOMPARE(list->item(list->count() - 1)->text(), QString::fromStdString(D_WIn.ASPI_Ret.back()));
    QCOMPARE(debug->findChild<QLineEdit*>("Text1")->text(), QString("end"));
    QVERIFY(debug->findChild<QLineEdit*>("Text2") != nullptr);
    // The dumps of the two buffers, one line per 16 bytes.
    for (auto [button, lines] : {std::pair{"DumpData", 1024}, std::pair{"DumpImage", 16384}}) {
      QTest::mouseClick(debug->findChild<QPushButton*>(button), Qt::LeftButton);
      QCOMPARE(list->count(), lines);
      QCOMPARE(list->item(0)->text().left(7), QString("000000:"));
    }
  }
};

QX_QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
