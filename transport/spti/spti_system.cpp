#include "transport/spti/spti_system.h"

namespace qx::spti {

Opened WindowsSptiSystem::Open(const std::wstring& path, DWORD access, OpenMode mode) {
  const HANDLE h =
      CreateFileW(path.c_str(), access, mode.share, nullptr, OPEN_EXISTING, mode.flags, nullptr);
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
  // Called on the backend's worker for pass-through requests, and on the
  // caller's thread for the checks before them. A synchronous handle ignores
  // the OVERLAPPED and returns when the driver completed the request; on an
  // overlapped one (a held device) the call waits for the completion here, so
  // both read the same to the caller.
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  DWORD got = 0;
  BOOL ok = DeviceIoControl(handle, code, in, in_size, out, out_size, &got, &overlapped);
  DWORD error = ok ? 0 : GetLastError();
  if (!ok && error == ERROR_IO_PENDING) {
    ok = GetOverlappedResult(handle, &overlapped, &got, TRUE);
    error = ok ? 0 : GetLastError();
  }
  CloseHandle(overlapped.hEvent);
  if (returned != nullptr) *returned = got;
  if (ok) return 0;
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
