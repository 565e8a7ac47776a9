#include "ui/qt/history_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "history/history.h"
#include "ui/qt/labels.h"
#include "ui/qt/text.h"

namespace qx::qt {

namespace {

QTableWidgetItem* Cell(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  item->setToolTip(text);
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
  layout->addWidget(source_);
  warnings_ = MakeNotice(this, "HistoryWarnings",
                         {.background = "#fff3cd", .text = "#5c4400", .border = "#e0c36a"});
  layout->addWidget(warnings_);

  table_ = new QTableWidget(0, kColumnCount, this);
  table_->setObjectName(QStringLiteral("HistoryTable"));
  table_->setHorizontalHeaderLabels(
      {QStringLiteral("Time (UTC)"), QStringLiteral("Transport"), QStringLiteral("HA:ID"),
       QStringLiteral("Product"), QStringLiteral("Release"), QStringLiteral("Outcome"),
       QStringLiteral("Blocks"), QStringLiteral("Message / verification")});
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(table_, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  QPushButton* reload = buttons->addButton(QStringLiteral("Reload"), QDialogButtonBox::ActionRole);
  connect(reload, &QPushButton::clicked, this, &HistoryDialog::Reload);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);

  resize(980, 360);
  Reload();
}

void HistoryDialog::Reload() {
  table_->setRowCount(0);
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
  table_->setRowCount(static_cast<int>(entries.size()));
  int row = 0;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it, ++row) {
    const history::Record& r = *it->record;
    const history::EntryWords words = history::Describe(*it, contents.records);
    table_->setItem(row, kTime, Cell(FromModel(r.time)));
    table_->setItem(row, kTransport, Cell(FromModel(r.drive.transport)));
    table_->setItem(row, kWhere, Cell(QStringLiteral("%1:%2").arg(r.drive.ha).arg(r.drive.target)));
    table_->setItem(row, kProduct, Cell(OneLine(r.drive.product).trimmed()));
    table_->setItem(row, kRelease, Cell(FromModel(r.release)));
    table_->setItem(row, kOutcome, Cell(FromModel(words.outcome)));
    table_->setItem(row, kBlocks, Cell(FromModel(words.blocks)));
    table_->setItem(row, kText, Cell(OneLine(words.text).simplified()));
  }
  table_->resizeColumnsToContents();
  table_->horizontalHeader()->setStretchLastSection(true);
}

}  // namespace qx::qt
