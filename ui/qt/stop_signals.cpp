#include "ui/qt/stop_signals.h"

#include "platform/os.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace qx::qt {

namespace {

// The write end of the pipe of the one installed notifier, -1 when none is.
// The only state the handler touches; a signal handler has no other way in.
std::atomic<int> g_stop_pipe{-1};

extern "C" void OnStopSignal(int signal_number) {
  const int saved_errno = errno;
  const int fd = g_stop_pipe.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    // A full pipe already holds a pending stop; nothing is lost by dropping this.
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved_errno;
}

}  // namespace

StopSignalNotifier::StopSignalNotifier(QObject* parent) : QObject(parent) {
  if (g_stop_pipe.load() >= 0) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  g_stop_pipe.store(write_fd_);

  notifier_ = new QSocketNotifier(read_fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });

  os::HandleStops(os::StopSet::kSessionEnd, OnStopSignal);
}

StopSignalNotifier::~StopSignalNotifier() {
  if (!Installed()) return;
  os::RestoreStops();
  g_stop_pipe.store(-1);
  delete notifier_;
  ::close(read_fd_);
  ::close(write_fd_);
}

void StopSignalNotifier::Drain() {
  unsigned char bytes[16];
  ssize_t n;
  int last = 0;
  while ((n = ::read(read_fd_, bytes, sizeof bytes)) > 0) last = bytes[n - 1];
  if (last != 0) emit stopRequested(last);
}

}  // namespace qx::qt
