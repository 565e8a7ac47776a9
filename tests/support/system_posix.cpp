#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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

}  // namespace qx::test
