#include "ui/qt/labels.h"

#include <QLabel>
#include <QLatin1String>

namespace qx::qt {

QLabel* MakeLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QLatin1String(name));
  label->setTextFormat(Qt::PlainText);
  return label;
}

QLabel* MakeNotice(QWidget* parent, const char* name, const NoticeColours& colours) {
  QLabel* notice = MakeLabel(parent, name);
  notice->setWordWrap(true);
  notice->setStyleSheet(QStringLiteral("QLabel { background: %1; color: %2; border: 1px solid %3; "
                                       "border-radius: 3px; padding: 4px; }")
                            .arg(QLatin1String(colours.background), QLatin1String(colours.text),
                                 QLatin1String(colours.border)));
  notice->hide();
  return notice;
}

void ShowNotice(QLabel* notice, const QString& text) {
  notice->setText(text);
  notice->setVisible(!text.isEmpty());
}

}  // namespace qx::qt
