// qxflash.exe as a process on Windows: exit status and output, a release in a
// directory with a non-ASCII name, the download history, and the console
// control events that stop a download.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <gtest/gtest.h>
// clang-format on

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/version.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kReleases = std::string(QX_SOURCE_DIR) + "/examples/releases/";
const std::string kAll = kReleases + "QXR4410_ALL.OUB";

// A drive that takes 150 ms per command, so that a download runs for seconds.
constexpr const char* kSlowScenario = R"({"adapters": [{"ha": 0, "targets": [{"id": 2,
  "delay_ms": 150, "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10"}}]}],
  "completion": {"async": true, "delay_ms": 0}})";

// Whether this runs under wine, whose ntdll says so.
bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Text without the CR of the C runtime's line ends.
std::string Lines(std::string text) {
  std::erase(text, '\r');
  return text;
}

// qxflash.exe with standard input from NUL and its output into two pipes,
// read as it comes.
class Qxflash {
 public:
  explicit Qxflash(const std::vector<std::string>& args, DWORD flags = 0) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out_write = nullptr, err_write = nullptr;
    CreatePipe(&out_read_, &out_write, &inherit, 0);
    CreatePipe(&err_read_, &err_write, &inherit, 0);
    SetHandleInformation(out_read_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read_, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out_write;
    si.hStdError = err_write;
    std::wstring command = Quoted(QXFLASH_EXE);
    for (const auto& arg : args) command += L" " + Quoted(arg);
    started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                              nullptr, &si, &process_) != 0;
    CloseHandle(out_write);
    CloseHandle(err_write);
    CloseHandle(nul);
    out_reader_ = std::thread([this] { Drain(out_read_, out_, out_closed_); });
    err_reader_ = std::thread([this] { Drain(err_read_, err_, err_closed_); });
  }
  ~Qxflash() {
    if (started_ && Running()) TerminateProcess(process_.hProcess, 99);
    JoinReaders();
    CloseHandle(out_read_);
    CloseHandle(err_read_);
    if (started_) {
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }
  Qxflash(const Qxflash&) = delete;
  Qxflash& operator=(const Qxflash&) = delete;

  bool started() const { return started_; }
  DWORD pid() const { return process_.dwProcessId; }
  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  // Ends it at once, as the task manager does: nothing of it runs any more.
  void Kill() { TerminateProcess(process_.hProcess, 9); }

  // Waits until standard output (or error) holds `text`; false when the
  // process ended or `limit` passed first.
  bool WaitForOut(const std::string& text, std::chrono::milliseconds limit = 20s) {
    return WaitFor(out_, out_closed_, text, limit);
  }
  bool WaitForErr(const std::string& text, std::chrono::milliseconds limit = 20s) {
    return WaitFor(err_, err_closed_, text, limit);
  }
  // The exit status, once the process has ended, and all of its output.
  DWORD Wait() {
    if (WaitForSingleObject(process_.hProcess, 60000) == WAIT_OBJECT_0) JoinReaders();
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }
  std::string out() {
    std::lock_guard lock(mutex_);
    return Lines(out_);
  }
  std::string err() {
    std::lock_guard lock(mutex_);
    return Lines(err_);
  }

 private:
  void JoinReaders() {
    if (out_reader_.joinable()) out_reader_.join();
    if (err_reader_.joinable()) err_reader_.join();
  }
  static std::wstring Quoted(const std::string& arg) {
    return L"\"" + os::PathFromUtf8(arg).native() + L"\"";
  }
  void Drain(HANDLE pipe, std::string& text, bool& closed) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
      std::lock_guard lock(mutex_);
      text.append(buffer, n);
    }
    std::lock_guard lock(mutex_);
    closed = true;
  }
  // An ended process may still have output in the pipe: the text is complete
  // only once the pipe is closed.
  bool WaitFor(const std::string& text, const bool& closed, const std::string& want,
               std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      bool complete = false;
      {
        std::lock_guard lock(mutex_);
        if (Lines(text).find(want) != std::string::npos) return true;
        complete = closed;
      }
      if (complete || std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
  }

  bool started_ = false;
  PROCESS_INFORMATION process_{};
  HANDLE out_read_ = nullptr, err_read_ = nullptr;
  std::mutex mutex_;
  std::string out_, err_;
  bool out_closed_ = false, err_closed_ = false;
  std::thread out_reader_, err_reader_;
};

