// The operating-system seam of the SCSI pass-through backend: device opens,
// DeviceIoControl (FSCTL_ codes included) and the drive letters. Tests answer
// the ioctls themselves with the structures of <ntddscsi.h> and <winioctl.h>.
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

// How a device is opened: CreateFileW's dwShareMode and dwFlagsAndAttributes.
struct OpenMode {
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;

  friend bool operator==(const OpenMode&, const OpenMode&) = default;
};
// Shared with other programs, synchronous: a device opened for one command.
inline constexpr OpenMode kSharedOpen{};
// This program's alone, and overlapped so that the thread checking the next
// command does not wait behind the one the worker has in the kernel (Windows
// runs the requests of a synchronous handle one after another): a device held
// through a download.
inline constexpr OpenMode kExclusiveOpen{0, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED};

class SptiSystem {
 public:
  virtual ~SptiSystem() = default;
  // CreateFileW(path, access, mode.share, OPEN_EXISTING, mode.flags).
  virtual Opened Open(const std::wstring& path, DWORD access, OpenMode mode) = 0;
  virtual void Close(HANDLE handle) = 0;
  // DeviceIoControl on a synchronous or overlapped handle, returning when the
  // request is complete: 0 when it succeeded, else GetLastError(). *returned
  // gets the bytes written into `out`.
  virtual DWORD Ioctl(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                      DWORD* returned) = 0;
  // GetLogicalDrives and GetDriveTypeW("X:\\").
  virtual DWORD LogicalDrives() = 0;
  virtual UINT DriveType(wchar_t letter) = 0;
};

// The real system.
class WindowsSptiSystem final : public SptiSystem {
 public:
  Opened Open(const std::wstring& path, DWORD access, OpenMode mode) override;
  void Close(HANDLE handle) override;
  DWORD Ioctl(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
              DWORD* returned) override;
  DWORD LogicalDrives() override;
  UINT DriveType(wchar_t letter) override;
};

}  // namespace qx::spti
