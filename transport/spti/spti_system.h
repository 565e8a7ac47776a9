// The operating-system seam of the SCSI pass-through backend: device opens,
// DeviceIoControl and the drive letters. Tests answer the ioctls themselves with
// the structures of <ntddscsi.h> and <winioctl.h>.
#pragma once

#include <string>

#include "transport/spti/spti_windows.h"

namespace qx::spti {

// A handle, or the Windows error (GetLastError) that refused it.
struct Opened {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  bool ok() const { return error == 0; }
};

class SptiSystem {
 public:
  virtual ~SptiSystem() = default;
  // CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
  // synchronous.
  virtual Opened Open(const std::wstring& path, DWORD access) = 0;
  virtual void Close(HANDLE handle) = 0;
  // DeviceIoControl without OVERLAPPED: 0 when it succeeded, else GetLastError().
  // *returned gets the bytes written into `out`.
  virtual DWORD Ioctl(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                      DWORD* returned) = 0;
  // GetLogicalDrives and GetDriveTypeW("X:\\").
  virtual DWORD LogicalDrives() = 0;
  virtual UINT DriveType(wchar_t letter) = 0;
};

// The real system.
class WindowsSptiSystem final : public SptiSystem {
 public:
  Opened Open(const std::wstring& path, DWORD access) override;
  void Close(HANDLE handle) override;
  DWORD Ioctl(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
              DWORD* returned) override;
  DWORD LogicalDrives() override;
  UINT DriveType(wchar_t letter) override;
};

}  // namespace qx::spti
