// What a screen reader hears of the Win32 windows beyond what the controls
// say of themselves. A control's accessible name is its own text (labels,
// buttons) or the text of the label just before it; where that is not the
// name the window means (a list labelled "HA" is the "Host adapter"), the
// name is set through the system's annotation service (oleacc's
// IAccPropServices, made through COM: oleacc loads only when the window asks
// for it, never for a command-line run); the name is also kept as a window
// property (kAccessibleNameProperty) for automation tools in other processes.
// Changes are told with NotifyWinEvent.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>

struct IAccPropServices;

namespace qx::win32 {

class AccessibleNames {
 public:
  // Without the service (a system that lacks it) the setters do nothing.
  AccessibleNames();
  ~AccessibleNames();
  AccessibleNames(const AccessibleNames&) = delete;
  AccessibleNames& operator=(const AccessibleNames&) = delete;

  enum Property { kName, kDescription, kValue };
  // Sets `property` of `control` to `text` unless it was set to it already.
  void Set(HWND control, Property property, const std::wstring& text);

 private:
  IAccPropServices* service_ = nullptr;
  bool com_ = false;
  std::map<std::pair<HWND, Property>, std::wstring> set_;
  std::map<HWND, ATOM> atoms_;  // the names, for kAccessibleNameProperty
};

// Tells a screen reader that the control's name or value has changed
// (EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_VALUECHANGE), so that it says it.
void NotifyChanged(HWND control, DWORD event);

}  // namespace qx::win32
