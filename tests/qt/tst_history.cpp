// What the window adds around a download: the summary of the chosen release
// (nothing sent to make it), the download history with its dialog, and the
// check of the drives after a power cycle and a rescan.
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTreeWidget>

#include "download/release.h"
#include "history/history.h"
#include "qt_test_support.h"
#include "ui/qt/history_dialog.h"

using namespace qx;
using namespace qx::qt;
using namespace qx::qt::testing;

namespace {

QString Cell(QTreeWidget* table, int row, int column) {
  QTreeWidgetItem* item = table->topLevelItem(row);
  return item ? item->text(column) : QString();
}

}  // namespace

class HistoryTest : public QObject {
  Q_OBJECT

 private slots:
  void releaseSummaryAfterFileClick_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("summary");
    QTest::newRow("good") << "QXR4410_ALL.OUB"
                          << "Areas 0, 1, 2: blocks 0-15 (16 of 16); checksum 33379006 matches; "
                             "image version 1.20 2026/12/01";
    QTest::newRow("area 1") << "QXR4410_A1.OUB"
                            << "Area 1: blocks 2-14 (13 of 16); checksum 33379006 matches; "
                               "image version 1.20 2026/12/01";
    QTest::newRow("checksum") << "BAD_CHECKSUM.OUB"
                              << "Download would stop: \"File CheckSum Error\" (file checksum "
                                 "33379007, image sum 33379006)";
    QTest::newRow("model") << "BAD_MODEL.OUB"
                           << "Download would stop: \"Select 'QX-R4420'\"";
  }
  void releaseSummaryAfterFileClick() {
    QFETCH(QString, file);
    QFETCH(QString, summary);
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    auto* label = rig.Find<QLabel>("ReleaseSummary");
    QVERIFY(label != nullptr);
    QVERIFY(!label->isVisible());
    const QString status = rig.Find<QLineEdit>("Text1")->text();
    const auto image = std::make_unique<std::array<uint8_t, kImageSize>>(ImageBuf);
    rig.bus->ClearLog();

    QVERIFY(rig.ClickFile(file));
    QCOMPARE(label->text(), summary);
    QVERIFY(label->isVisible());
    QVERIFY2(rig.bus->Log().empty(), "the summary sent a command");
    QVERIFY(rig.asker.boxes.empty());
    QCOMPARE(rig.Find<QLabel>("Label4")->text(), file);
    QCOMPARE(rig.Find<QLineEdit>("Text1")->text(), status);
    QVERIFY(ImageBuf == *image);
  }

  void historyListsDownloadsFromTheWindow() {
    Rig rig;
    // One damaged line in front: skipped, and named in the dialog.
    const QString path = QString::fromStdString(history::DefaultPath());
    QVERIFY(path.startsWith(rig.dir.path()));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    {
      QFile damaged(path);
      QVERIFY(damaged.open(QIODevice::WriteOnly));
      damaged.write("{\"kind\": \"download\", \"time\"\n");
    }
    QVERIFY(rig.Open());
    rig.Scan();
    QVERIFY(rig.ClickFile("QXR4410_ALL.OUB"));
    rig.ClickDownload();
    rig.asker.answers = {kAnswerCancel};  // not past the confirmation: not recorded
    rig.ClickDownload();
    QVERIFY(rig.bus->PowerCycle(0, 2));
    rig.Scan();  // records the check of the drive
    QVERIFY(rig.ClickFile("QXR4410_A0.OUB"));
    rig.ClickDownload();
    QCOMPARE(rig.Writes(), 18);

    rig.Find<QAction>("History")->trigger();
    auto* dialog = rig.Window().findChild<HistoryDialog*>(QStringLiteral("HistoryDialog"));
    QVERIFY(dialog != nullptr);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    auto* table = dialog->findChild<QTreeWidget*>(QStringLiteral("HistoryTable"));
    QCOMPARE(table->topLevelItemCount(), 3);
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    const QString transport = QString::fromStdString(rig.bus->Name());
    const struct {
      const char* release;
      const char* outcome;
      const char* blocks;
      const char* text;
    } rows[] = {// newest first
                {"QXR4410_A0.OUB", "done", "2/2", "2:QX-R4410"},
                {"QXR4410_ALL.OUB", "verified: changed", "", "firmware now 1.20 (2026/12/01)"},
                {"QXR4410_ALL.OUB", "done", "16/16", "2:QX-R4410"}};
    for (int row = 0; row < 3; ++row) {
      QCOMPARE(Cell(table, row, HistoryDialog::kRelease), QString(rows[row].release));
      QCOMPARE(Cell(table, row, HistoryDialog::kOutcome), QString(rows[row].outcome));
      QCOMPARE(Cell(table, row, HistoryDialog::kBlocks), QString(rows[row].blocks));
      QVERIFY2(Cell(table, row, HistoryDialog::kText).startsWith(rows[row].text),
               qPrintable(Cell(table, row, HistoryDialog::kText)));
      QCOMPARE(Cell(table, row, HistoryDialog::kWhere), QStringLiteral("0:2"));
      QCOMPARE(Cell(table, row, HistoryDialog::kTransport), transport);
      QCOMPARE(Cell(table, row, HistoryDialog::kProduct), QStringLiteral("QX-R4410"));
      QVERIFY(!table->topLevelItem(row)->flags().testFlag(Qt::ItemIsEditable));
    }
    auto* warnings = dialog->findChild<QLabel*>(QStringLiteral("HistoryWarnings"));
    QVERIFY(warnings->isVisible());
    QVERIFY2(warnings->text().contains(QStringLiteral("line 1 is damaged")),
             qPrintable(warnings->text()));
    // The records carry what the drive said before: vendor and firmware caption.
    const auto contents = history::Read(path.toStdString());
    QCOMPARE(contents.records.size(), size_t(5));  // each download: its start and its outcome
    QVERIFY(!contents.records[0].drive.vendor.empty());
    QVERIFY(!contents.records[0].version_before.empty());
  }

  void firmwareNoticeAfterPowerCycleAndRescan() {
    Rig rig;
    QVERIFY(rig.Open());
    rig.Scan();
    auto* notes = rig.Find<QLabel>("HistoryNotes");
    QVERIFY(!notes->isVisible());
    QVERIFY(rig.ClickFile("QXR4410_ALL.OUB"));
    rig.ClickDownload();
    QCOMPARE(rig.Writes(), 16);
    QVERIFY(rig.bus->PowerCycle(0, 2));
    rig.Scan();
    QVERIFY(notes->isVisible());
    QVERIFY2(notes->text().startsWith(
                 QStringLiteral("Target 0:2:QX-R4410: firmware now 1.20 (2026/12/01), was ")),
             qPrintable(notes->text()));
    QVERIFY2(notes->text().contains(QStringLiteral(" before QXR4410_ALL.OUB on ")),
             qPrintable(notes->text()));
    // Said once: the next scan has nothing new to say about the drive.
    rig.Scan();
    QVERIFY(!notes->isVisible());
  }

  void unwritableHistoryOnlyWarns() {
    Rig rig;
    // The history's directory is a file: nothing can be written below it.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    QVERIFY(QDir().mkpath(state));
    QFile blocker(state + "/qxflash");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(rig.Open());
    rig.Scan();
    QVERIFY(rig.ClickFile("QXR4410_A2.OUB"));
    rig.ClickDownload();
    QCOMPARE(rig.Writes(), 1);
    QCOMPARE(rig.asker.boxes.size(), size_t(2));  // confirmation and the final box only
    auto* notes = rig.Find<QLabel>("HistoryNotes");
    QVERIFY(notes->isVisible());
    QVERIFY2(notes->text().startsWith(QStringLiteral("Cannot open the history ")),
             qPrintable(notes->text()));
  }
};

QX_QTEST_MAIN(HistoryTest)
#include "tst_history.moc"
