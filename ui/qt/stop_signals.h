// The requests that end a session (SIGTERM and SIGHUP: logout, system
// shutdown, `kill`, the terminal closed) as a Qt signal on the window thread. The handler only writes the signal number into a pipe (the
// self-pipe pattern: write() is async-signal-safe); a QSocketNotifier on the
// other end emits stopRequested from the event loop, from the executor's
// keep-alive processing and from the download's once-per-block event
// processing alike.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace qx::qt {

class StopSignalNotifier final : public QObject {
  Q_OBJECT

 public:
  // Installs the handlers. Only one notifier may exist at a time (a signal
  // handler can reach nothing but process-wide state); a second one does not
  // install anything and Installed() is false for it.
  explicit StopSignalNotifier(QObject* parent = nullptr);
  // Restores the handlers that were there before.
  ~StopSignalNotifier() override;
  StopSignalNotifier(const StopSignalNotifier&) = delete;
  StopSignalNotifier& operator=(const StopSignalNotifier&) = delete;

  bool Installed() const { return read_fd_ >= 0; }
  // Emits stopRequested now for a signal that arrived, without waiting for the
  // event loop to notice the pipe (the download asks between commands).
  void Drain();

 signals:
  void stopRequested(int signal_number);

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace qx::qt
