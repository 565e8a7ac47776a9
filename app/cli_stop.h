// Stop requests on the command line. While blocks may go out, Ctrl-C and the
// other stop requests (termination, the terminal closed, a reader gone) only
// ask for an abort: the command in flight completes and the next block is not
// sent. The request is acknowledged at once on stderr. Outside that window
// every request keeps its usual action.
#pragma once

#include <string>

namespace qx::cli {

// Starts (true) or ends (false) catching stop requests.
void CatchStops(bool catching);
// The first stop request since catching started, 0 for none.
int PendingStop();
// Why a download stopped for `code`, for the line on stderr: "aborted" for
// Ctrl-C, "stopped by signal Terminated" and the like otherwise.
std::string StopReason(int code);

}  // namespace qx::cli
