#include "ui/win32/accessibility.h"

#include <objbase.h>
#include <oleacc.h>

#include "ui/win32/control_ids.h"

// In libuuid as CLSID_AccPropServices; the header declares another name.
extern "C" const CLSID CLSID_AccPropServices;

namespace qx::win32 {

namespace {

const MSAAPROPID& PropertyId(AccessibleNames::Property property) {
  switch (property) {
    case AccessibleNames::kDescription:
      return PROPID_ACC_DESCRIPTION;
    case AccessibleNames::kValue:
      return PROPID_ACC_VALUE;
    case AccessibleNames::kName:
      break;
  }
  return PROPID_ACC_NAME;
}

}  // namespace

AccessibleNames::AccessibleNames() {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  com_ = SUCCEEDED(init);  // S_FALSE too: initialised before, released as often
  void* service = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IAccPropServices, &service))) {
    service_ = static_cast<IAccPropServices*>(service);
  }
}

AccessibleNames::~AccessibleNames() {
  for (const auto& [control, atom] : atoms_) {
    RemovePropW(control, kAccessibleNameProperty);
    GlobalDeleteAtom(atom);
  }
  if (service_ != nullptr) service_->Release();
  if (com_) CoUninitialize();
}

void AccessibleNames::Set(HWND control, Property property, const std::wstring& text) {
  if (control == nullptr) return;
  auto [at, added] = set_.try_emplace({control, property}, text);
  if (!added && at->second == text) return;
  at->second = text;
  if (property == kName) {
    // Atoms hold at most 255 characters; a name is far shorter.
    const ATOM atom = GlobalAddAtomW(text.substr(0, 255).c_str());
    if (auto old = atoms_.find(control); old != atoms_.end()) GlobalDeleteAtom(old->second);
    atoms_[control] = atom;
    SetPropW(control, kAccessibleNameProperty,
             reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(atom)));
  }
  if (service_ == nullptr) return;
  service_->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                           PropertyId(property), text.c_str());
}

void NotifyChanged(HWND control, DWORD event) {
  if (control != nullptr) NotifyWinEvent(event, control, OBJID_CLIENT, CHILDID_SELF);
}

}  // namespace qx::win32
