// Sense data as the request block's SenseArea holds it: fixed format. Backends
// whose system may hand over descriptor-format sense convert it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qx {

inline constexpr size_t kFixedSenseLength = 18;

// Writes the sense data into `out` in fixed format (response code 0x70/0x71) and
// returns the number of bytes written (at most out.size()). Fixed-format and
// unrecognised sense is copied unchanged; descriptor-format sense (0x72/0x73) is
// converted so that the key, ASC and ASCQ sit at bytes 2, 12 and 13, with the
// VALID bit and information field taken from an information descriptor when
// its value fits in 32 bits. Bit 7 of byte 0 is masked off before the response
// code is examined.
size_t ToFixedSense(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace qx
