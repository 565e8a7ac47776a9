// The window procedure shared by the window classes of this front end.
#pragma once
#include <windows.h>

namespace qx::win32 {

// The procedure of a window class whose windows each belong to one T, passed
// as CreateWindowExW's last argument. WM_NCCREATE stores the T in the
// window's user data and the window in T::hwnd_; from then on T::Handle gets
// the messages once T::fonts_ is set, which the T does when it has made its
// controls. Messages before that (during creation) get the default processing.
//
// The default processing is the dialog manager's (DefDlgProcW; the class
// needs DLGWINDOWEXTRA bytes, see RegisterWindowClass): access keys of labels
// move the focus to the control after them, Tab and the arrow keys move it as
// in any dialog box, Enter presses the focused push button, and the focus is
// kept while the window is inactive and given back when it returns.
template <class T>
LRESULT CALLBACK WindowProcOf(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->fonts_ == nullptr) {
    return DefDlgProcW(hwnd, message, wparam, lparam);
  }
  return self->Handle(message, wparam, lparam);
}

// Registers the class `name` for the windows of T (WindowProcOf<T>, the
// dialog manager's extra bytes, the face colour as background).
template <class T>
void RegisterWindowClass(const wchar_t* name, HICON icon) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProcOf<T>;
  window_class.cbWndExtra = DLGWINDOWEXTRA;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hIcon = icon;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = name;
  RegisterClassExW(&window_class);
}

}  // namespace qx::win32
