#include "app/cli_stop.h"

#include <atomic>
#include <cstdio>

#include "aspi/transport_state.h"
#include "platform/os.h"

namespace qx::cli {

namespace {

// Only what a stop handler may touch: the request and the prepared line.
// Lock-free atomics, because the handler runs in signal context on POSIX
// systems and on a thread of its own on Windows.
std::atomic<int> g_stop{0};  // the request that asked, 0 for none
char g_ack[160];
std::atomic<int> g_ack_len{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStop(int code) {
  // The first request wins; a second one (Ctrl-C pressed again) says nothing more.
  int none = 0;
  if (!g_stop.compare_exchange_strong(none, code)) return;
  const int length = g_ack_len.load();
  if (length > 0) os::WriteToStderr(g_ack, static_cast<size_t>(length));
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
