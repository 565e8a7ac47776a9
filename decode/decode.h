// Status and sense message lookups: pure functions from the codes a failed SCSI
// request leaves behind to one-line English texts. They read nothing but their
// arguments and keep no state; every argument value yields a non-empty text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/text.h"

namespace qx {

// Text for an ASPI request status / submission result. The comparison is numeric
// on the 16-bit value, so a negative code never matches a row (-1 gives
// "FF:Unknown SRB Status"). Unknown codes: Hex2(code) + ":Unknown SRB Status".
std::string SrbStatusMsg(int16_t code);

// Text for a host-adapter status byte (SRB_HaStat).
// Unknown codes: Hex2(status) + ":Unknown Host Adapter Status".
std::string HaStatusMsg(uint8_t status);

// Text for a SCSI target status byte (SRB_TargStat). GOOD, CHECK CONDITION and
// CONDITION MET have no row of their own.
// Unknown codes: Hex2(status) + ":Unknown Target Status !".
std::string TargetStatusMsg(uint8_t status);

// Description of CHECK CONDITION sense data: " " + HH(asc) + "(" + HH(ascq) + ")" +
// HH(driveCode) + ":" + text, with HH = HexCode2. For asc 0x80 the text comes from
// the drive's own error codes (keyed by driveCode, sense byte 19); otherwise from
// the additional sense codes (keyed by asc, and by ascq in rows that list
// qualifiers). Values are expected to be bytes (0-255); a negative value shows the
// HH of its low 8 bits and matches no row.
std::string SenseMsg(int16_t asc, int16_t ascq, int16_t driveCode);

// The peripheral device type of INQUIRY byte 0 (its low five bits) in words:
// 0 "disk", 5 "CD/DVD drive", ...; "device of unknown type" for types with no name.
std::string_view DeviceTypeName(uint8_t type);

}  // namespace qx
