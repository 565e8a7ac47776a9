// QSettings as the settings store: defaults, decimal text, values that are not
// numbers, the per-user location, and a file that cannot be written.
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include "qt_test_support.h"
#include "ui/qt/qt_settings_store.h"
#include "ui/settings_store.h"

using namespace qx;
using namespace qx::qt;

class SettingsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    // Before the first QSettings: the per-user store must land in our directory.
    QVERIFY(xdg_.isValid());
    qputenv("XDG_CONFIG_HOME", xdg_.path().toLocal8Bit());
  }

  void missingKeyGivesDefault() {
    QTemporaryDir dir;
    QtSettingsStore store(dir.filePath("s.ini"));
    QCOMPARE(store.GetSetting(kSettingsApp, kSettingsSection, "Ha", "0"), std::string("0"));
    QCOMPARE(store.GetSetting(kSettingsApp, kSettingsSection, "ID", "dflt"), std::string("dflt"));
  }

  void writesDecimalTextUnderStartup() {
    QTemporaryDir dir;
    QtSettingsStore store(dir.filePath("s.ini"));
    store.SaveSetting(kSettingsApp, kSettingsSection, "Ha", "3");
    store.SaveSetting(kSettingsApp, kSettingsSection, "ID", "-1");
    QFile file(dir.filePath("s.ini"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.contains("[Startup]"), text.constData());
    QVERIFY2(text.contains("Ha=3"), text.constData());
    QVERIFY2(text.contains("ID=-1"), text.constData());
    QCOMPARE(store.GetSetting(kSettingsApp, kSettingsSection, "ID", "0"), std::string("-1"));
  }

  // Whatever the file holds comes back as text; the model's conversion turns
  // anything that is not a 16-bit number into 0.
  void storedTextConverts_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("value");
    QTest::newRow("number") << QByteArray("Ha=4") << 4;
    QTest::newRow("negative") << QByteArray("Ha=-1") << -1;
    QTest::newRow("quoted") << QByteArray("Ha=\"2\"") << 2;
    QTest::newRow("word") << QByteArray("Ha=two") << 0;
    QTest::newRow("list") << QByteArray("Ha=1,2") << 0;
    QTest::newRow("too big") << QByteArray("Ha=70000") << 0;
    QTest::newRow("empty") << QByteArray("Ha=") << 0;
    QTest::newRow("number then text") << QByteArray("Ha=3x") << 0;
  }
  void storedTextConverts() {
    QFETCH(QByteArray, line);
    QFETCH(int, value);
    QTemporaryDir dir;
    {
      QFile file(dir.filePath("s.ini"));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("[Startup]\n" + line + "\n");
    }
    QtSettingsStore store(dir.filePath("s.ini"));
    QCOMPARE(int(SettingToInt(store.GetSetting(kSettingsApp, kSettingsSection, "Ha", "0"))), value);
  }

  void perUserLocation() {
    QtSettingsStore store;
    const QString file = store.FileName(kSettingsApp);
    QCOMPARE(file, QDir(xdg_.path()).filePath("DUDUrevorod/DUDUrevorod.conf"));
    store.SaveSetting(kSettingsApp, kSettingsSection, "Ha", "2");
    QVERIFY(QFile::exists(file));
    QSettings direct("DUDUrevorod", "DUDUrevorod");
    QCOMPARE(direct.value("Startup/Ha").toString(), QString("2"));
    QCOMPARE(store.GetSetting(kSettingsApp, kSettingsSection, "Ha", "0"), std::string("2"));
  }

  // QSettings refuses to rewrite a file it cannot parse; the store keeps the
  // damaged file aside and saves into a fresh one.
  void damagedFileIsReplaced() {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.ini");
    {
      QFile file(path);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(QByteArray("\x01\xff[Startup\x00\nHa=\xfe\xfd\n", 18));
    }
    QtSettingsStore store(path);
    store.SaveSetting(kSettingsApp, kSettingsSection, "Ha", "1");
    store.SaveSetting(kSettingsApp, kSettingsSection, "ID", "2");
    QCOMPARE(store.GetSetting(kSettingsApp, kSettingsSection, "Ha", "0"), std::string("1"));
    QCOMPARE(store.GetSetting(kSettingsApp, kSettingsSection, "ID", "0"), std::string("2"));
    QVERIFY(QFile::exists(path + ".unreadable"));
  }

  // A store that cannot be written reports it and goes on; the caller does not crash.
  void unwritableFile() {
    QtSettingsStore store(QStringLiteral("/proc/qxflash-no-such-dir/s.ini"));
    store.SaveSetting(kSettingsApp, kSettingsSection, "Ha", "1");
    QCOMPARE(store.GetSetting(kSettingsApp, kSettingsSection, "Ha", "0"), std::string("0"));
  }

 private:
  QTemporaryDir xdg_;
};

QX_QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
