// The data direction of an execute request. The request block's SRB_Flags carry
// none, so every pass-through backend takes it from the command itself:
//   INQUIRY 0x12, READ BUFFER 0x3C, REQUEST SENSE 0x03            in
//   WRITE BUFFER 0x3B                                             out
//   TEST UNIT READY 0x00, START STOP UNIT 0x1B                    none
//   vendor 0xDF: 0xE2 memory read, 0xD9 DI IN                     in
//                0xD7 DI OUT                                      none
//                0xE0 group (read long, header check, error byte
//                check, data write, erase)                        in
//   any command with transfer length 0                            none
//   anything else                                                 in
// Reading is the safe default: it never sends host memory to a device.
#pragma once

#include <cstdint>
#include <span>

namespace qx {

enum class Direction { kNone, kIn, kOut };

Direction DataDirection(std::span<const uint8_t> cdb, uint32_t transfer_length);

}  // namespace qx
