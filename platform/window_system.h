// The window-system seam: what the core asks of whatever front end is running
// (Qt desktop, command line, or a scripted test double).
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qx {

// Message-box styles the system uses (icon + buttons).
inline constexpr int kStyleCritical = 16;     // stop icon, OK
inline constexpr int kStyleQuestion = 33;     // question icon, OK and Cancel
inline constexpr int kStyleExclamation = 48;  // exclamation icon, OK

// Buttons a message box answers with.
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;

// Mouse pointers.
inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerHourglass = 11;

// A command the executor is waiting for: its name as the builder gave it, the
// CDB it carries and how long the wait has lasted so far.
struct CommandWait {
  std::string_view command;
  std::span<const uint8_t> cdb;
  std::chrono::milliseconds elapsed{0};
};

// What the core asks to have painted at once, before it goes on.
enum class Paint : uint8_t {
  kStatusLine,  // the main window's status line, Text1
  kTraceList,   // the debug window's trace list, ASPI_Ret
};
// The control's name in the window models ("Text1", "ASPI_Ret").
const char* ControlName(Paint what);

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // Shows a modal message box and returns the button pressed (kAnswerOk / kAnswerCancel).
  virtual int MsgBox(const std::string& text, int style, const std::string& title) = 0;
  // Lets the window system process pending events once.
  virtual void DoEvents() = 0;
  // Sets the main window's mouse pointer (kPointerDefault / kPointerHourglass).
  virtual void SetMousePointer(int pointer) = 0;
  // Repaints the control at once.
  virtual void Refresh(Paint what) = 0;
  // Called again and again while the executor waits for a command: keeps the
  // front end alive (painting, timers, progress) without delivering user input
  // that could start another command.
  virtual void KeepAlive(const CommandWait& /*wait*/) {}
  // Called once when a wait that has seen KeepAlive calls is over (the command
  // completed, failed or timed out), so that progress shown for it can go.
  virtual void WaitEnded() {}
  // Delivers a stop request that arrived from outside the window (a signal, a
  // console event) as the Abort it stands for, without processing any other
  // event. The download asks between commands where it may not yield.
  virtual void DeliverStops() {}
};

// One line for the operator about a command the drive is still working on:
// the command's name with its blanks tidied, for WRITE BUFFER the buffer ID and
// what the mode does, and the whole seconds waited so far, for example
// "WriteBuffer 15 (saving) – 12 s" or "Inquiry – 3 s" (UTF-8).
std::string DescribeWait(const CommandWait& wait);

// A window system with no user: every box answers its safe button
// (Cancel where there is one, OK otherwise); nothing else happens.
class HeadlessWindowSystem : public WindowSystem {
 public:
  int MsgBox(const std::string& text, int style, const std::string& title) override;
  void DoEvents() override {}
  void SetMousePointer(int) override {}
  void Refresh(Paint) override {}
};

// The window system in use. Never null: a HeadlessWindowSystem until a front end
// installs its own. The caller keeps ownership of what it installs.
WindowSystem& Ui();
void InstallWindowSystem(WindowSystem* ws);  // nullptr restores the headless one

}  // namespace qx
