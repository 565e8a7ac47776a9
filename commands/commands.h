// Builders of the SCSI commands the system sends: standard commands and the
// drive's vendor-specific 0xDF family. Each returns the executor's result of its
// last attempt: 1 success, 0 refused before submission, else the failed status.
#pragma once

#include <cstdint>

namespace qx {

// Standard commands.
int16_t StopUnit();
int16_t StartUnit();
int16_t TestUnitReady();     // control byte 0xC0
int16_t TestUnitReadyStd();  // control byte 0x00
int16_t Inquiry();           // 58 bytes of standard data into DataBuf
int16_t ReadBuffer();        // mode 1, buffer ID 1, up to 4100 bytes

// Vendor diagnostic commands (12-byte CDBs, operation code 0xDF).
int16_t DiIn(uint8_t first, uint8_t second);
int16_t DiOut(uint8_t first, uint8_t second);
// Transfer length end - start + 4. A range whose transfer does not fit DataBuf is
// refused without reaching the transport (result 0xE0, reason in ErrMsg).
int16_t MemoryRead(int32_t startAddr, int32_t endAddr, uint8_t area);
int16_t LoopReadLong(int32_t startAddr, int32_t endAddr);
int16_t LoopDataWrite(int32_t startAddr, int32_t endAddr, uint8_t data);
int16_t LoopErase(int32_t startAddr, int32_t endAddr);
int16_t LoopHeaderCheck(int32_t startAddr, int32_t endAddr);
int16_t LoopErrorByteCheck(int32_t startAddr, int32_t endAddr);

// Packs the low 24 bits of two values, most significant byte first, into out[0..2]
// and out[3..5].
void AddrPairToBytes(int32_t first, int32_t second, uint8_t (&out)[6]);

}  // namespace qx
