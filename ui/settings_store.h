// The settings-store seam: per-user values keyed by (application, section, key).
#pragma once

#include <map>
#include <string>
#include <tuple>

namespace qx {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual std::string GetSetting(const std::string& app, const std::string& section,
                                 const std::string& key, const std::string& deflt) = 0;
  virtual void SaveSetting(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& value) = 0;
};

// In-memory store for tests and for runs that must not touch the user's settings.
class MemorySettingsStore : public SettingsStore {
 public:
  std::string GetSetting(const std::string& app, const std::string& section, const std::string& key,
                         const std::string& deflt) override {
    auto it = values.find({app, section, key});
    return it == values.end() ? deflt : it->second;
  }
  void SaveSetting(const std::string& app, const std::string& section, const std::string& key,
                   const std::string& value) override {
    values[{app, section, key}] = value;
  }
  std::map<std::tuple<std::string, std::string, std::string>, std::string> values;
};

// The integer value of a stored setting; text that is not a number reads as 0.
int16_t SettingToInt(const std::string& text);

}  // namespace qx
