// Bytes as hexadecimal groups, "0A FF " (two upper-case digits and a blank
// each): the format the command trace and the dump lines share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx {

void AppendHexGroups(std::string& out, const uint8_t* bytes, size_t n);
std::string HexGroups(const uint8_t* bytes, size_t n);

}  // namespace qx
