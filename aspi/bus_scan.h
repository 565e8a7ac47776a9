// The host adapter inquiry of the bus scan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "aspi/srb.h"

namespace qx {

// What a bus scan found, in the order of the two lists.
struct ScannedTarget {
  int id = 0;
  std::string item;     // its ComboID entry, "N:PRODUCT"
  std::string caption;  // the firmware version caption its INQUIRY data gives
  std::string vendor;   // INQUIRY bytes 8-15
  std::string address = {};  // where the transport says the device lives (e.g. H:C:T:L)
  std::string node = {};     // and its device node (e.g. /dev/sg3); both may be empty
};
struct ScannedAdapter {
  int ha = 0;
  std::string item;  // its ComboHA entry, "N:IDENTIFIER"
  std::vector<ScannedTarget> targets;
};
struct ScanResult {
  bool answered = false;  // an ASPI manager answered (else the scan showed its box)
  std::string transport;  // the manager's name
  uint8_t lun = 0;        // the LUN every target was asked at
  std::vector<ScannedAdapter> adapters;
  // The target at adapter `ha`, ID `id`, or null when the scan did not list it.
  const ScannedTarget* Find(int ha, int id) const;
};

// Refills `srb` for adapter `ha` (the three 16-byte text areas are left as they
// are), submits it and returns the submission result; AspiStatus receives it.
int16_t HaInquiry(SRB_HAInquiry& srb, uint8_t ha);

// A 16-byte text area as text: one character per byte, ending at the first zero.
std::string SrbText(const uint8_t (&area)[16]);

// The trace lines of one adapter's inquiry.
void TraceHaInquiry(const SRB_HAInquiry& srb, uint8_t ha);

}  // namespace qx
