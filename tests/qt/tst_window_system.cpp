// The window-system seam on Qt: message-box texts, styles and answers, the
// mouse pointer, DoEvents delivering queued input, immediate repaints, and the
// display check.
#include <QPushButton>

#include "qt_test_support.h"
#include "ui/qt/gui.h"
#include "ui/qt/qt_window_system.h"
#include "ui/qt/text.h"

using namespace qx;
using namespace qx::qt;
using namespace qx::qt::testing;

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

// Sets or unsets environment variables for a scope.
class EnvGuard {
 public:
  void Set(const char* name, const QByteArray& value) {
    saved_.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
    if (value.isNull()) {
      qunsetenv(name);
    } else {
      qputenv(name, value);
    }
  }
  ~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->was_set) {
        qputenv(it->name, it->value);
      } else {
        qunsetenv(it->name);
      }
    }
  }

 private:
  struct Saved {
    const char* name;
    QByteArray value;
    bool was_set;
  };
  std::vector<Saved> saved_;
};

}  // namespace

class WindowSystemTest : public QObject {
  Q_OBJECT

 private slots:
  void messageBoxText_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("cr lf") << QByteArray("a\r\nb") << "a\nb";
    QTest::newRow("lone lf") << QByteArray("Error!\n   The Drive") << "Error!\n   The Drive";
    QTest::newRow("lone cr") << QByteArray("SCSI Error\rINQUIRY") << "SCSI Error\nINQUIRY";
    QTest::newRow("blank line") << QByteArray("2:X\r\n\r\nWait") << "2:X\n\nWait";
    QTest::newRow("cr cr lf") << QByteArray("a\r\r\nb") << "a\n\nb";
    QTest::newRow("trailing cr") << QByteArray("SCSI Error\r") << "SCSI Error\n";
    QTest::newRow("latin1 byte") << QByteArray("v\xC4") << QString("v") + QChar(0xC4);
    QTest::newRow("utf8") << QByteArray("\xEF\xBD\xA5") << QString(QChar(0xFF65));
  }
  void messageBoxText() {
    QFETCH(QByteArray, text);
    QFETCH(QString, shown);
    QCOMPARE(MessageBoxText(text.toStdString()), shown);
  }

  void styles_data() {
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("icon");
    QTest::addColumn<bool>("cancel");
    QTest::newRow("16") << 16 << int(QMessageBox::Critical) << false;
    QTest::newRow("33") << 33 << int(QMessageBox::Question) << true;
    QTest::newRow("48") << 48 << int(QMessageBox::Warning) << false;
    QTest::newRow("64") << 64 << int(QMessageBox::Information) << false;
    QTest::newRow("0") << 0 << int(QMessageBox::NoIcon) << false;
    QTest::newRow("1") << 1 << int(QMessageBox::NoIcon) << true;
  }
  void styles() {
    QFETCH(int, style);
    QFETCH(int, icon);
    QFETCH(bool, cancel);
    QCOMPARE(int(StyleIcon(style)), icon);
    QCOMPARE(StyleHasCancel(style), cancel);
  }

  // The real box: what it shows and what each way of answering returns.
  void realBox_data() {
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("press");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("buttons");
    QTest::newRow("33 cancel") << 33 << int(QMessageBox::Cancel) << kAnswerCancel << 2;
    QTest::newRow("33 ok") << 33 << int(QMessageBox::Ok) << kAnswerOk << 2;
    QTest::newRow("33 escape") << 33 << int(QMessageBox::Escape) << kAnswerCancel << 2;
    QTest::newRow("16 ok") << 16 << int(QMessageBox::Ok) << kAnswerOk << 1;
    QTest::newRow("16 escape") << 16 << int(QMessageBox::Escape) << kAnswerOk << 1;
    QTest::newRow("48 ok") << 48 << int(QMessageBox::Ok) << kAnswerOk << 1;
  }
  void realBox() {
    QFETCH(int, style);
    QFETCH(int, press);
    QFETCH(int, answer);
    QFETCH(int, buttons);
    QWidget parent;
    parent.show();
    QtWindowSystem ws;
    ws.SetMainWindow(&parent);
    DialogAnswerer answerer({press});
    const std::string title = "QX-R4410 Ambervault Tool 2 ";
    QCOMPARE(ws.MsgBox("HostAdaptrError!  \r\n<b>x</b>", style, title), answer);
    QCOMPARE(answerer.unexpected, 0);
    QCOMPARE(answerer.seen.size(), size_t(1));
    QCOMPARE(answerer.seen[0].title, QString::fromStdString(title));
    QCOMPARE(answerer.seen[0].text, QString("HostAdaptrError!  \n<b>x</b>"));
    QCOMPARE(int(answerer.seen[0].icon), int(StyleIcon(style)));
    QCOMPARE(answerer.seen[0].buttons, buttons);
  }

  // An injected asker decides; a Cancel on a box without Cancel still reads OK.
  void injectedAsker_data() {
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("asked");
    QTest::addColumn<int>("answer");
    QTest::newRow("33 cancel") << 33 << kAnswerCancel << kAnswerCancel;
    QTest::newRow("33 ok") << 33 << kAnswerOk << kAnswerOk;
    QTest::newRow("16 cancel") << 16 << kAnswerCancel << kAnswerOk;
    QTest::newRow("48 odd") << 48 << 7 << kAnswerOk;
  }
  void injectedAsker() {
    QFETCH(int, style);
    QFETCH(int, asked);
    QFETCH(int, answer);
    QWidget parent;
    QWidget* seen_parent = nullptr;
    QtWindowSystem ws([&](QWidget* p, const std::string&, int, const std::string&) {
      seen_parent = p;
      return asked;
    });
    ws.SetMainWindow(&parent);
    QCOMPARE(ws.MsgBox("x", style, "t"), answer);
    QCOMPARE(seen_parent, &parent);
  }

  void mousePointer() {
    QWidget window;
    window.show();
    QtWindowSystem ws;
    ws.SetMainWindow(&window);
    ws.SetMousePointer(kPointerHourglass);
    QVERIFY(window.testAttribute(Qt::WA_SetCursor));
    QCOMPARE(window.cursor().shape(), Qt::WaitCursor);
    ws.SetMousePointer(kPointerDefault);
    QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
    QtWindowSystem no_window;
    no_window.SetMousePointer(kPointerHourglass);  // no window yet: nothing to do
  }

  void doEventsDeliversQueuedInput() {
    QPushButton button("Abort");
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    int clicks = 0;
    connect(&button, &QPushButton::clicked, this, [&] { ++clicks; });
    const QPointF at = QPointF(button.rect().center());
    const QPointF global = QPointF(button.mapToGlobal(button.rect().center()));
    QCoreApplication::postEvent(
        &button, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                 Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(
        &button, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton,
                                 Qt::NoButton, Qt::NoModifier));
    QCOMPARE(clicks, 0);
    QtWindowSystem ws;
    ws.DoEvents();
    QCOMPARE(clicks, 1);
  }

  // Refresh("Text1") paints the status line before returning, with no event
  // loop running (the scan has none).
  void refreshText1PaintsAtOnce() {
    Rig rig;
    QVERIFY(rig.Open());
    auto* text1 = rig.Find<QLineEdit>("Text1");
    PaintCounter counter;
    text1->installEventFilter(&counter);
    rig.Form().Text1.Text = "SCSI Rescan Executing";
    Ui().Refresh(Paint::kStatusLine);
    QCOMPARE(text1->text(), QString("SCSI Rescan Executing"));
    QVERIFY(counter.paints > 0);
  }

  void displayAvailable_data() {
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<bool>("available");
    const QByteArray unset;
    QTest::newRow("nothing") << unset << unset << unset << false;
    QTest::newRow("empty values") << QByteArray("") << QByteArray("") << QByteArray("") << false;
    QTest::newRow("platform set") << QByteArray("offscreen") << unset << unset << true;
    QTest::newRow("dead local X") << unset << QByteArray(":987") << unset << false;
    QTest::newRow("dead local X screen") << unset << QByteArray(":987.0") << unset << false;
    QTest::newRow("remote X") << unset << QByteArray("remotehost:0") << unset << true;
    QTest::newRow("dead wayland") << unset << unset << QByteArray("/nonexistent/wl-9") << false;
  }
  void displayAvailable() {
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, wayland);
    QFETCH(bool, available);
    EnvGuard env;
    env.Set("QT_QPA_PLATFORM", platform);
    env.Set("DISPLAY", display);
    env.Set("WAYLAND_DISPLAY", wayland);
    QCOMPARE(DisplayAvailable(), available);
    QVERIFY(QByteArray(NoDisplayMessage()).contains("DISPLAY"));
  }
  void startupErrorIsShown() {
    DialogAnswerer answerer({QMessageBox::Ok});
    char name[] = "qxflash";
    char* argv[] = {name, nullptr};
    ShowStartupError(1, argv, "cannot open /dev/sg0:\nPermission denied");
    QCOMPARE(answerer.unexpected, 0);
    QCOMPARE(answerer.seen.size(), size_t(1));
    QCOMPARE(answerer.seen[0].title, QString("qxflash"));
    QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
    QCOMPARE(answerer.seen[0].text, QString("cannot open /dev/sg0:\nPermission denied"));
  }

  // Bad start-up conditions end with a message and exit code 2, before any
  // window or application object exists.
  void runGuiRefuses_data() {
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QString>("firmwareDir");
    QTest::newRow("no display") << QByteArray() << QString();
    QTest::newRow("missing firmware dir") << QByteArray("offscreen") << "/nonexistent/qx-releases";
  }
  void runGuiRefuses() {
    QFETCH(QByteArray, platform);
    QFETCH(QString, firmwareDir);
    EnvGuard env;
    env.Set("QT_QPA_PLATFORM", platform);
    env.Set("DISPLAY", QByteArray());
    env.Set("WAYLAND_DISPLAY", QByteArray());
    GuiOptions options;
    options.firmware_dir = firmwareDir.toStdString();
    char name[] = "qxflash";
    char* argv[] = {name, nullptr};
    QCOMPARE(RunGui(1, argv, options), 2);
  }
};

QX_QTEST_MAIN(WindowSystemTest)
#include "tst_window_system.moc"
