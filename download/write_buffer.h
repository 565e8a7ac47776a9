// The WRITE BUFFER builder of the firmware download.
#pragma once

#include <cstdint>
#include <string>

namespace qx {

inline constexpr const char* kCustomizingCodeText =
    "Error!\n   The Drive Can not up-date,becasue\n"
    "    because the customizing code is not corresponding.";
inline constexpr const char* kRpcModeText =
    "Error!\n   The Drive Can not up-date,becasue\n"
    "    because the RPC mode is not corresponding.";

// "WriteBuffer " + the buffer ID with its sign blank + " ": "WriteBuffer  7 ".
std::string WriteBufferName(uint8_t bufferId);

// Sends `length` bytes of DataBuf with WRITE BUFFER in `mode` to `bufferId` at
// `offset`. The drive's refusals of an unsuitable image replace ErrMsg.
int16_t WriteBuffer(int32_t offset, int32_t length, uint8_t mode, uint8_t bufferId);

}  // namespace qx
