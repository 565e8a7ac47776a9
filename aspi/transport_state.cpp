#include "aspi/transport_state.h"

#include "aspi/recorder.h"

namespace qx {

std::array<uint8_t, kDataBufSize> DataBuf{};
int32_t XferLen = 0;
uint8_t CDBSize = 0;
int16_t LastHaStat = 0;
int16_t SenseASC = 0;
int16_t SenseASCQ = 0;
int16_t SenseByte19 = 0;
std::array<uint8_t, 256> SenseData{};
std::string ErrMsg;
float TraceOn = 0;
uint8_t SelectedHaId = kNotChosen;
uint8_t SelectedTargetId = kNotChosen;
uint8_t SelectedLun = 0;
std::chrono::milliseconds ExecTimeout = kDefaultExecTimeout;

void ResetTransportState() {
  DataBuf.fill(0);
  XferLen = 0;
  CDBSize = 0;
  LastHaStat = 0;
  SenseASC = 0;
  SenseASCQ = 0;
  SenseByte19 = 0;
  SenseData.fill(0);
  ErrMsg.clear();
  TraceOn = 0;
  InstallCommandRecorder(nullptr);
  SelectedHaId = kNotChosen;
  SelectedTargetId = kNotChosen;
  SelectedLun = 0;
  ExecTimeout = kDefaultExecTimeout;
}

}  // namespace qx
