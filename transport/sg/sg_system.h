// The operating-system seam of the SG_IO backend: the few sysfs reads, device
// opens and ioctls it needs. The Linux implementation can be rooted in another
// directory, so tests lay out a sysfs tree in a temporary directory and answer
// the ioctls themselves.
#pragma once

#include <scsi/sg.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qx::sg {

// Largest table ReadLongText returns (a mount table with thousands of entries
// stays well below it).
inline constexpr size_t kMaxTableSize = 16u << 20;

class SgSystem {
 public:
  virtual ~SgSystem() = default;
  // Names of the entries of a directory ("." and ".." excluded); empty when
  // the directory does not exist or cannot be read.
  virtual std::vector<std::string> ListDir(const std::string& path) = 0;
  // The content of a small text file, or nothing when it cannot be read.
  virtual std::optional<std::string> ReadText(const std::string& path) = 0;
  // The whole content of a table that may be long and reports no size (such as
  // /proc/self/mountinfo), up to kMaxTableSize bytes; nothing when it cannot be
  // read.
  virtual std::optional<std::string> ReadLongText(const std::string& path) = 0;
  // The target of a symbolic link, or nothing.
  virtual std::optional<std::string> ReadLink(const std::string& path) = 0;
  // Whether this process may open `path` for `mode` (R_OK, W_OK), as its
  // effective user and groups (ACLs included): 0 or -errno. Opens nothing.
  virtual int Access(const std::string& path, int mode) = 0;
  // A file descriptor, or -errno.
  virtual int Open(const std::string& path, int flags) = 0;
  // 0 or -errno.
  virtual int Close(int fd) = 0;
  // ioctl(SG_IO): 0 or -errno.
  virtual int SgIo(int fd, sg_io_hdr* hdr) = 0;
  // ioctl(SG_GET_SCSI_ID): 0 or -errno.
  virtual int GetScsiId(int fd, sg_scsi_id* id) = 0;
};

// The real system. Every path is taken relative to `root` ("" = the real root).
class LinuxSgSystem : public SgSystem {
 public:
  explicit LinuxSgSystem(std::string root = "");
  std::vector<std::string> ListDir(const std::string& path) override;
  std::optional<std::string> ReadText(const std::string& path) override;
  std::optional<std::string> ReadLongText(const std::string& path) override;
  std::optional<std::string> ReadLink(const std::string& path) override;
  int Access(const std::string& path, int mode) override;
  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int SgIo(int fd, sg_io_hdr* hdr) override;
  int GetScsiId(int fd, sg_scsi_id* id) override;

 protected:
  std::string Rooted(const std::string& path) const { return root_ + path; }

 private:
  std::string root_;
};

}  // namespace qx::sg
