// The steps every command builder shares: trace list cleared at the start
// while tracing, a fresh all-zero CDB, and the reissue after a unit attention.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "aspi/transport_state.h"

namespace qx {

// Unit-attention style sense codes that make a builder send its command again.
inline constexpr int16_t kAscMediumMayHaveChanged = 0x28;
inline constexpr int16_t kAscPowerOnOrReset = 0x29;
// At most this many reissues follow the first attempt.
inline constexpr int kMaxReissues = 8;

// Fills the command's CDB bytes and sets XferLen and CDBSize. Called again at
// every reissue with the same fresh CDB.
using CdbFiller = std::function<void(Cdb& cdb)>;

// Runs a builder: returns the result of the last ExecScsiCmd call.
int16_t RunCommand(const std::string& cmdName, const CdbFiller& fill);

}  // namespace qx
