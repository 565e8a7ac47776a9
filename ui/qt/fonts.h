// The fonts of the main window: Arial for every text control, a fixed-pitch
// font for the target list. Where Arial is not installed, a metric-compatible
// substitute keeps the layout (Liberation Sans, then Arimo).
#pragma once

#include <QFont>

namespace qx::qt {

QFont UiFont();
QFont FixedPitchFont();

}  // namespace qx::qt
