// The operating-system seam: the few calls that differ between Linux and
// Windows, behind plain functions. Everything above platform/ reaches the
// system only through here (and through the transports, which are system
// specific by nature). One implementation file per system: os_posix.cpp,
// os_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qx::os {

// ---------------------------------------------------------------------------
// The program's arguments after its name, as UTF-8 text. On Windows they come
// from the system's wide command line, because argv holds them in the ANSI
// code page, which cannot carry every name; elsewhere they are argv's bytes.
std::vector<std::string> ProgramArguments(int argc, char** argv);

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
// Windows (the system starts one per console event): it may only store into a
// lock-free atomic and call WriteToStderr.
using StopHandler = void (*)(int code);

// Routes the requests of `set` to `handler` (replacing any handler given
// before). A hang-up that was ignored when the program started (under nohup)
// stays ignored.
//
// On Windows, Ctrl-C and Ctrl-Break reach the handler and the program goes on.
// After a session-end request (console window closed, log-off, shutdown) the
// system ends the process as soon as the handler returns, so the thread the
// request came on waits after calling the handler: the program finishes the
// command in flight, says so and exits on its own, which ends the wait. The
// system allows that much time and no more (5 s after a close, 20 s at log-off
// and shutdown, the Windows limits); the wait ends there at the latest, and
// the process with it. Ctrl-C that was disabled when the program started (a
// new process group) stays disabled. A process without a console (a window
// program) gets no console events; log-off and shutdown come to its windows.
void HandleStops(StopSet set, StopHandler handler);
// Gives every request its previous action again (a session-end request whose
// handler is waiting keeps waiting for the program's exit).
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

// Makes the console show the program's UTF-8 text as such: on Windows the
// console's output code page becomes UTF-8 until the program exits; nothing
// to do on POSIX systems, where the terminal takes the bytes as they are.
void PrepareConsole();

// ---------------------------------------------------------------------------
// Files.

// Paths are UTF-8 text everywhere in the program. These convert them to and
// from std::filesystem::path, whose narrow strings are the ANSI code page on
// Windows (the system's wide strings are UTF-16); on POSIX systems the bytes
// stay as they are.
std::filesystem::path PathFromUtf8(const std::string& path);
std::string Utf8FromPath(const std::filesystem::path& path);

// The per-user directory for qxflash's state (the download history):
// $XDG_STATE_HOME/qxflash, else ~/.local/state/qxflash on POSIX systems;
// %LOCALAPPDATA%\qxflash, else the shell's local application data folder, on
// Windows. Empty when neither names one.
std::string StateDirectory();
// Why StateDirectory() is empty, in words ("neither XDG_STATE_HOME nor HOME is set").
std::string NoStateDirectoryReason();
// `dir` and `name` joined with the system's directory separator (a `dir`
// that already ends in a separator gets none; Windows takes '/' as one too).
std::string JoinPath(const std::string& dir, const std::string& name);

// Appends `line` (which ends in a line end) to the regular file `path` with one
// write that cannot interleave with another writer's, creating the file and
// its directory when missing. When the file does not end in a line end (a torn
// earlier write), a line end goes first, so the new line always starts a line
// of its own. With `durable` the data reaches the disk before the call returns.
// Anything but a regular file (a FIFO, a device, a directory) is refused
// without waiting. A line that could not be written whole (a full disk) or
// not flushed is cut off again: the file ends where it ended before, unless
// another writer appended meanwhile (then `torn` says a part of it stayed).
struct FileWrite {
  enum class Status { kOk, kCannotOpen, kNotRegular, kCannotWrite, kCannotFlush };
  Status status = Status::kOk;
  std::string reason;  // the system's words, where it gave some
  bool torn = false;   // kCannotWrite, kCannotFlush: a part of the line is left in the file
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

// A lock on a file that this process holds while the object lives. The
// system lets go of it when the process ends, however it ends (killed, a
// crash), so that another process can tell a job that still runs from one
// that died. Not passed on to child processes. The object's end lets go of
// the lock and removes the file.
class HeldLock {
 public:
  virtual ~HeldLock() = default;
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 protected:
  HeldLock() = default;
};
// Creates the file `path` (and its directory) and locks it for this
// process; nullptr with *error (the system's words) when it cannot.
std::unique_ptr<HeldLock> HoldLock(const std::string& path, std::string* error);
// Whether a live process (this one included) holds the lock on `path`;
// false when there is no such file or it cannot be asked. Never waits.
bool LockHeld(const std::string& path);

// ---------------------------------------------------------------------------
// Processes and time.

// The number the system knows this process by.
int64_t ProcessId();

// The current time in UTC as ISO 8601 with seconds ("2026-12-08T22:45:44Z").
std::string UtcNow();

}  // namespace qx::os
