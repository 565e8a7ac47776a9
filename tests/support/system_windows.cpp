#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <io.h>
#include <stdlib.h>
// clang-format on

#include "tests/support/system.h"

namespace qx::test {

namespace {

// _get_osfhandle reports a descriptor that is not open to the C runtime's
// invalid-parameter handler; this one lets it return -1.
void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                            uintptr_t) {}

}  // namespace

unsigned long ProcessId() {
  return GetCurrentProcessId();
}

size_t OpenFiles() {
  const _invalid_parameter_handler saved = _set_invalid_parameter_handler(IgnoreInvalidParameter);
  size_t n = 0;
  for (int fd = 0; fd < 2048; ++fd) {  // the C runtime's limit
    if (_get_osfhandle(fd) != -1) ++n;
  }
  _set_invalid_parameter_handler(saved);
  return n;
}

bool HasFifos() {
  return false;
}

bool MakeFifo(const std::filesystem::path&) {
  return false;
}

void SetStateHome(const std::filesystem::path& dir) {
  SetEnvironmentVariableW(L"LOCALAPPDATA", dir.c_str());
}

void UnsetStateHome() {
  SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
}

bool ForgetStateDirectory() {
  return false;
}

void RestoreStateDirectory() {}

bool LinkToDevice(const std::filesystem::path&) {
  return false;
}

bool StopSignalsBlocked() {
  return false;
}

}  // namespace qx::test
