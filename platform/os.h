// The operating-system seam: the few calls that differ between Linux and
// Windows, behind plain functions. Everything above platform/ reaches the
// system only through here (and through the transports, which are system
// specific by nature). One implementation file per system: os_posix.cpp,
// os_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace qx::os {

// ---------------------------------------------------------------------------
// Stop requests: what asks a running program to stop from outside. On POSIX
// systems these are the signals SIGINT (Ctrl-C), SIGTERM, SIGHUP (the terminal
// closed), SIGQUIT and SIGPIPE (a reader went away); on Windows the console
// events (Ctrl-C, Ctrl-Break, the console window closed, log-off, shutdown).
// A request is named by a code that is not 0.

// Which requests a handler takes: every one (the command line while blocks may
// go out; a blocked read or write then returns at once), or only those that
// end the session (a window: termination, the terminal or console gone,
// log-off, shutdown; the event loop goes on undisturbed).
enum class StopSet { kAll, kSessionEnd };

// Runs in signal context on POSIX systems and on a thread of its own on
// Windows: it may only store into a std::sig_atomic_t or a lock-free atomic and
// call WriteToStderr.
using StopHandler = void (*)(int code);

// Routes the requests of `set` to `handler` (replacing any handler given
// before). A hang-up that was ignored when the program started (under nohup)
// stays ignored.
void HandleStops(StopSet set, StopHandler handler);
// Gives every request its previous action again.
void RestoreStops();
// True for the operator's own interrupt (Ctrl-C).
bool IsInterrupt(int code);
// The request in words ("signal Terminated", "signal Hangup", "Ctrl-Break", ...).
std::string StopName(int code);

// Starts a thread to which stop requests are never delivered (they go to the
// other threads): a worker whose system call must never be interrupted.
// Throws std::system_error when no thread can be started.
std::thread StartThreadWithoutStops(std::function<void()> body);

// Writes to the standard error stream with a single system call; usable from a
// StopHandler.
void WriteToStderr(const char* text, size_t length);

// Whether standard input / standard error is an interactive terminal.
bool StdinIsTerminal();
bool StderrIsTerminal();

// ---------------------------------------------------------------------------
// Files.

// The per-user directory for qxflash's state (the download history):
// $XDG_STATE_HOME/qxflash, else ~/.local/state/qxflash on POSIX systems;
// %LOCALAPPDATA%\qxflash on Windows. Empty when the environment names none.
std::string StateDirectory();
// `dir` and `name` joined with the system's directory separator.
std::string JoinPath(const std::string& dir, const std::string& name);

// Appends `line` (which ends in a line end) to the regular file `path` with one
// write that cannot interleave with another writer's, creating the file and
// its directory when missing. When the file does not end in a line end (a torn
// earlier write), a line end goes first, so the new line always starts a line
// of its own. With `durable` the data reaches the disk before the call returns.
// Anything but a regular file (a FIFO, a device, a directory) is refused
// without waiting.
struct FileWrite {
  enum class Status { kOk, kCannotOpen, kNotRegular, kCannotWrite, kCannotFlush };
  Status status = Status::kOk;
  std::string reason;  // the system's words, where it gave some
  bool ok() const { return status == Status::kOk; }
};
FileWrite AppendLine(const std::string& path, std::string_view line, bool durable);

// Reads the whole regular file `path` without waiting for a FIFO or a device
// to deliver (anything but a regular file is refused before a byte is read).
struct FileRead {
  enum class Status { kOk, kMissing, kCannotOpen, kNotRegular, kTooLarge, kCannotRead };
  Status status = Status::kOk;
  std::string text;    // kOk: the content
  std::string reason;  // kCannotOpen, kCannotRead: the system's words ("Permission denied")
  bool ok() const { return status == Status::kOk; }
};
FileRead ReadRegularFile(const std::string& path, uint64_t max_bytes);

// ---------------------------------------------------------------------------
// Time.

// The current time in UTC as ISO 8601 with seconds ("2026-12-08T22:45:44Z").
std::string UtcNow();

}  // namespace qx::os
