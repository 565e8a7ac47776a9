// The window-system seam on Qt: modal QMessageBox, processEvents, the main
// window's cursor and immediate repaints.
#pragma once

#include <QEvent>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <string_view>

#include "platform/window_system.h"
#include "ui/window_session.h"

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

// While the executor waits for a command, lets through only the user input
// meant for one widget (the Abort button) and its children; every other mouse,
// keyboard, wheel, touch and shortcut event is dropped, so no handler can start
// a second command. Input that arrives at a window passes on so that Qt can
// route it to its widget, where it is judged. Paint, timer, socket and
// window-manager events are never touched.
class WaitInputFilter final : public QObject {
 public:
  void SetAllowed(QWidget* widget) { allowed_ = widget; }
  void SetActive(bool active) { active_ = active; }
  bool Active() const { return active_; }
  bool eventFilter(QObject* receiver, QEvent* event) override;

 private:
  QPointer<QWidget> allowed_;
  bool active_ = false;
};

class QtWindowSystem final : public ViewWindowSystem {
 public:
  // `asker` empty: the real box (ShowMessageBox).
  explicit QtWindowSystem(MessageBoxAsker asker = ShowMessageBox);
  ~QtWindowSystem() override;

  int MsgBox(const std::string& text, int style, const std::string& title) override;
  // Processes every pending event once, user input included: this is how a
  // click on Abort reaches the model while a download runs.
  void DoEvents() override;
  void SetMousePointer(int pointer) override;
  // While a command is outstanding: tells the session about it, then
  // processes pending events once with only the wait-input widget's input
  // let through.
  void KeepAlive(const CommandWait& wait) override;

  // The window that owns message boxes and shows the mouse pointer.
  void SetMainWindow(QWidget* window) { main_window_ = window; }
  // The one widget whose input is delivered during a command wait.
  void SetWaitInputWidget(QWidget* widget) { filter_.SetAllowed(widget); }

 private:
  MessageBoxAsker asker_;
  QPointer<QWidget> main_window_;
  WaitInputFilter filter_;
  bool filter_installed_ = false;
};

}  // namespace qx::qt
