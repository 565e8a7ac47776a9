#include "transport/sg/sg_system.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace qx::sg {

namespace {
// sysfs attributes the backend reads are one short line; anything longer is
// cut here rather than read without bound.
constexpr std::streamsize kMaxTextSize = 4096;
}  // namespace

LinuxSgSystem::LinuxSgSystem(std::string root) : root_(std::move(root)) {}

std::vector<std::string> LinuxSgSystem::ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(Rooted(path), ec);
  if (ec) return names;
  for (const auto& entry : it) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::string> LinuxSgSystem::ReadText(const std::string& path) {
  std::ifstream in(Rooted(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<size_t>(kMaxTextSize), '\0');
  in.read(text.data(), kMaxTextSize);
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::optional<std::string> LinuxSgSystem::ReadLongText(const std::string& path) {
  // /proc tables report a size of 0: read in pieces until the end.
  std::ifstream in(Rooted(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char chunk[65536];
  while (text.size() < kMaxTableSize) {
    in.read(chunk, sizeof chunk);
    if (in.gcount() <= 0) break;
    text.append(chunk, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) return std::nullopt;
  if (text.size() > kMaxTableSize) text.resize(kMaxTableSize);
  return text;
}

std::optional<std::string> LinuxSgSystem::ReadLink(const std::string& path) {
  std::error_code ec;
  auto target = std::filesystem::read_symlink(Rooted(path), ec);
  if (ec) return std::nullopt;
  return target.string();
}

int LinuxSgSystem::Access(const std::string& path, int mode) {
  return ::faccessat(AT_FDCWD, Rooted(path).c_str(), mode, AT_EACCESS) < 0 ? -errno : 0;
}

int LinuxSgSystem::Open(const std::string& path, int flags) {
  const int fd = ::open(Rooted(path).c_str(), flags);
  return fd < 0 ? -errno : fd;
}

int LinuxSgSystem::Close(int fd) {
  return ::close(fd) < 0 ? -errno : 0;
}

int LinuxSgSystem::SgIo(int fd, sg_io_hdr* hdr) {
  // Called on the SG backend's worker, which holds the stop signals blocked for
  // its whole life: a signal never interrupts (and, with SA_RESTART handlers,
  // resubmits) a command that is already running in the device.
  return ::ioctl(fd, SG_IO, hdr) < 0 ? -errno : 0;
}

int LinuxSgSystem::GetScsiId(int fd, sg_scsi_id* id) {
  return ::ioctl(fd, SG_GET_SCSI_ID, id) < 0 ? -errno : 0;
}

}  // namespace qx::sg
