// An execute request as the pass-through bus hands it to a device's node: the
// CDB, the transfer length, the data direction the bus takes from the command
// and the timeout, for the tests of each system's device layer.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "aspi/exec_queue.h"

namespace qx::testing {

inline ExecCommand CommandFor(const std::vector<uint8_t>& cdb, uint32_t length,
                              std::chrono::milliseconds timeout = std::chrono::minutes(5)) {
  ExecCommand c;
  std::copy(cdb.begin(), cdb.end(), c.cdb.begin());
  c.cdb_len = static_cast<uint8_t>(cdb.size());
  c.length = length;
  c.direction = DataDirection(cdb, length);
  c.timeout = timeout;
  return c;
}

}  // namespace qx::testing
