// Labels shared by the windows: plain-text labels under their object names,
// and notices (a tinted, word-wrapped panel shown only while it has text).
#pragma once

#include <QColor>
#include <QString>

#include "ui/view_state.h"

class QLabel;
class QWidget;

namespace qx::qt {

// A label named `name` that shows its text as given, never as rich text.
QLabel* MakeLabel(QWidget* parent, const char* name);

// A notice named `name`: a plain-text label on a panel tinted for `role`
// (colours made from the window's palette, readable in light and dark
// themes), with word wrap, hidden until ShowNotice gives it a text.
QLabel* MakeNotice(QWidget* parent, const char* name, Role role);

// The style sheet of a notice for `role` on a window of colour `window`.
QString NoticeStyle(Role role, const QColor& window);

// Shows `text` in the notice, or hides it when `text` is empty.
void ShowNotice(QLabel* notice, const QString& text);

}  // namespace qx::qt
