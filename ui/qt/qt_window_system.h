// The window-system seam on Qt: modal QMessageBox, processEvents, the main
// window's cursor and immediate repaints.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <string_view>

#include "platform/window_system.h"

namespace qx::qt {

// Icon and buttons of a message-box style: 16 critical, 32 question, 48
// exclamation, 64 information in the icon bits; 1 in the button bits adds
// Cancel to OK.
QMessageBox::Icon StyleIcon(int style);
bool StyleHasCancel(int style);

// Asks the user. Returns kAnswerOk or kAnswerCancel.
using MessageBoxAsker = std::function<int(QWidget* parent, const std::string& text, int style,
                                          const std::string& title)>;

// The real modal box: title and text as given (line breaks shown as such, no
// rich text), the style's icon and buttons. Escape and the close button answer
// Cancel where there is one, OK otherwise.
int ShowMessageBox(QWidget* parent, const std::string& text, int style, const std::string& title);

class QtWindowSystem final : public WindowSystem {
 public:
  explicit QtWindowSystem(MessageBoxAsker asker = ShowMessageBox);

  int MsgBox(const std::string& text, int style, const std::string& title) override;
  // Processes every pending event once, user input included: this is how a
  // click on Abort reaches the model while a download runs.
  void DoEvents() override;
  void SetMousePointer(int pointer) override;
  void Refresh(std::string_view control) override;

  // The window that owns message boxes and shows the mouse pointer.
  void SetMainWindow(QWidget* window) { main_window_ = window; }
  QWidget* MainWindow() const { return main_window_; }
  void SetAsker(MessageBoxAsker asker);
  // Called by Refresh with the control's name; the views repaint it at once.
  std::function<void(std::string_view)> on_refresh;

 private:
  MessageBoxAsker asker_;
  QPointer<QWidget> main_window_;
};

}  // namespace qx::qt
