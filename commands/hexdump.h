// Hexadecimal dump lines of a buffer: "OOOOOO:" followed by 16 "HH " groups
// (55 characters, ending in a blank), one line per 16 bytes from offset 0.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qx {

std::string DumpLine(size_t offset, std::span<const uint8_t> bytes16);
// Lines for every complete or partial 16-byte group of `buffer`.
std::vector<std::string> DumpLines(std::span<const uint8_t> buffer);

}  // namespace qx
