#include "download/write_buffer.h"

#include "aspi/opcodes.h"
#include "aspi/transport_state.h"
#include "commands/builder.h"
#include "commands/commands.h"

namespace qx {

std::string WriteBufferName(uint8_t bufferId) {
  return "WriteBuffer  " + std::to_string(bufferId) + " ";
}

int16_t WriteBuffer(int32_t offset, int32_t length, uint8_t mode, uint8_t bufferId) {
  const int16_t result = RunCommand(WriteBufferName(bufferId), [=](Cdb& cdb) {
    uint8_t addr[6];
    AddrPairToBytes(offset, length, addr);
    cdb[0] = op::kWriteBuffer;
    cdb[1] = mode;
    cdb[2] = bufferId;
    for (int i = 0; i < 6; ++i) cdb[3 + i] = addr[i];
    XferLen = length;
    CDBSize = 10;
  });
  if (SenseASC == 0x24 && SenseASCQ == 0x90) ErrMsg = kCustomizingCodeText;
  if (SenseASC == 0x24 && SenseASCQ == 0x91) ErrMsg = kRpcModeText;
  return result;
}

}  // namespace qx
