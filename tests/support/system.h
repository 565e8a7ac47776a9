// What the tests need from the system that differs between POSIX systems and
// Windows: one implementation file per system (system_posix.cpp,
// system_windows.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace qx::test {

// This process's id, for the names of temporary directories.
unsigned long ProcessId();

// How many files this process has open: its descriptors on POSIX systems;
// the C runtime's descriptors on Windows (std::fstream's files; wine counts
// no system handles).
size_t OpenFiles();

// Whether the system has FIFOs in its file system (Windows has none), and
// makes one at `path`.
bool HasFifos();
bool MakeFifo(const std::filesystem::path& path);

// Points the per-user state directory (os::StateDirectory) at `dir`/qxflash
// for this process and the programs it starts: XDG_STATE_HOME on POSIX
// systems, LOCALAPPDATA on Windows. UnsetStateHome forgets it again.
void SetStateHome(const std::filesystem::path& dir);
void UnsetStateHome();
// Takes every way to a state directory away from this process (false where
// the system always has one: Windows' local application data folder), and
// gives them back.
bool ForgetStateDirectory();
void RestoreStateDirectory();
// A path that names a device rather than a file (/dev/zero), made at `path`
// as a link to it; false where links or such devices are not to be had.
bool LinkToDevice(const std::filesystem::path& path);

// Whether the calling thread has the stop signals (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGPIPE) blocked; false on Windows, which has none to block.
bool StopSignalsBlocked();

}  // namespace qx::test
