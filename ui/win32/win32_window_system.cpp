#include "ui/win32/win32_window_system.h"

#include <vector>

#include "ui/win32/text.h"

namespace qx::win32 {

namespace {

// The timer message the system uses for the caret and for scrolling
// (not named in the headers).
constexpr UINT kSystemTimer = 0x0118;
// Bounds each kind's loop: a window that never validates would otherwise
// keep one kind coming for ever.
constexpr int kMaxMessagesPerKind = 256;

bool IsFor(HWND target, HWND window) {
  return window != nullptr && target != nullptr && (target == window || IsChild(window, target));
}

// Non-client input that manages the window: the caption, the frame, the
// minimise, maximise and close buttons. The menu bar and the system menu
// (its icon and a right click) would start a handler and are dropped.
bool IsWindowManagement(const MSG& msg) {
  switch (msg.message) {
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONUP:
    case WM_NCRBUTTONDBLCLK:
      return false;
    default:
      return msg.wParam != HTMENU && msg.wParam != HTSYSMENU;
  }
}

template <typename Allow>
void Process(UINT first, UINT last, Allow allow) {
  MSG msg;
  for (int i = 0; i < kMaxMessagesPerKind && PeekMessageW(&msg, nullptr, first, last, PM_REMOVE);
       ++i) {
    if (allow(msg)) DispatchMessageW(&msg);
  }
}

// A key during a command wait: Space goes to the Abort button, which presses
// itself; Enter on it, and Escape anywhere in its window, press it here (the
// dialog manager that would turn them into a press is not asked during the
// wait); Alt+F4 asks the window to close (it says why it stays open while a
// download runs). Every other key is dropped.
bool PassWaitKey(const MSG& msg, HWND allowed) {
  const bool down = msg.message == WM_KEYDOWN;
  const bool on_button = IsFor(msg.hwnd, allowed);
  if (on_button && msg.wParam == VK_SPACE && (down || msg.message == WM_KEYUP)) return true;
  const bool press =
      down && ((on_button && msg.wParam == VK_RETURN) ||
               (msg.wParam == VK_ESCAPE && IsFor(msg.hwnd, GetAncestor(allowed, GA_ROOT))));
  if (press && IsWindowEnabled(allowed)) SendMessageW(allowed, BM_CLICK, 0, 0);
  return msg.message == WM_SYSKEYDOWN && msg.wParam == VK_F4 && (HIWORD(msg.lParam) & KF_ALTDOWN);
}

struct FindBox {
  DWORD thread;
  HWND box = nullptr;
};

BOOL CALLBACK NoteBox(HWND window, LPARAM param) {
  auto* find = reinterpret_cast<FindBox*>(param);
  wchar_t name[16] = {};
  GetClassNameW(window, name, 16);
  if (IsWindowVisible(window) && std::wstring_view(name) == L"#32770") {
    find->box = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

UINT StyleFlags(int style) {
  UINT flags = StyleHasCancel(style) ? MB_OKCANCEL : MB_OK;
  switch (style & 0x70) {
    case 16:
      flags |= MB_ICONHAND;
      break;
    case 32:
      flags |= MB_ICONQUESTION;
      break;
    case 48:
      flags |= MB_ICONEXCLAMATION;
      break;
    case 64:
      flags |= MB_ICONASTERISK;
      break;
    default:
      break;
  }
  return flags;
}

bool StyleHasCancel(int style) {
  return (style & 0x0F) == 1;
}

void ProcessWaitMessages(HWND allowed) {
  Process(WM_MOUSEFIRST, WM_MOUSELAST, [allowed](const MSG& m) { return IsFor(m.hwnd, allowed); });
  Process(WM_KEYFIRST, WM_KEYLAST, [allowed](const MSG& m) { return PassWaitKey(m, allowed); });
  Process(WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK, IsWindowManagement);
  Process(WM_TIMER, WM_TIMER, [](const MSG&) { return true; });
  Process(kSystemTimer, kSystemTimer, [](const MSG&) { return true; });
  Process(WM_PAINT, WM_PAINT, [](const MSG&) { return true; });
}

int Win32WindowSystem::MsgBox(const std::string& text, int style, const std::string& title) {
  // The other windows are disabled as the box disables its owner.
  std::vector<HWND> disabled;
  for (const Window& w : windows_) {
    if (w.window != main_window_ && IsWindowEnabled(w.window)) {
      EnableWindow(w.window, FALSE);
      disabled.push_back(w.window);
    }
  }
  const HWND owner = main_window_ != nullptr && IsWindow(main_window_) ? main_window_ : nullptr;
  const int answer = MessageBoxW(owner, MessageBoxText(text).c_str(), FromModel(title).c_str(),
                                 StyleFlags(style) | MB_SETFOREGROUND);
  for (HWND window : disabled) {
    if (IsWindow(window)) EnableWindow(window, TRUE);
  }
  // Anything but an explicit Cancel on a box that has one counts as OK.
  return answer == IDCANCEL && StyleHasCancel(style) ? kAnswerCancel : kAnswerOk;
}

void Win32WindowSystem::Dispatch(MSG& msg) {
  for (const Window& w : windows_) {
    if (!IsFor(msg.hwnd, w.window)) continue;
    if (w.shortcuts != nullptr && TranslateAcceleratorW(w.window, w.shortcuts, &msg)) return;
    if (IsDialogMessageW(w.window, &msg)) return;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

int Win32WindowSystem::Run() {
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    Dispatch(msg);
  }
  return static_cast<int>(msg.wParam);
}

void Win32WindowSystem::DoEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // For the loop that runs once the handler has returned.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    Dispatch(msg);
  }
}

void Win32WindowSystem::KeepAlive(const CommandWait& wait) {
  NotifyWait(wait);
  ProcessWaitMessages(wait_input_);
}

void Win32WindowSystem::SetMousePointer(int pointer) {
  if (on_pointer) on_pointer(pointer);
}

void Win32WindowSystem::AddWindow(HWND window, HACCEL shortcuts) {
  RemoveWindow(window);
  windows_.push_back({window, shortcuts});
}

void Win32WindowSystem::RemoveWindow(HWND window) {
  std::erase_if(windows_, [window](const Window& w) { return w.window == window; });
}

HWND Win32WindowSystem::OpenMessageBox() const {
  FindBox find{GetCurrentThreadId()};
  EnumThreadWindows(find.thread, NoteBox, reinterpret_cast<LPARAM>(&find));
  return find.box;
}

}  // namespace qx::win32
