#include "commands/commands.h"

#include "aspi/executor.h"
#include "commands/builder.h"
#include "aspi/opcodes.h"
#include "decode/decode.h"

namespace qx {

namespace {

int16_t SixByteCommand(const char* name, uint8_t opcode, uint8_t byte4, uint8_t byte5,
                       int32_t xferLen) {
  return RunCommand(name, [=](Cdb& cdb) {
    cdb[0] = opcode;
    cdb[4] = byte4;
    cdb[5] = byte5;
    XferLen = xferLen;
    CDBSize = 6;
  });
}

int16_t DiCommand(const char* name, uint8_t function, uint8_t first, uint8_t second,
                  int32_t xferLen) {
  return RunCommand(name, [=](Cdb& cdb) {
    cdb[0] = op::kVendor;
    cdb[2] = function;
    cdb[4] = first;
    cdb[6] = second;
    XferLen = xferLen;
    CDBSize = 12;
  });
}

// The address commands: start and end address in bytes 5-10.
int16_t AddressCommand(const char* name, uint8_t function, uint8_t byte3, uint8_t byte4,
                       int32_t startAddr, int32_t endAddr, uint8_t byte11, int32_t xferLen) {
  return RunCommand(name, [=](Cdb& cdb) {
    uint8_t addr[6];
    AddrPairToBytes(startAddr, endAddr, addr);
    cdb[0] = op::kVendor;
    cdb[2] = function;
    cdb[3] = byte3;
    cdb[4] = byte4;
    for (int i = 0; i < 6; ++i) cdb[5 + i] = addr[i];
    cdb[11] = byte11;
    XferLen = xferLen;
    CDBSize = 12;
  });
}

constexpr uint8_t kLoopFlag = 0x80;

}  // namespace

int16_t StopUnit() {
  return SixByteCommand("Stop Unit", op::kStartStopUnit, 0x00, 0x00, 0);
}
int16_t StartUnit() {
  return SixByteCommand("Start Unit", op::kStartStopUnit, 0x01, 0x00, 0);
}
int16_t TestUnitReady() {
  return SixByteCommand("TestUnitReady", op::kTestUnitReady, 0x00, 0xC0, 0);
}
int16_t TestUnitReadyStd() {
  return SixByteCommand("TestUnitReady", op::kTestUnitReady, 0x00, 0x00, 0);
}
int16_t Inquiry() {
  return SixByteCommand("Inquiry", op::kInquiry, 0x3A, 0x00, 58);
}

int16_t ReadBuffer() {
  return RunCommand("ReadBuffer ", [](Cdb& cdb) {
    cdb[0] = op::kReadBuffer;
    cdb[1] = 0x01;  // mode 1: vendor-specific
    cdb[2] = 0x01;  // buffer ID 1
    cdb[7] = 0x10;  // allocation length 0x001004 = 4100
    cdb[8] = 0x04;
    XferLen = 4100;
    CDBSize = 10;
  });
}

int16_t DiIn(uint8_t first, uint8_t second) {
  return DiCommand("DI IN", op::kFnDiIn, first, second, 2);
}
int16_t DiOut(uint8_t first, uint8_t second) {
  return DiCommand("DI OUT", op::kFnDiOut, first, second, 0);
}

int16_t MemoryRead(int32_t startAddr, int32_t endAddr, uint8_t area) {
  // The executor refuses any length outside DataBuf; only a difference that
  // does not even fit 32 bits has to be caught here.
  const int64_t length = int64_t{endAddr} - int64_t{startAddr} + 4;
  if (length < INT32_MIN || length > INT32_MAX) {
    ErrMsg = "MemoryRead" + SrbStatusMsg(kResultInvalidParameter) + " (addresses " +
             std::to_string(startAddr) + " to " + std::to_string(endAddr) + " need " +
             std::to_string(length) + " bytes)";
    return kResultInvalidParameter;
  }
  return AddressCommand("MemoryRead", op::kFnMemoryRead, area, 0x00, startAddr, endAddr, 0x00,
                        static_cast<int32_t>(length));
}

int16_t LoopReadLong(int32_t startAddr, int32_t endAddr) {
  return AddressCommand("LoopReadLong", op::kFnAddressGroup, 0x00, op::kLoopReadLong, startAddr,
                        endAddr, kLoopFlag, 37855);
}
int16_t LoopDataWrite(int32_t startAddr, int32_t endAddr, uint8_t data) {
  return AddressCommand("LoopDataWrite", op::kFnAddressGroup, data, op::kLoopDataWrite, startAddr,
                        endAddr, kLoopFlag, 1);
}
int16_t LoopErase(int32_t startAddr, int32_t endAddr) {
  return AddressCommand("Loop Erase", op::kFnAddressGroup, 0x00, op::kLoopErase, startAddr, endAddr,
                        kLoopFlag, 1);
}
int16_t LoopHeaderCheck(int32_t startAddr, int32_t endAddr) {
  return AddressCommand("LoopHeaderCheck", op::kFnAddressGroup, 0x00, op::kLoopHeaderCheck,
                        startAddr, endAddr, kLoopFlag, 256);
}
int16_t LoopErrorByteCheck(int32_t startAddr, int32_t endAddr) {
  return AddressCommand("LoopErrorByteCheck", op::kFnAddressGroup, 0x00, op::kLoopErrorByteCheck,
                        startAddr, endAddr, kLoopFlag, 280);
}

void AddrPairToBytes(int32_t first, int32_t second, uint8_t (&out)[6]) {
  const auto a = static_cast<uint32_t>(first);
  const auto b = static_cast<uint32_t>(second);
  out[0] = static_cast<uint8_t>(a >> 16);
  out[1] = static_cast<uint8_t>(a >> 8);
  out[2] = static_cast<uint8_t>(a);
  out[3] = static_cast<uint8_t>(b >> 16);
  out[4] = static_cast<uint8_t>(b >> 8);
  out[5] = static_cast<uint8_t>(b);
}

}  // namespace qx
