// Where a firmware image names its own version: the ASCII tag below followed by
// the 18 bytes a drive running that firmware reports in INQUIRY bytes 32-49
// (4-byte product revision + 14 vendor-specific bytes). Release images built by
// tools/mkrelease carry it at kFirmwareVersionOffset; readers search for the tag.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qx {

inline constexpr std::string_view kFirmwareVersionTag = "QXFW-VERSION=";
inline constexpr size_t kFirmwareVersionOffset = 0x100;
inline constexpr size_t kFirmwareVersionLength = 18;

// The 18 version bytes following the first tag in `image`, if any.
inline std::optional<std::string> FindFirmwareVersion(std::span<const uint8_t> image) {
  auto it = std::search(image.begin(), image.end(), kFirmwareVersionTag.begin(),
                        kFirmwareVersionTag.end(),
                        [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
  if (it == image.end()) return std::nullopt;
  size_t pos = static_cast<size_t>(it - image.begin()) + kFirmwareVersionTag.size();
  if (pos + kFirmwareVersionLength > image.size()) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(image.data() + pos), kFirmwareVersionLength);
}

}  // namespace qx
