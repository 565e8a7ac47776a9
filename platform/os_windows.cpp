// The OS seam on Windows. Texts and paths are UTF-8 in the program; they are
// converted to UTF-16 for the system's wide (W) calls and back.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/os.h"

namespace qx::os {

namespace {

std::wstring Wide(std::string_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), n);
  return wide;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), n, nullptr, nullptr);
  return narrow;
}

// The system's words for error `err` ("Access is denied"), without the period
// and line end they come with, so that they read like strerror's.
std::string ErrorText(DWORD err) {
  if (err == 0) return {};
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::string text = n > 0 ? Narrow(std::wstring_view(buffer, n)) : std::string();
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "system error " + std::to_string(err) : text;
}

bool IsMissing(DWORD err) {
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

// Closes the handle it owns.
struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (ok()) CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};

// ---------------------------------------------------------------------------
// Console events.
//
// The code of a request is its console event plus one (CTRL_C_EVENT is 0).
// The system calls the routine on a thread it starts for the event, holding
// the lock of the process's list of routines; the answer TRUE keeps the
// process alive after Ctrl-C and Ctrl-Break, while after the session-end
// events the system ends the process once the routine returns, or when the
// grace time below has passed. The routine is registered once and stays:
// unregistering it would wait for that lock, which a routine waiting after a
// session-end event holds. Without a handler it passes every event on. A
// process started with Ctrl-C disabled (CREATE_NEW_PROCESS_GROUP) keeps it
// disabled: the system then calls no routine for Ctrl-C.
struct ConsoleEvent {
  DWORD event;
  bool session_end;
  const char* name;
  DWORD grace_ms;  // how long the system lets the process finish after the event
};
constexpr std::array<ConsoleEvent, 5> kConsoleEvents{{
    {CTRL_C_EVENT, false, "Ctrl-C", 0},
    {CTRL_BREAK_EVENT, false, "Ctrl-Break", 0},
    {CTRL_CLOSE_EVENT, true, "console window closed", 5000},
    {CTRL_LOGOFF_EVENT, true, "log-off", 20000},
    {CTRL_SHUTDOWN_EVENT, true, "shutdown", 20000},
}};

const ConsoleEvent* FindEvent(DWORD event) {
  for (const ConsoleEvent& e : kConsoleEvents) {
    if (e.event == event) return &e;
  }
  return nullptr;
}

// Read on the event threads, written by the program's own thread.
std::atomic<StopHandler> g_handler{nullptr};
std::atomic<bool> g_session_end_only{false};
static_assert(std::atomic<StopHandler>::is_always_lock_free);

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const ConsoleEvent* e = FindEvent(event);
  const StopHandler handler = g_handler.load();
  // FALSE passes the event on to the next routine, in the end the system's
  // own, which ends the process.
  if (e == nullptr || handler == nullptr) return FALSE;
  if (!e->session_end && g_session_end_only.load()) return FALSE;
  handler(static_cast<int>(event) + 1);
  // Returning now would end the process with the command in flight. The
  // program stops on its own and exits, which ends this thread too; the
  // system's grace time bounds the wait.
  if (e->session_end) Sleep(e->grace_ms);
  return TRUE;
}

UINT g_console_cp = 0;  // the console's output code page before PrepareConsole

