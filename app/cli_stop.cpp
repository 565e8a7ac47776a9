#include "app/cli_stop.h"

#include <csignal>
#include <cstdio>

#include "aspi/transport_state.h"
#include "platform/os.h"

namespace qx::cli {

namespace {

// Only what a stop handler may touch: the request and the prepared line.
volatile std::sig_atomic_t g_stop = 0;  // the request that asked, 0 for none
char g_ack[160];
volatile std::sig_atomic_t g_ack_len = 0;

extern "C" void OnStop(int code) {
  if (g_stop != 0) return;
  g_stop = code;
  if (g_ack_len > 0) os::WriteToStderr(g_ack, static_cast<size_t>(g_ack_len));
}

}  // namespace

void CatchStops(bool catching) {
  if (!catching) {
    os::RestoreStops();
    return;
  }
  g_stop = 0;
  const long long s = (ExecTimeout.count() + 999) / 1000;
  g_ack_len = std::snprintf(
      g_ack, sizeof g_ack,
      "\nAbort requested: the drive finishes the current command first (at most %lld s)\n", s);
  os::HandleStops(os::StopSet::kAll, OnStop);
}

int PendingStop() {
  return g_stop;
}

std::string StopReason(int code) {
  if (code == 0 || os::IsInterrupt(code)) return "aborted";
  return "stopped by " + os::StopName(code);
}

}  // namespace qx::cli
