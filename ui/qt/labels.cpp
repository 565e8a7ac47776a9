#include "ui/qt/labels.h"

#include <QLabel>
#include <QLatin1String>

#include "ui/colours.h"

namespace qx::qt {

QLabel* MakeLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QLatin1String(name));
  label->setTextFormat(Qt::PlainText);
  return label;
}

QString NoticeStyle(Role role, const QColor& window) {
  auto to_qt = [](Rgb c) { return QColor(c.r, c.g, c.b).name(); };
  const Rgb w{static_cast<uint8_t>(window.red()), static_cast<uint8_t>(window.green()),
              static_cast<uint8_t>(window.blue())};
  const Rgb back = NoticeBackground(role, w);
  return QStringLiteral(
             "QLabel { background: %1; color: %2; border: 1px solid %3; "
             "border-radius: 3px; padding: 4px; }")
      .arg(to_qt(back), to_qt(RoleColour(role, back)), to_qt(RoleColour(role, w)));
}

QLabel* MakeNotice(QWidget* parent, const char* name, Role role) {
  QLabel* notice = MakeLabel(parent, name);
  notice->setWordWrap(true);
  notice->setStyleSheet(NoticeStyle(role, parent->palette().color(QPalette::Window)));
  notice->hide();
  return notice;
}

void ShowNotice(QLabel* notice, const QString& text) {
  notice->setText(text);
  notice->setVisible(!text.isEmpty());
}

}  // namespace qx::qt
