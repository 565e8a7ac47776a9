// The settings-store seam on the registry of the current user. Application
// `app`, section and key map to the value `key` of the key
// HKEY_CURRENT_USER\<root>\<app>\<section>, stored as a string (REG_SZ); the
// root is Software\qxflash. The main window's settings are therefore
// HKCU\Software\qxflash\DUDUrevorod\Startup, values Ha and ID.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "ui/settings_store.h"

namespace qx::win32 {

class RegistrySettingsStore final : public SettingsStore {
 public:
  explicit RegistrySettingsStore(std::wstring root = L"Software\\qxflash")
      : root_(std::move(root)) {}

  // The stored text; a DWORD value (written by hand) reads as its decimal
  // number. A missing key or value, or one of another type, gives `deflt`.
  std::string GetSetting(const std::string& app, const std::string& section, const std::string& key,
                         const std::string& deflt) override;
  // Creates the key when missing. A failure is reported on stderr (the seam
  // has no way to return it).
  void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                   const std::string& value) override;

  // The same under <root>\<subkey> for the windows' own state (their
  // placement), with UTF-16 names.
  std::optional<std::wstring> Read(const std::wstring& subkey, const std::wstring& name) const;
  bool Write(const std::wstring& subkey, const std::wstring& name, const std::wstring& value) const;

  const std::wstring& root() const { return root_; }

 private:
  std::wstring root_;
};

// Shows `window` where `store` remembers it under `name` (only where a
// monitor shows that place now), else where the system puts it.
void ShowAtSavedPlace(HWND window, const RegistrySettingsStore& store, const std::wstring& name,
                      int show_command);
// Remembers where `window` is (its normal place, and whether it is maximized).
void SavePlace(HWND window, const RegistrySettingsStore& store, const std::wstring& name);

}  // namespace qx::win32
