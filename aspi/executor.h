// ExecScsiCmd: the one routine through which every SCSI command reaches the drive.
#pragma once

#include <cstdint>
#include <string>

#include "aspi/status_codes.h"
#include "aspi/transport_state.h"

namespace qx {

// Texts of the executor's two refusals (message box text and ErrMsg).
inline constexpr const char* kAspiNotFound = "ASPI Manager Not Found";
inline constexpr const char* kAspiErrorTitle = "ASPI Error";
inline constexpr const char* kSetTargetText = "Set Target's ID or Host Adapter";
inline constexpr const char* kSetTargetTitle = "ASPI Setting Error";

// Result codes beyond the request statuses.
inline constexpr int16_t kResultRefused = 0;
// A call whose lengths would run past DataBuf or the CDB is not submitted and
// ends with this code ("Invalid parameter set in SRB").
inline constexpr int16_t kResultInvalidParameter = SS_INVALID_SRB;
// Host adapter status recorded when a request does not complete within
// ExecTimeout ("While Processing the SRB, the adapter timed out.").
inline constexpr uint8_t kHaStatTimeout = HASTAT_COMMAND_TIMEOUT;

// Sends one command to SelectedHaId/SelectedTargetId/SelectedLun and waits for it.
// Returns 0 (refused, box shown), 1 (success) or the failed request's status, with
// the reason in ErrMsg. DataLen bytes of DataBuf carry the data phase.
int16_t ExecScsiCmd(const std::string& CmdName, const int32_t& DataLen, const Cdb& CDB,
                    const uint8_t& CDBLen);

}  // namespace qx
