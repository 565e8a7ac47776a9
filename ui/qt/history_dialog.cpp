#include "ui/qt/history_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "history/history.h"
#include "ui/qt/labels.h"
#include "ui/qt/text.h"

namespace qx::qt {

namespace {

// One row of the table: read-only cells with their text as tooltip; an empty
// cell is read out as "none".
QTreeWidgetItem* Row(const QStringList& cells) {
  auto* item = new QTreeWidgetItem(cells);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  for (int column = 0; column < cells.size(); ++column) {
    item->setToolTip(column, cells[column]);
    if (cells[column].isEmpty())
      item->setData(column, Qt::AccessibleTextRole, QStringLiteral("none"));
  }
  return item;
}

}  // namespace

HistoryDialog::HistoryDialog(std::string path, QWidget* parent)
    : QDialog(parent), path_(std::move(path)) {
  setObjectName(QStringLiteral("HistoryDialog"));
  setWindowTitle(QStringLiteral("Download History"));
  auto* layout = new QVBoxLayout(this);
  source_ = MakeLabel(this, "HistorySource");
  source_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  source_->setAccessibleName(QStringLiteral("History file"));
  layout->addWidget(source_);
  warnings_ = MakeNotice(this, "HistoryWarnings", Role::kWarning);
  warnings_->setAccessibleName(QStringLiteral("History warnings"));
  layout->addWidget(warnings_);

  // A list with columns: every object of it can be named for a screen reader
  // (a table view adds an unnamed corner between its headers).
  table_ = new QTreeWidget(this);
  table_->setColumnCount(kColumnCount);
  table_->setRootIsDecorated(false);
  table_->setUniformRowHeights(true);
  table_->setObjectName(QStringLiteral("HistoryTable"));
  table_->setAccessibleName(QStringLiteral("Downloads"));
  table_->viewport()->setAccessibleName(QStringLiteral("Downloads"));
  table_->setHeaderLabels({QStringLiteral("Time (UTC)"), QStringLiteral("Transport"),
                           QStringLiteral("HA:ID"), QStringLiteral("Product"),
                           QStringLiteral("Release"), QStringLiteral("Outcome"),
                           QStringLiteral("Blocks"), QStringLiteral("Message / verification")});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setWordWrap(false);
  table_->header()->setStretchLastSection(true);
  layout->addWidget(table_, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->setAccessibleName(QStringLiteral("History actions"));
  QPushButton* reload = buttons->addButton(QStringLiteral("Reload"), QDialogButtonBox::ActionRole);
  connect(reload, &QPushButton::clicked, this, &HistoryDialog::Reload);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);

  resize(980, 360);
  Reload();
}

void HistoryDialog::Reload() {
  table_->clear();
  if (path_.empty()) {
    source_->setText(QStringLiteral("The download history is switched off (--no-history)."));
    warnings_->hide();
    return;
  }
  const history::Contents contents = history::Read(path_);
  source_->setText(
      (contents.records.empty()
           ? QStringLiteral("No downloads recorded in ")
           : QStringLiteral("%1 records in ").arg(history::Listing(contents.records).size())) +
      FromModel(path_));
  QStringList warnings;
  for (const auto& w : contents.warnings) warnings << FromModel(w);
  ShowNotice(warnings_, warnings.join(QLatin1Char('\n')));

  const auto entries = history::Listing(contents.records);
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const history::Record& r = *it->record;
    const history::EntryWords words = history::Describe(*it, contents.records);
    QStringList cells(kColumnCount);
    cells[kTime] = FromModel(r.time);
    cells[kTransport] = FromModel(r.drive.transport);
    cells[kWhere] = QStringLiteral("%1:%2").arg(r.drive.ha).arg(r.drive.target);
    cells[kProduct] = OneLine(r.drive.product).trimmed();
    cells[kRelease] = FromModel(r.release);
    cells[kOutcome] = FromModel(words.outcome);
    cells[kBlocks] = FromModel(words.blocks);
    cells[kText] = OneLine(words.text).simplified();
    table_->addTopLevelItem(Row(cells));
  }
  for (int column = 0; column + 1 < kColumnCount; ++column) table_->resizeColumnToContents(column);
}

}  // namespace qx::qt