void RestoreConsoleCp() {
  SetConsoleOutputCP(g_console_cp);
}

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// Takes the `written` bytes appended to `file` (of `before` bytes then) off
// it again, provided nobody appended after them; whether the file ends where
// it did before. The append handle may not set the end of the file: this
// opens one that may.
bool CutBack(const std::filesystem::path& file, LONGLONG before, DWORD written) {
  if (written == 0) return true;
  Handle h(CreateFileW(file.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER now{};
  if (!h.ok() || !GetFileSizeEx(h.h, &now) || now.QuadPart != before + written) return false;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = before;
  return SetFileInformationByHandle(h.h, FileEndOfFileInfo, &end, sizeof end) != 0;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide == nullptr) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::vector<std::string> args;
  for (int i = 1; i < n; ++i) args.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

void HandleStops(StopSet set, StopHandler handler) {
  g_session_end_only = set == StopSet::kSessionEnd;
  g_handler = handler;
  [[maybe_unused]] static const bool registered = SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RestoreStops() {
  g_handler = nullptr;  // the routine passes every event on to the system's
}

bool IsInterrupt(int code) {
  return code == static_cast<int>(CTRL_C_EVENT) + 1;
}

std::string StopName(int code) {
  if (code > 0) {
    if (const ConsoleEvent* e = FindEvent(static_cast<DWORD>(code - 1))) return e->name;
  }
  return "console event " + std::to_string(code - 1);
}

std::thread StartThreadWithoutStops(std::function<void()> body) {
  // Console events come on threads of their own; no thread is interrupted.
  return std::thread(std::move(body));
}

void WriteToStderr(const char* text, size_t length) {
  const DWORD saved = GetLastError();
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) {
    // Line ends as the C runtime's text streams write them (CR LF), in one
    // write for any text that fits the buffer.
    char buffer[1024];
    DWORD used = 0, written = 0;
    for (size_t i = 0; i < length; ++i) {
      if (used + 2 > sizeof buffer) {
        WriteFile(err, buffer, used, &written, nullptr);
        used = 0;
      }
      if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) buffer[used++] = '\r';
      buffer[used++] = text[i];
    }
    if (used > 0) WriteFile(err, buffer, used, &written, nullptr);
  }
  SetLastError(saved);
}

bool StdinIsTerminal() {
  return IsConsole(STD_INPUT_HANDLE);
}

bool StderrIsTerminal() {
  return IsConsole(STD_ERROR_HANDLE);
}

void PrepareConsole() {
  if (g_console_cp != 0) return;
  const UINT cp = GetConsoleOutputCP();  // 0: no console
  if (cp == 0 || cp == CP_UTF8) return;
  if (SetConsoleOutputCP(CP_UTF8)) {
    g_console_cp = cp;
    std::atexit(RestoreConsoleCp);
  }
}

// ---------------------------------------------------------------------------
// Files.

std::filesystem::path PathFromUtf8(const std::string& path) {
  return std::filesystem::path(Wide(path));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return Narrow(path.native());
}

std::string StateDirectory() {
  // The environment first, as on POSIX systems, so that a test or a portable
  // setup can point it elsewhere; else the folder the shell knows.
  std::wstring env(MAX_PATH, L'\0');
  DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", env.data(), MAX_PATH);
  if (n >= MAX_PATH) {
    env.resize(n);
    n = GetEnvironmentVariableW(L"LOCALAPPDATA", env.data(), n);
  }
  if (n > 0 && n < env.size()) {
    env.resize(n);
    if (std::filesystem::path(env).is_absolute()) return JoinPath(Narrow(env), "qxflash");
  }
  PWSTR known = nullptr;
  std::string dir;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &known))) {
    dir = Narrow(known);
  }
  CoTaskMemFree(known);
  return dir.empty() ? dir : JoinPath(dir, "qxflash");
}

std::string NoStateDirectoryReason() {
  return "LOCALAPPDATA is not set and the system names no local application data folder";
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '\\' || dir.back() == '/') return dir + name;
  return dir + "\\" + name;
}

