#include "ui/win32/registry_settings_store.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ui/win32/text.h"

namespace qx::win32 {

namespace {

// Closes the key it holds.
struct Key {
  HKEY h = nullptr;
  ~Key() {
    if (h != nullptr) RegCloseKey(h);
  }
};

}  // namespace

std::optional<std::wstring> RegistrySettingsStore::Read(const std::wstring& subkey,
                                                        const std::wstring& name) const {
  Key key;
  const std::wstring path = root_ + L"\\" + subkey;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key.h) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key.h, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (type == REG_DWORD && bytes == sizeof(DWORD)) {
    DWORD number = 0;
    RegQueryValueExW(key.h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&number),
                     &bytes);
    return std::to_wstring(number);
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  // The value may change between the two calls: read until it fits.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const LSTATUS status = RegQueryValueExW(key.h, name.c_str(), nullptr, &type,
                                            reinterpret_cast<BYTE*>(text.data()), &size);
    if (status == ERROR_MORE_DATA) {
      bytes = size;
      continue;
    }
    if (status != ERROR_SUCCESS) return std::nullopt;
    text.resize(size / sizeof(wchar_t));
    // A string value need not end in its terminator; it may also carry several.
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
  }
  return std::nullopt;
}

bool RegistrySettingsStore::Write(const std::wstring& subkey, const std::wstring& name,
                                  const std::wstring& value) const {
  Key key;
  const std::wstring path = root_ + L"\\" + subkey;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key.h, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.h, name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.c_str()), bytes) == ERROR_SUCCESS;
}

std::string RegistrySettingsStore::GetSetting(const std::string& app, const std::string& section,
                                              const std::string& key, const std::string& deflt) {
  const auto value = Read(FromModel(app) + L"\\" + FromModel(section), FromModel(key));
  return value ? ToUtf8(*value) : deflt;
}

void RegistrySettingsStore::SaveSetting(const std::string& app, const std::string& section,
                                        const std::string& key, const std::string& value) {
  if (!Write(FromModel(app) + L"\\" + FromModel(section), FromModel(key), FromModel(value))) {
    std::fprintf(stderr, "qxflash: could not save setting %s\\%s\\%s to HKEY_CURRENT_USER\\%s\n",
                 app.c_str(), section.c_str(), key.c_str(), ToUtf8(root_).c_str());
  }
}

void ShowAtSavedPlace(HWND window, const RegistrySettingsStore& store, const std::wstring& name,
                      int show_command) {
  if (const auto saved = store.Read(L"Window", name)) {
    int left = 0, top = 0, right = 0, bottom = 0, maximized = 0;
    if (swscanf(saved->c_str(), L"%d,%d,%d,%d,%d", &left, &top, &right, &bottom, &maximized) == 5 &&
        right > left && bottom > top) {
      const RECT place{left, top, right, bottom};
      if (MonitorFromRect(&place, MONITOR_DEFAULTTONULL) != nullptr) {
        WINDOWPLACEMENT where{};
        where.length = sizeof where;
        GetWindowPlacement(window, &where);
        where.rcNormalPosition = place;
        where.showCmd = maximized != 0 ? SW_SHOWMAXIMIZED : show_command;
        SetWindowPlacement(window, &where);
        return;
      }
    }
  }
  ShowWindow(window, show_command);
}

void SavePlace(HWND window, const RegistrySettingsStore& store, const std::wstring& name) {
  WINDOWPLACEMENT where{};
  where.length = sizeof where;
  if (!GetWindowPlacement(window, &where)) return;
  const RECT& r = where.rcNormalPosition;
  wchar_t text[96];
  swprintf(text, 96, L"%ld,%ld,%ld,%ld,%d", r.left, r.top, r.right, r.bottom,
           where.showCmd == SW_SHOWMAXIMIZED ? 1 : 0);
  store.Write(L"Window", name, text);
}

}  // namespace qx::win32
