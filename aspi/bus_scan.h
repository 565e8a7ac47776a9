// The host adapter inquiry of the bus scan.
#pragma once

#include <cstdint>
#include <string>

#include "aspi/srb.h"

namespace qx {

// Refills `srb` for adapter `ha` (the three 16-byte text areas are left as they
// are), submits it and returns the submission result; AspiStatus receives it.
int16_t HaInquiry(SRB_HAInquiry& srb, uint8_t ha);

// A 16-byte text area as text: one character per byte, ending at the first zero.
std::string SrbText(const uint8_t (&area)[16]);

// The trace lines of one adapter's inquiry.
void TraceHaInquiry(const SRB_HAInquiry& srb, uint8_t ha);

}  // namespace qx
