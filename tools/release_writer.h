// Builds release files (parameter file text and a synthetic 256 KiB image) for
// the sample releases, the tests, the fuzzer and the benchmark. Header-only so
// that every one of them can use it without another library.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/firmware_tag.h"
#include "download/release.h"

namespace qx::tools {

inline constexpr std::string_view kDefaultHeader = "AmbervaultParameterFile Ver.0002";
inline constexpr std::string_view kDefaultModel = "QX-R4410";
inline constexpr std::string_view kDefaultFirmwareVersion = "1.20 2026/12/01";

// The items of a parameter file as they are written (text, not values), so
// that broken and unusual forms can be written too.
struct ReleaseRecipe {
  std::string header{kDefaultHeader};
  std::string model{kDefaultModel};
  // Items 3, 5, 7 and 9.
  std::array<std::string, 4> freeText{"Area 0: blocks 0-1", "Area 1: blocks 2-14",
                                      "Area 2: block 15", "Checksum"};
  // Items 4, 6 and 8.
  std::array<std::string, 3> flags{"1", "1", "1"};
  // Added to the true image sum when item 10 is written.
  int64_t checksumDelta = 0;
};

// The 18 version bytes: `text` cut or padded with blanks.
inline std::string VersionBytes(std::string_view text) {
  std::string bytes(text.substr(0, kFirmwareVersionLength));
  bytes.resize(kFirmwareVersionLength, ' ');
  return bytes;
}

// Writes the version tag and its 18 bytes at kFirmwareVersionOffset.
inline void StampFirmwareVersion(std::vector<uint8_t>& image, std::string_view versionText) {
  std::string tag = std::string(kFirmwareVersionTag) + VersionBytes(versionText);
  if (image.size() < kFirmwareVersionOffset + tag.size()) return;
  std::copy(tag.begin(), tag.end(), image.begin() + static_cast<ptrdiff_t>(kFirmwareVersionOffset));
}

// A deterministic 256 KiB image: each block starts with "QXBLOCKnn", the rest
// is an xorshift pattern from `seed`; the version tag sits in block 0.
inline std::vector<uint8_t> SyntheticImage(std::string_view versionText, uint32_t seed = 1) {
  std::vector<uint8_t> image(kImageSize);
  uint32_t x = seed != 0 ? seed : 0x9E3779B9u;
  for (auto& byte : image) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<uint8_t>(x >> 24);
  }
  for (size_t b = 0; b < kBlockCount; ++b) {
    std::string label = "QXBLOCK" + std::string(1, static_cast<char>('0' + b / 10)) +
                        std::string(1, static_cast<char>('0' + b % 10));
    std::copy(label.begin(), label.end(), image.begin() + static_cast<ptrdiff_t>(b * kBlockSize));
  }
  StampFirmwareVersion(image, versionText);
  return image;
}

// Parameter file text with CR LF lines; item 10 is `imageSum` + checksumDelta.
inline std::string ParameterFileText(const ReleaseRecipe& recipe, uint64_t imageSum) {
  int64_t checksum = static_cast<int64_t>(imageSum) + recipe.checksumDelta;
  const std::string items[] = {recipe.header,           recipe.model,       recipe.freeText[0],
                               recipe.flags[0],         recipe.freeText[1], recipe.flags[1],
                               recipe.freeText[2],      recipe.flags[2],    recipe.freeText[3],
                               std::to_string(checksum)};
  std::string text;
  for (const auto& item : items) text += item + "\r\n";
  return text;
}

}  // namespace qx::tools
