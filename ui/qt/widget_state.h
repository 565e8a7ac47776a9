// How the parts of the controller's view state reach Qt widgets: a control's
// text, spoken name, enabled state and visibility; the lists, the progress
// bar; colours by role from the palette; what a screen reader should hear.
// Each changes a widget only where it differs, so nothing flickers or loses
// its scrolling.
#pragma once

#include <QColor>
#include <QString>

#include "ui/view_state.h"

class QComboBox;
class QListWidget;
class QProgressBar;
class QWidget;

namespace qx::qt {

// The text as shown, its access key marked ("&Abort").
QString Shown(const ControlState& c);

// Name, enabled state and text of a button, a line edit or a label (a label
// without an access key also tells its value as its description; `lines`
// keeps its line breaks; `hide_empty` hides it while it says nothing).
void ApplyControl(QWidget* widget, const ControlState& c, bool lines, bool hide_empty);

// Items and position; signals are blocked, as nothing here is a choice.
void ApplyList(QComboBox* combo, const ListState& list);
void ApplyList(QListWidget* files, const ListState& list);

void ApplyProgress(QProgressBar* bar, const ProgressState& progress);

// The text colour of `role` on the window's background.
void ApplyRoleColour(QWidget* widget, Role role, const QColor& window);
// The bar's block count readable on the bar and on its filled part.
void ApplyReadableProgress(QProgressBar* bar);

// Said as the widget's description (what a screen reader announces for a
// live region), even when it was said before.
void Announce(QWidget* widget, const QString& text);

}  // namespace qx::qt
