#include "aspi/hex_groups.h"

namespace qx {

void AppendHexGroups(std::string& out, const uint8_t* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.reserve(out.size() + n * 3);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
    out += ' ';
  }
}

std::string HexGroups(const uint8_t* bytes, size_t n) {
  std::string s;
  AppendHexGroups(s, bytes, n);
  return s;
}

}  // namespace qx
