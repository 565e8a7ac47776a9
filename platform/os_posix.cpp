// The OS seam on POSIX systems (Linux).
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/os.h"

namespace qx::os {

namespace {

// The one list of stop signals: which of them end a session, and which stay
// ignored when the program started with them ignored (nohup ignores SIGHUP so
// that a closed terminal does not stop the program; a shell's background job
// ignores SIGINT only against the terminal's Ctrl-C, and an explicit kill -INT
// still asks for a stop).
struct StopSignal {
  int number;
  bool session_end;
  bool keep_ignored;
};
constexpr std::array<StopSignal, 5> kStopSignals{{
    {SIGINT, false, false},
    {SIGTERM, true, false},
    {SIGHUP, true, true},
    {SIGQUIT, false, false},
    {SIGPIPE, false, false},
}};

// Actions in place before HandleStops took the signal, to give back.
struct Saved {
  bool taken = false;
  struct sigaction action {};
};
std::array<Saved, kStopSignals.size()> g_saved;

std::string ErrnoText(int err) {
  return err == 0 ? std::string() : std::generic_category().message(err);
}

// Takes the last `written` bytes this descriptor appended off the file
// again, provided nobody appended after them; whether the file ends where it
// did before.
bool CutBack(int fd, size_t written) {
  if (written == 0) return true;
  const off_t end = ::lseek(fd, 0, SEEK_CUR);  // after our last byte (O_APPEND)
  struct stat st {};
  if (end < 0 || ::fstat(fd, &st) != 0 || st.st_size != end) return false;
  return ::ftruncate(fd, end - static_cast<off_t>(written)) == 0;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void HandleStops(StopSet set, StopHandler handler) {
  for (size_t i = 0; i < kStopSignals.size(); ++i) {
    const StopSignal& s = kStopSignals[i];
    if (set == StopSet::kSessionEnd && !s.session_end) continue;
    struct sigaction current {};
    sigaction(s.number, nullptr, &current);
    if (!g_saved[i].taken) {
      if (s.keep_ignored && current.sa_handler == SIG_IGN) continue;
      g_saved[i].action = current;
      g_saved[i].taken = true;
    }
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // While blocks go out a blocked read or write must return at once (no
    // SA_RESTART); a window's event loop just goes on.
    sa.sa_flags = set == StopSet::kSessionEnd ? SA_RESTART : 0;
    sigaction(s.number, &sa, nullptr);
  }
}

void RestoreStops() {
  for (size_t i = 0; i < kStopSignals.size(); ++i) {
    if (!g_saved[i].taken) continue;
    sigaction(kStopSignals[i].number, &g_saved[i].action, nullptr);
    g_saved[i].taken = false;
  }
}

bool IsInterrupt(int code) {
  return code == SIGINT;
}

std::string StopName(int code) {
  const char* name = ::strsignal(code);
  return "signal " + (name ? std::string(name) : std::to_string(code));
}

std::thread StartThreadWithoutStops(std::function<void()> body) {
  // A new thread inherits the signal mask of the thread that starts it.
  sigset_t stops, old;
  sigemptyset(&stops);
  for (const StopSignal& s : kStopSignals) sigaddset(&stops, s.number);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  struct Restore {
    sigset_t* old;
    ~Restore() { pthread_sigmask(SIG_SETMASK, old, nullptr); }
  } restore{&old};
  return std::thread(std::move(body));
}

void WriteToStderr(const char* text, size_t length) {
  const int saved = errno;
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, length);
  errno = saved;
}

bool StdinIsTerminal() {
  return ::isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

void PrepareConsole() {}

std::filesystem::path PathFromUtf8(const std::string& path) {
  return std::filesystem::path(path);
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return path.string();
}

std::string StateDirectory() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/qxflash";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.local/state/qxflash";
  return {};
}

std::string NoStateDirectoryReason() {
  return "neither XDG_STATE_HOME nor HOME is set";
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

FileWrite AppendLine(const std::string& path, std::string_view line, bool durable) {
  using Status = FileWrite::Status;
  FileWrite w;
  auto fail = [&w](Status status, int err) {
    w.status = status;
    w.reason = ErrnoText(err);
    return w;
  };
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  // Without waiting: a FIFO in the file's place must not hang the program.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    // A FIFO without a reader refuses a non-blocking open for writing.
    if (errno == ENXIO) return fail(Status::kNotRegular, errno);
    return fail(Status::kCannotOpen, errno);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(Status::kCannotOpen, errno);
  if (!S_ISREG(st.st_mode)) return fail(Status::kNotRegular, 0);
  std::string text;
  if (st.st_size > 0) {
    // A torn earlier write leaves a last line without its end: start afresh.
    const int rfd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    char last = '\n';
    if (rfd >= 0) {
      if (::pread(rfd, &last, 1, st.st_size - 1) != 1) last = '\n';
      ::close(rfd);
    }
    if (last != '\n') text += '\n';
  }
  text.append(line);
  // One write of the whole text: with O_APPEND it lands after every earlier
  // line, and a crash can tear only this one. A write cut short (the disk
  // filled up) goes on with the rest, which either fits or says why not.
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : ENOSPC;
      w.torn = !CutBack(fd, done);
      return fail(Status::kCannotWrite, err);
    }
    done += static_cast<size_t>(n);
  }
  if (durable && ::fsync(fd) != 0) {
    const int err = errno;
    w.torn = !CutBack(fd, done);
    return fail(Status::kCannotFlush, err);
  }
  return w;
}

FileRead ReadRegularFile(const std::string& path, uint64_t max_bytes) {
  using Status = FileRead::Status;
  FileRead r;
  auto fail = [&r](Status status, int err = 0) {
    r.status = status;
    if (err != 0) r.reason = ErrnoText(err);
    r.text.clear();
    return r;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const bool missing = errno == ENOENT || errno == ENOTDIR;
    return fail(missing ? Status::kMissing : Status::kCannotOpen, errno);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(Status::kCannotRead, errno);
  if (!S_ISREG(st.st_mode)) return fail(Status::kNotRegular);
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return fail(Status::kTooLarge);
  try {
    r.text.resize(static_cast<size_t>(st.st_size));
  } catch (const std::exception&) {
    return fail(Status::kCannotRead, ENOMEM);
  }
  size_t got = 0;
  while (got < r.text.size()) {
    const ssize_t n = ::read(fd, r.text.data() + got, r.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(Status::kCannotRead, errno);
    if (n == 0) break;  // shrank meanwhile
    got += static_cast<size_t>(n);
  }
  r.text.resize(got);
  return r;
}

namespace {

class FlockLock final : public HeldLock {
 public:
  FlockLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~FlockLock() override {
    // Removed while still locked, so that nobody sees the file unlocked
    // before it is gone.
    ::unlink(path_.c_str());
    ::close(fd_);
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

std::unique_ptr<HeldLock> HoldLock(const std::string& path, std::string* error) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  // flock: the lock belongs to this open file, which the system closes when
  // the process ends however it ends; O_CLOEXEC keeps it from a child.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (error != nullptr) *error = ErrnoText(errno);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
  return std::make_unique<FlockLock>(fd, path);
}

bool LockHeld(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);  // lets go of the shared lock, if it was taken
  return held;
}

int64_t ProcessId() {
  return ::getpid();
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace qx::os
