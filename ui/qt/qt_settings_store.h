// The settings-store seam on QSettings. Application `app` maps to
// QSettings(app, app) (on Linux ~/.config/<app>/<app>.conf), the section to a
// group, the key to a key. A store built with an INI file path keeps every
// application's values in that one file instead (tests, portable runs).
#pragma once

#include <QString>
#include <memory>
#include <string>

#include "ui/settings_store.h"

class QSettings;

namespace qx::qt {

class QtSettingsStore final : public SettingsStore {
 public:
  QtSettingsStore() = default;
  explicit QtSettingsStore(QString ini_file) : ini_file_(std::move(ini_file)) {}

  // Values come back as stored text; the caller converts (SettingToInt), so
  // anything that is not a number reads as 0. A missing key gives `deflt`.
  std::string GetSetting(const std::string& app, const std::string& section, const std::string& key,
                         const std::string& deflt) override;
  // Writes and flushes at once. A file QSettings cannot parse is renamed to
  // <file>.unreadable and replaced. A failure is reported on stderr (the seam
  // has no way to return it).
  void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                   const std::string& value) override;

  // The file that holds `app`'s values.
  QString FileName(const std::string& app) const;

 private:
  std::unique_ptr<QSettings> Open(const std::string& app) const;
  QString ini_file_;
};

}  // namespace qx::qt
