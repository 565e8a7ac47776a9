// The window-system seam on Win32: MessageBoxW, message pumping, the main
// window's pointer and immediate repaints, and the filtered processing that
// keeps the windows alive while the drive works on a command.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/window_system.h"
#include "ui/window_session.h"

namespace qx::win32 {

// The MessageBoxW flags of a message-box style: 16 critical, 32 question, 48
// exclamation, 64 information in the icon bits (MB_ICONHAND, MB_ICONQUESTION,
// MB_ICONEXCLAMATION, MB_ICONASTERISK); 1 in the button bits adds Cancel to
// OK (MB_OKCANCEL, else MB_OK).
UINT StyleFlags(int style);
bool StyleHasCancel(int style);

// While the drive works on a command: processes the pending paint and timer
// messages and the window-management part of the non-client input (moving,
// sizing, minimising, the close button, Alt+F4), and the input meant for
// `allowed` (the Abort button): its mouse input, and Space, Enter and Escape
// on it press it, as Escape anywhere in its window does. Every other mouse
// or keyboard message is taken from the queue and dropped, as are clicks on
// the menu bar and the system menu, so that no handler can start a second
// command. Sent messages (activation, focus, size changes, the session's end)
// are handled by the system during these calls as always.
void ProcessWaitMessages(HWND allowed);

class Win32WindowSystem final : public ViewWindowSystem {
 public:
  // A modal MessageBoxW owned by the main window, with title and text as the
  // model gives them (line breaks as CR LF) and the style's icon and buttons.
  // The windows of the program other than the main window are disabled while
  // the box is open, so the box is modal to the whole program. Escape and the
  // close button answer Cancel where there is one, OK otherwise.
  int MsgBox(const std::string& text, int style, const std::string& title) override;
  // Processes every pending message once, user input included (through the
  // dialog manager, as the message loop does): this is how a click on Abort
  // reaches the model while a download runs.
  void DoEvents() override;
  void SetMousePointer(int pointer) override;
  // Tells the session about the command (on_wait), then ProcessWaitMessages
  // for the Abort button.
  void KeepAlive(const CommandWait& wait) override;

  // The window that owns message boxes.
  void SetMainWindow(HWND window) { main_window_ = window; }
  // The one window whose input is delivered during a command wait.
  void SetWaitInputWindow(HWND window) { wait_input_ = window; }
  // A top-level window whose keyboard navigation (Tab, access keys, Escape)
  // the dialog manager does, with its keyboard shortcuts (may be null), and
  // which a message box disables.
  void AddWindow(HWND window, HACCEL shortcuts = nullptr);
  void RemoveWindow(HWND window);

  // One message as the message loop handles it.
  void Dispatch(MSG& msg);
  // Runs the message loop until WM_QUIT; returns its exit code.
  int Run();
  // The message box this thread shows, if one is open.
  HWND OpenMessageBox() const;

  std::function<void(int)> on_pointer;

 private:
  struct Window {
    HWND window;
    HACCEL shortcuts;
  };
  HWND main_window_ = nullptr;
  HWND wait_input_ = nullptr;
  std::vector<Window> windows_;
};

}  // namespace qx::win32
