// Labels shared by the windows: plain-text labels under their object names,
// and notices (a tinted, word-wrapped panel shown only while it has text).
#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace qx::qt {

// A label named `name` that shows its text as given, never as rich text.
QLabel* MakeLabel(QWidget* parent, const char* name);

// A notice's colours (style-sheet colour names).
struct NoticeColours {
  const char* background;
  const char* text;
  const char* border;
};

// A notice named `name`: a plain-text label on a tinted, bordered panel with
// word wrap, hidden until ShowNotice gives it a text.
QLabel* MakeNotice(QWidget* parent, const char* name, const NoticeColours& colours);

// Shows `text` in the notice, or hides it when `text` is empty.
void ShowNotice(QLabel* notice, const QString& text);

}  // namespace qx::qt
