#include "ui/qt/widget_state.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>

#include "ui/colours.h"
#include "ui/qt/text.h"

namespace qx::qt {

namespace {

QColor ToQt(Rgb c) {
  return QColor(c.r, c.g, c.b);
}

Rgb FromQt(const QColor& c) {
  return {static_cast<uint8_t>(c.red()), static_cast<uint8_t>(c.green()),
          static_cast<uint8_t>(c.blue())};
}

QStringList Items(const ListState& list) {
  QStringList items;
  for (const auto& item : list.items) items << OneLine(item);
  return items;
}

// A colour of `palette` made readable on another of its colours.
QColor Readable(const QPalette& palette, QPalette::ColorRole on, QPalette::ColorRole text) {
  return ToQt(ReadableOn(FromQt(palette.color(on)), FromQt(palette.color(text))));
}

}  // namespace

QString Shown(const ControlState& c) {
  return FromModel(WithAccessKey(c.text, c.access_key));
}

void ApplyControl(QWidget* w, const ControlState& c, bool lines, bool hide_empty) {
  if (w->accessibleName() != FromModel(c.name)) w->setAccessibleName(FromModel(c.name));
  if (w->isEnabled() != c.enabled) w->setEnabled(c.enabled);
  if (auto* button = qobject_cast<QPushButton*>(w)) {
    if (button->text() != Shown(c)) button->setText(Shown(c));
  } else if (auto* line = qobject_cast<QLineEdit*>(w)) {
    const QString text = OneLine(c.text);
    if (line->text() != text) {
      line->setText(text);
      line->setCursorPosition(0);
    }
    const QString full = MessageBoxText(c.text);
    line->setToolTip(full.contains(QLatin1Char('\n')) ? full : QString());
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    const QString text = c.access_key != 0 ? Shown(c)
                         : lines           ? MessageBoxText(c.text)
                                           : OneLine(c.text);
    if (label->text() != text) label->setText(text);
    if (c.access_key == 0 && label->accessibleDescription() != text.trimmed()) {
      label->setAccessibleDescription(text.trimmed());
    }
    if (hide_empty) label->setVisible(c.visible);
  }
}

void ApplyList(QComboBox* combo, const ListState& list) {
  const QSignalBlocker block(combo);
  const QStringList items = Items(list);
  bool same = combo->count() == items.size();
  for (int i = 0; same && i < items.size(); ++i) same = combo->itemText(i) == items[i];
  if (!same) {
    combo->clear();
    combo->addItems(items);
  }
  if (combo->currentIndex() != list.index) combo->setCurrentIndex(list.index);
}

void ApplyList(QListWidget* files, const ListState& list) {
  const QSignalBlocker block(files);
  const QStringList items = Items(list);
  bool same = files->count() == items.size();
  for (int i = 0; same && i < items.size(); ++i) same = files->item(i)->text() == items[i];
  if (!same) {
    files->clear();
    files->addItems(items);
  }
  if (files->currentRow() != list.index) {
    files->setCurrentRow(list.index);
    if (list.index < 0) files->clearSelection();
  }
}

void ApplyProgress(QProgressBar* bar, const ProgressState& progress) {
  bar->setRange(0, progress.maximum);
  bar->setValue(progress.value);
  bar->setFormat(FromModel(progress.text));
  bar->setAccessibleDescription(FromModel(progress.text));
}

void ApplyRoleColour(QWidget* w, Role role, const QColor& window) {
  QPalette p = w->palette();
  const QColor colour = ToQt(RoleColour(role, FromQt(window)));
  if (p.color(QPalette::WindowText) == colour) return;
  p.setColor(QPalette::WindowText, colour);
  w->setPalette(p);
}

void ApplyReadableProgress(QProgressBar* bar) {
  const QPalette app = QApplication::palette(bar);
  QPalette p = bar->palette();
  p.setColor(QPalette::Text, Readable(app, QPalette::Base, QPalette::Text));
  p.setColor(QPalette::HighlightedText,
             Readable(app, QPalette::Highlight, QPalette::HighlightedText));
  p.setColor(QPalette::WindowText, Readable(app, QPalette::Window, QPalette::WindowText));
  if (p != bar->palette()) bar->setPalette(p);
}

void Announce(QWidget* w, const QString& text) {
  if (w->accessibleDescription() == text) w->setAccessibleDescription(QString());
  w->setAccessibleDescription(text);
}

}  // namespace qx::qt
