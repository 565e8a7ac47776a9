#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/system.h"

namespace qx::test {

unsigned long ProcessId() {
  return static_cast<unsigned long>(getpid());
}

size_t OpenFiles() {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

bool HasFifos() {
  return true;
}

bool MakeFifo(const std::filesystem::path& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}

void SetStateHome(const std::filesystem::path& dir) {
  setenv("XDG_STATE_HOME", dir.c_str(), 1);
}

void UnsetStateHome() {
  unsetenv("XDG_STATE_HOME");
}

namespace {
std::string g_home;
bool g_home_set = false;
}  // namespace

bool ForgetStateDirectory() {
  unsetenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  g_home_set = home != nullptr;
  g_home = home ? home : "";
  unsetenv("HOME");
  return true;
}

void RestoreStateDirectory() {
  if (g_home_set) setenv("HOME", g_home.c_str(), 1);
}

bool LinkToDevice(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_symlink("/dev/zero", path, ec);
  return !ec;
}

bool StopSignalsBlocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    if (sigismember(&mask, sig) != 1) return false;
  }
  return true;
}

}  // namespace qx::test
