#include "transport/spti/spti_system.h"

namespace qx::spti {

Opened WindowsSptiSystem::Open(const std::wstring& path, DWORD access) {
  const HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return {INVALID_HANDLE_VALUE, error != 0 ? error : ERROR_GEN_FAILURE};
  }
  return {h, 0};
}

void WindowsSptiSystem::Close(HANDLE handle) {
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

DWORD WindowsSptiSystem::Ioctl(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out,
                               DWORD out_size, DWORD* returned) {
  // Called on the backend's worker for pass-through requests: a synchronous
  // handle, so the call returns when the port driver completed the command.
  DWORD got = 0;
  if (DeviceIoControl(handle, code, in, in_size, out, out_size, &got, nullptr)) {
    if (returned != nullptr) *returned = got;
    return 0;
  }
  const DWORD error = GetLastError();
  if (returned != nullptr) *returned = got;
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

DWORD WindowsSptiSystem::LogicalDrives() {
  return GetLogicalDrives();
}

UINT WindowsSptiSystem::DriveType(wchar_t letter) {
  const wchar_t root[] = {letter, L':', L'\\', L'\0'};
  return GetDriveTypeW(root);
}

}  // namespace qx::spti