FileWrite AppendLine(const std::string& path, std::string_view line, bool durable) {
  using Status = FileWrite::Status;
  FileWrite w;
  auto fail = [&w](Status status, DWORD err) {
    w.status = status;
    w.reason = ErrorText(err);
    return w;
  };
  const std::filesystem::path file = PathFromUtf8(path);
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  // Append access without write access: the system puts every write at the
  // end of the file as one piece, whoever else appends at the same time.
  Handle out(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.ok()) return fail(Status::kCannotOpen, GetLastError());
  // A device (CON, NUL, a serial port) or a pipe is not a file to append to.
  if (GetFileType(out.h) != FILE_TYPE_DISK) return fail(Status::kNotRegular, 0);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(out.h, &size)) return fail(Status::kCannotOpen, GetLastError());
  std::string text;
  if (size.QuadPart > 0) {
    // A torn earlier write leaves a last line without its end: start afresh.
    Handle in(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char last = '\n';
    if (in.ok()) {
      OVERLAPPED at{};
      const ULONGLONG offset = static_cast<ULONGLONG>(size.QuadPart - 1);
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD got = 0;
      if (!ReadFile(in.h, &last, 1, &got, &at) || got != 1) last = '\n';
    }
    if (last != '\n') text += '\n';
  }
  text.append(line);
  if (text.size() > MAXDWORD) return fail(Status::kCannotWrite, ERROR_INVALID_PARAMETER);
  // One write of the whole text: it lands after every earlier line, and a
  // crash can tear only this one.
  DWORD written = 0;
  const bool wrote =
      WriteFile(out.h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0;
  if (!wrote || written != text.size()) {
    const DWORD err = wrote ? ERROR_DISK_FULL : GetLastError();
    w.torn = !CutBack(file, size.QuadPart, written);
    return fail(Status::kCannotWrite, err);
  }
  if (durable && !FlushFileBuffers(out.h)) {
    const DWORD err = GetLastError();
    w.torn = !CutBack(file, size.QuadPart, written);
    return fail(Status::kCannotFlush, err);
  }
  return w;
}

FileRead ReadRegularFile(const std::string& path, uint64_t max_bytes) {
  using Status = FileRead::Status;
  FileRead r;
  auto fail = [&r](Status status, DWORD err = 0) {
    r.status = status;
    if (err != 0) r.reason = ErrorText(err);
    r.text.clear();
    return r;
  };
  const std::filesystem::path file = PathFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(Status::kNotRegular);
  }
  // Opening never waits, not even for a pipe; only reading could.
  Handle in(CreateFileW(file.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in.ok()) {
    const DWORD err = GetLastError();
    return fail(IsMissing(err) ? Status::kMissing : Status::kCannotOpen, err);
  }
  if (GetFileType(in.h) != FILE_TYPE_DISK) return fail(Status::kNotRegular);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(in.h, &size)) return fail(Status::kCannotRead, GetLastError());
  if (static_cast<uint64_t>(size.QuadPart) > max_bytes) return fail(Status::kTooLarge);
  try {
    r.text.resize(static_cast<size_t>(size.QuadPart));
  } catch (const std::exception&) {
    return fail(Status::kCannotRead, ERROR_NOT_ENOUGH_MEMORY);
  }
  size_t got = 0;
  while (got < r.text.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(r.text.size() - got, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(in.h, r.text.data() + got, want, &n, nullptr)) {
      return fail(Status::kCannotRead, GetLastError());
    }
    if (n == 0) break;  // shrank meanwhile
    got += n;
  }
  r.text.resize(got);
  return r;
}

// ---------------------------------------------------------------------------
// Locks.

namespace {

// The one byte locked; a lock may lie past the end of the file, which stays empty.
constexpr DWORD kLockOffset = 0;

class FileRangeLock final : public HeldLock {
 public:
  FileRangeLock(HANDLE h, std::filesystem::path path) : h_(h), path_(std::move(path)) {}
  ~FileRangeLock() override {
    OVERLAPPED at{};
    at.Offset = kLockOffset;
    UnlockFileEx(h_, 0, 1, 0, &at);
    CloseHandle(h_);
    DeleteFileW(path_.c_str());
  }

 private:
  HANDLE h_;
  std::filesystem::path path_;
};

}  // namespace

std::unique_ptr<HeldLock> HoldLock(const std::string& path, std::string* error) {
  const std::filesystem::path file = PathFromUtf8(path);
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  // The system lets go of a byte-range lock when the process ends; the
  // handle is not inherited by a child.
  const HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = ErrorText(GetLastError());
    return nullptr;
  }
  OVERLAPPED at{};
  at.Offset = kLockOffset;
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    if (error != nullptr) *error = ErrorText(GetLastError());
    CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<FileRangeLock>(h, file);
}

bool LockHeld(const std::string& path) {
  Handle h(CreateFileW(PathFromUtf8(path).c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.ok()) return false;
  OVERLAPPED at{};
  at.Offset = kLockOffset;
  if (LockFileEx(h.h, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    UnlockFileEx(h.h, 0, 1, 0, &at);
    return false;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION;
}

// ---------------------------------------------------------------------------
// Processes and time.

int64_t ProcessId() {
  return static_cast<int64_t>(GetCurrentProcessId());
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_s(&tm, &now);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

}  // namespace qx::os
