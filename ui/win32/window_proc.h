// The window procedure shared by the window classes of this front end.
#pragma once
#include <windows.h>

namespace qx::win32 {

// The procedure of a window class whose windows each belong to one T, passed
// as CreateWindowExW's last argument. WM_NCCREATE stores the T in the
// window's user data and the window in T::hwnd_; from then on T::Handle gets
// the messages once T::fonts_ is set, which the T does when it has made its
// controls. Messages before that (during creation) get the default processing.
template <class T>
LRESULT CALLBACK WindowProcOf(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->fonts_ == nullptr) {
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }
  return self->Handle(message, wparam, lparam);
}

}  // namespace qx::win32
