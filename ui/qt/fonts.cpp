#include "ui/qt/fonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace qx::qt {

namespace {

constexpr int kPointSize = 9;

// The first of `candidates` that the font database knows, or an empty string.
QString FirstInstalled(const QStringList& candidates) {
  const QStringList installed = QFontDatabase::families();
  for (const QString& family : candidates) {
    if (installed.contains(family, Qt::CaseInsensitive)) return family;
  }
  return {};
}

}  // namespace

QFont UiFont() {
  const QString family = FirstInstalled({"Arial", "Liberation Sans", "Arimo"});
  QFont font(family.isEmpty() ? QStringLiteral("Arial") : family, kPointSize);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QFont FixedPitchFont() {
  const QString family =
      FirstInstalled({"Courier New", "Liberation Mono", "Cousine", "DejaVu Sans Mono"});
  QFont font = family.isEmpty() ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                                : QFont(family, kPointSize);
  font.setPointSize(kPointSize);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  return font;
}

}  // namespace qx::qt
