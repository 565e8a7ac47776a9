#include "aspi/sense_format.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qx {

size_t ToFixedSense(std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (in.empty() || out.empty()) return 0;
  const uint8_t code = in[0] & 0x7F;
  if (code != 0x72 && code != 0x73) {
    const size_t n = std::min(in.size(), out.size());
    std::memcpy(out.data(), in.data(), n);
    return n;
  }

  auto at = [&](size_t i) -> uint8_t { return i < in.size() ? in[i] : 0; };
  std::array<uint8_t, kFixedSenseLength> fixed{};
  fixed[0] = code == 0x72 ? 0x70 : 0x71;
  fixed[2] = at(1) & 0x0F;
  fixed[7] = kFixedSenseLength - 8;
  fixed[12] = at(2);
  fixed[13] = at(3);

  const size_t end = std::min(in.size(), size_t{8} + at(7));
  size_t pos = 8;
  while (pos + 2 <= end) {
    const uint8_t type = in[pos];
    const size_t len = in[pos + 1];
    if (pos + 2 + len > end) break;
    const uint8_t* d = &in[pos];
    switch (type) {
      case 0x00:  // information
        if (len >= 0x0A) {
          const bool high_zero = d[4] == 0 && d[5] == 0 && d[6] == 0 && d[7] == 0;
          std::memcpy(&fixed[3], d + 8, 4);
          // The fixed format holds 32 bits; a larger value is not claimed valid.
          if ((d[2] & 0x80) != 0 && high_zero) fixed[0] |= 0x80;
        }
        break;
      case 0x01:  // command-specific information
        if (len >= 0x0A) std::memcpy(&fixed[8], d + 8, 4);
        break;
      case 0x02:  // sense-key specific
        if (len >= 0x06) std::memcpy(&fixed[15], d + 4, 3);
        break;
      case 0x03:  // field replaceable unit
        if (len >= 0x02) fixed[14] = d[3];
        break;
      case 0x04:  // stream commands: FILEMARK, EOM, ILI
        if (len >= 0x02) fixed[2] |= d[3] & 0xE0;
        break;
      case 0x05:  // block commands: ILI
        if (len >= 0x02) fixed[2] |= d[3] & 0x20;
        break;
      default:
        break;
    }
    pos += 2 + len;
  }

  const size_t n = std::min(fixed.size(), out.size());
  std::memcpy(out.data(), fixed.data(), n);
  return n;
}

}  // namespace qx
