#include "ui/win32/elevation.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "ui/win32/text.h"

namespace qx::win32 {

std::wstring CommandLineOf(const std::vector<std::string>& arguments) {
  std::wstring line;
  for (const std::string& argument : arguments) {
    const std::wstring word = FromModel(argument);
    if (!line.empty()) line += L' ';
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
      line += word;
      continue;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : word) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      // Backslashes before a quote are doubled, and the quote escaped.
      line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
      backslashes = 0;
      line += c;
    }
    // Before the closing quote too.
    line.append(2 * backslashes, L'\\');
    line += L'"';
  }
  return line;
}

bool StartElevated(const std::vector<std::string>& arguments) {
  std::wstring exe(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0) return false;
    if (n < exe.size()) {
      exe.resize(n);
      break;
    }
    exe.resize(exe.size() * 2);
  }
  const std::wstring parameters = CommandLineOf(arguments);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = exe.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExW(&info) != FALSE;
}

}  // namespace qx::win32
