// Operation codes of the commands the system sends, and the function codes of
// the drive's vendor-specific 0xDF family. Shared by the builders and by the
// transports that must recognise the commands (data direction, simulated drive).
#pragma once

#include <cstdint>

namespace qx::op {

inline constexpr uint8_t kTestUnitReady = 0x00;
inline constexpr uint8_t kRequestSense = 0x03;
inline constexpr uint8_t kInquiry = 0x12;
inline constexpr uint8_t kStartStopUnit = 0x1B;
inline constexpr uint8_t kWriteBuffer = 0x3B;
inline constexpr uint8_t kReadBuffer = 0x3C;
inline constexpr uint8_t kVendor = 0xDF;

// Byte 2 of a vendor command.
inline constexpr uint8_t kFnDiOut = 0xD7;
inline constexpr uint8_t kFnDiIn = 0xD9;
inline constexpr uint8_t kFnAddressGroup = 0xE0;
inline constexpr uint8_t kFnMemoryRead = 0xE2;

// Byte 4 of an address-group command.
inline constexpr uint8_t kLoopHeaderCheck = 0x00;
inline constexpr uint8_t kLoopDataWrite = 0x01;
inline constexpr uint8_t kLoopReadLong = 0x0A;
inline constexpr uint8_t kLoopErrorByteCheck = 0x0C;
inline constexpr uint8_t kLoopErase = 0x0D;

}  // namespace qx::op
