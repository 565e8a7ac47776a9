#include "ui/settings_store.h"

#include <charconv>
#include <cstdint>

namespace qx {

int16_t SettingToInt(const std::string& text) {
  size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) return 0;
  long value = 0;
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  if (*first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr == first) return 0;
  for (const char* q = ptr; q < last; ++q) {
    if (*q != ' ' && *q != '\t' && *q != '\r' && *q != '\n') return 0;
  }
  if (value < INT16_MIN || value > INT16_MAX) return 0;
  return static_cast<int16_t>(value);
}

}  // namespace qx