// A directory of its own for each test, also the download history's
// (LOCALAPPDATA, which qxflash.exe inherits), so that no test touches the
// user's own.
class WindowsProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("qxflash-process-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    wchar_t saved[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH);
    saved_ = n > 0 && n < MAX_PATH ? std::wstring(saved, n) : std::wstring();
    SetEnvironmentVariableW(L"LOCALAPPDATA", dir.c_str());
    std::ofstream(dir / "slow.json") << kSlowScenario;
    slow = "--sim=" + os::Utf8FromPath(dir / "slow.json");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"LOCALAPPDATA", saved_.empty() ? nullptr : saved_.c_str());
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  fs::path dir;
  std::string slow;

 private:
  std::wstring saved_;
};

TEST_F(WindowsProcess, ExitStatusAndOutput) {
  struct Case {
    std::vector<std::string> args;
    DWORD rc;
    std::string out, err;  // must appear
  };
  // Under wine on a machine without SCSI devices the pass-through finds none.
  const std::string no_devices = "qxflash: note: no SCSI devices found (tried \\\\.\\ScsiN:";
  // In this order: the history lists the download before it.
  const Case cases[] = {
      {{"--version"}, 0, "qxflash " + std::string(kProgramVersion) + " (Windows build)\n", ""},
      {{"--help"}, 0, "  --spti              the same as --drives", ""},
      {{"--help"},
       0,
       "  --drives            the drives on this machine (SCSI pass-through, SPTI)",
       ""},
      {{"--sim", "download", kAll, "--ha", "0", "--id", "2", "--yes"},
       0,
       "block 16 of 16 sent",
       ""},
      {{"history"}, 0, "QXR4410_ALL.OUB  done 16/16 blocks", ""},
      {{"--spti", "scan"}, 0, "No host adapter answered.", no_devices},
      {{"--drives", "scan"}, 0, "No host adapter answered.", no_devices},
      {{"--bogus"}, 2, "", "unknown option '--bogus'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    Qxflash qx(c.args);
    ASSERT_TRUE(qx.started()) << "cannot start " << QXFLASH_EXE;
    EXPECT_EQ(qx.Wait(), c.rc) << qx.out() << qx.err();
    qx.WaitForOut(c.out, 5s);
    EXPECT_NE(qx.out().find(c.out), std::string::npos) << qx.out();
    qx.WaitForErr(c.err, 5s);
    EXPECT_NE(qx.err().find(c.err), std::string::npos) << qx.err();
  }
  EXPECT_TRUE(fs::is_regular_file(dir / "qxflash" / "history.jsonl"));
}

// A release made on Windows: in a directory whose name is not ASCII, named on
// the command line with backslashes, and its image named R.BIN in capitals.
TEST_F(WindowsProcess, ReleaseInANonAsciiDirectory) {
  const fs::path home = dir / os::PathFromUtf8("J\xC3\xB6rg");
  fs::create_directories(home);
  fs::copy_file(os::PathFromUtf8(kReleases + "QXR4410_A0.OUB"), home / "R.OUB");
  fs::copy_file(os::PathFromUtf8(kReleases + "QXR4410_A0.bin"), home / "R.BIN");
  const std::string release = os::Utf8FromPath(home / "R.OUB");
  ASSERT_NE(release.find("\\J\xC3\xB6rg\\R.OUB"), std::string::npos) << release;
  {
    Qxflash qx({"check", release});
    EXPECT_EQ(qx.Wait(), 0u) << qx.out() << qx.err();
    EXPECT_TRUE(qx.WaitForOut("R.OUB: release is valid for QX-R4410")) << qx.out();
  }
  fs::remove(home / "R.BIN");
  {
    Qxflash qx({"check", release});
    EXPECT_EQ(qx.Wait(), 1u) << qx.out() << qx.err();
    const std::string image = os::Utf8FromPath(home / "R.bin");
    EXPECT_TRUE(qx.WaitForOut("Firmware image '" + image + "' not found")) << qx.out();
  }
}

// A download that runs is told apart from one that was killed: while it runs
// the history and a scan name its process and give no advice; once it is
// killed (TerminateProcess, as the task manager ends it) it is interrupted.
TEST_F(WindowsProcess, ADownloadInProgressIsNotTakenForAKilledOne) {
  Qxflash download({slow, "download", kAll, "--ha", "0", "--id", "2", "--yes"});
  ASSERT_TRUE(download.WaitForOut("block 2 of")) << download.out() << download.err();
  const std::string running = "in progress (process " + std::to_string(download.pid()) + ")";
  struct Case {
    bool killed;  // the download is killed before this case
    std::vector<std::string> args;
    std::string said, not_said;
  };
  const Case cases[] = {
      {false, {"history"}, "QXR4410_ALL.OUB  " + running + " ?/16 blocks", "Download the release"},
      {false, {slow, "scan"}, "QXR4410_ALL.OUB on ", "Download the release"},
      {false, {slow, "scan"}, " is " + running, "never reported its end"},
      {true, {"history"}, "interrupted ?/16 blocks", "in progress"},
      {true, {slow, "scan"}, "never reported its end", "in progress"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back() + (c.killed ? " after the kill" : " while it runs"));
    if (c.killed && download.Running()) {
      download.Kill();
      download.Wait();
    }
    Qxflash qx(c.args);
    EXPECT_EQ(qx.Wait(), 0u) << qx.out() << qx.err();
    EXPECT_NE(qx.out().find(c.said), std::string::npos) << qx.out();
    EXPECT_EQ(qx.out().find(c.not_said), std::string::npos) << qx.out();
  }
}

// Console control events need a console that this process shares with
// qxflash.exe; this process answers the events itself and goes on.
BOOL WINAPI KeepRunning(DWORD) {
  return TRUE;
}

class ConsoleEvents : public WindowsProcess {
 protected:
  void SetUp() override {
    WindowsProcess::SetUp();
    DWORD mode = 0;
    ASSERT_TRUE(GetConsoleWindow() != nullptr ||
                GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        << "no console to send events on (under wine: cmake/wine-run.sh --console)";
    SetConsoleCtrlHandler(KeepRunning, TRUE);
  }
  void TearDown() override {
    SetConsoleCtrlHandler(KeepRunning, FALSE);
    WindowsProcess::TearDown();
  }

  // A download on the slow drive, once its blocks flow.
  std::unique_ptr<Qxflash> StartDownload(DWORD flags) {
    auto qx = std::make_unique<Qxflash>(
        std::vector<std::string>{slow, "download", kAll, "--ha", "0", "--id", "2", "--yes"}, flags);
    EXPECT_TRUE(qx->WaitForOut("block 2 of")) << qx->out() << qx->err();
    return qx;
  }
  // The stop: acknowledged first, then the command in flight completes, the
  // next block is not sent, and the exit status is 1.
  static void ExpectStopped(Qxflash& qx, const std::string& why) {
    EXPECT_EQ(qx.Wait(), 1u) << qx.out() << qx.err();
    const std::string err = qx.err();
    const size_t ack =
        err.find("Abort requested: the drive finishes the current command first (at most 300 s)");
    const size_t stopped = err.find("qxflash: download " + why + " before block");
    EXPECT_NE(ack, std::string::npos) << err;
    EXPECT_NE(stopped, std::string::npos) << err;
    EXPECT_LT(ack, stopped) << err;
    EXPECT_EQ(qx.out().find("block 16 of"), std::string::npos) << qx.out();
  }
};

TEST_F(ConsoleEvents, CtrlCStopsTheDownloadBeforeTheNextCommand) {
  auto qx = StartDownload(0);
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  ExpectStopped(*qx, "aborted");
  EXPECT_NE(qx->out().find("Abort By User"), std::string::npos) << qx->out();
}

TEST_F(ConsoleEvents, CtrlBreakStopsTheDownloadBeforeTheNextCommand) {
  // Ctrl-Break goes to the process group of qxflash.exe alone.
  auto qx = StartDownload(CREATE_NEW_PROCESS_GROUP);
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, qx->pid())) {
    GTEST_SKIP() << "this system sends no Ctrl-Break to a process group (error " << GetLastError()
                 << "; wine 8 sends Ctrl-C only)";
  }
  ExpectStopped(*qx, "stopped by Ctrl-Break");
}

// Outside a download Ctrl-C has the system's own action: the process ends at
// once with STATUS_CONTROL_C_EXIT (wine 8 ends it with 0), the scan unfinished.
TEST_F(ConsoleEvents, CtrlCOutsideADownloadEndsTheProgram) {
  Qxflash qx({slow, "scan"});
  ASSERT_TRUE(qx.WaitForOut("SCSI Rescan Executing")) << qx.out() << qx.err();
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  const DWORD ended = UnderWine() ? 0 : static_cast<DWORD>(STATUS_CONTROL_C_EXIT);
  EXPECT_EQ(qx.Wait(), ended) << qx.out() << qx.err();
  EXPECT_EQ(qx.out().find("Host adapter 0"), std::string::npos) << qx.out();
}

}  // namespace
}  // namespace qx
