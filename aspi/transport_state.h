// Process-wide transport state shared by the command executor, the command
// builders and their callers.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace qx {

inline constexpr int32_t kDataBufSize = 37857;
inline constexpr size_t kCdbSize = 16;
using Cdb = std::array<uint8_t, kCdbSize>;

// Transfer buffer of every command; each data phase starts at index 0.
extern std::array<uint8_t, kDataBufSize> DataBuf;
extern int32_t XferLen;  // transfer length the last builder set
extern uint8_t CDBSize;  // CDB length the last builder set
extern int16_t LastHaStat;
extern int16_t SenseASC;
extern int16_t SenseASCQ;
extern int16_t SenseByte19;
extern std::array<uint8_t, 256> SenseData;  // sense area of the last CHECK CONDITION
extern std::string ErrMsg;                  // text of the last failure
extern float TraceOn;                       // the trace is written only while it equals 1

// The current target of every command; a value above 7 means "not chosen".
inline constexpr uint8_t kNotChosen = 50;
inline constexpr uint8_t kNothingFound = 10;
extern uint8_t SelectedHaId;
extern uint8_t SelectedTargetId;
extern uint8_t SelectedLun;

// How long the executor waits for a submitted request before it gives up.
// Generous by default: a drive may take long to program its flash.
inline constexpr std::chrono::milliseconds kDefaultExecTimeout{300'000};
extern std::chrono::milliseconds ExecTimeout;

// Puts every item above back to its start-up value.
void ResetTransportState();

}  // namespace qx
