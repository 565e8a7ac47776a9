// Timing of the firmware transfer path on a real Linux SCSI stack (run inside the
// QEMU rig, see tests/rig/ and docs/rig-tests.md).
//
// One round measures, in this order and interleaved so that drift hits all alike:
//   qx-inproc   16 x qx::WriteBuffer(0, 16384, mode, id) through ExecScsiCmd and
//               the SG_IO backend, in this process (ids 0..15, like a download)
//   raw-inproc  the same 16 WRITE BUFFER CDBs as bare SG_IO ioctls on one open
//               descriptor: the floor any pass-through can reach
//   raw-reopen  the same, but each command opens the node, checks SG_GET_SCSI_ID
//               and closes it again, as the backend does
//   qx-proc     a fresh process of this program doing qx-inproc once (--child)
//   sgwb-proc   sg_write_buffer --bpw=16384 --mode=M --in=<256 KiB> DEVICE
//   sgwb-dry    the same with --dry-run: its start-up without the commands
//   scan-proc   qxflash --sg scan (with --qxflash PATH)
// Printed: "time NAME median_ms .. min_ms .. max_ms .." per case, then the ratios
// of the medians as "ratio A/B value".
// Every WRITE BUFFER must complete; afterwards one TEST UNIT READY must be good,
// which shows that the mode raised no unit attention. Exit 0 when all held.
#include <fcntl.h>
#include <scsi/sg.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "download/write_buffer.h"
#include "transport/sg/sg_bus.h"

extern char** environ;

namespace {

constexpr int kBlocks = 16;
constexpr int kBlockSize = 16384;

struct Options {
  int ha = 2;
  int id = 0;
  int mode = 0x0E;
  int rounds = 30;
  bool child = false;
  std::string sg_write_buffer = "sg_write_buffer";
  std::string qxflash;
  std::string image = "/tmp/qx-rig-bench.bin";
};

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<uint8_t> Image() {
  std::vector<uint8_t> image(kBlocks * kBlockSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 14));
  return image;
}

// The 16 blocks through the system's own WRITE BUFFER builder.
bool QxTransfer(const Options& o, const std::vector<uint8_t>& image, std::string* error) {
  qx::SelectedHaId = static_cast<uint8_t>(o.ha);
  qx::SelectedTargetId = static_cast<uint8_t>(o.id);
  for (int b = 0; b < kBlocks; ++b) {
    std::memcpy(qx::DataBuf.data(), image.data() + b * kBlockSize, kBlockSize);
    if (qx::WriteBuffer(0, kBlockSize, static_cast<uint8_t>(o.mode), static_cast<uint8_t>(b)) !=
        1) {
      *error = "WriteBuffer of block " + std::to_string(b) + " failed: " + qx::ErrMsg;
      return false;
    }
  }
  return true;
}

int OpenNode(const std::string& device, std::string* error) {
  const int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) *error = "open " + device + ": " + std::strerror(errno);
  return fd;
}

// One WRITE BUFFER of block `b` as a bare SG_IO on `fd`.
bool RawWriteBuffer(int fd, const Options& o, const std::vector<uint8_t>& image, int b,
                    std::string* error) {
  uint8_t cdb[10] = {
      0x3B, static_cast<uint8_t>(o.mode), static_cast<uint8_t>(b), 0, 0, 0, 0, 0x40, 0, 0};
  uint8_t sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_TO_DEV;
  io.cmd_len = sizeof cdb;
  io.mx_sb_len = sizeof sense;
  io.dxfer_len = kBlockSize;
  io.dxferp = const_cast<uint8_t*>(image.data() + b * kBlockSize);
  io.cmdp = cdb;
  io.sbp = sense;
  io.timeout = 30000;
  if (ioctl(fd, SG_IO, &io) < 0) {
    *error = std::string("SG_IO: ") + std::strerror(errno);
    return false;
  }
  if (io.status != 0 || io.host_status != 0 || (io.driver_status & 0x0F) != 0) {
    char text[96];
    std::snprintf(text, sizeof text, "raw WRITE BUFFER %d: status 0x%02X sense %02X/%02X/%02X", b,
                  io.status, sense[2] & 0x0F, sense[12], sense[13]);
    *error = text;
    return false;
  }
  return true;
}

// The same CDBs as bare SG_IO, all sixteen on one descriptor.
bool RawTransfer(const Options& o, const std::string& device, const std::vector<uint8_t>& image,
                 std::string* error) {
  const int fd = OpenNode(device, error);
  if (fd < 0) return false;
  bool ok = true;
  for (int b = 0; b < kBlocks && ok; ++b) ok = RawWriteBuffer(fd, o, image, b, error);
  close(fd);
  return ok;
}

// The same, but each command opens the node, asks SG_GET_SCSI_ID and closes it
// again, the way the backend does.
bool RawReopenTransfer(const Options& o, const std::string& device,
                       const std::vector<uint8_t>& image, std::string* error) {
  for (int b = 0; b < kBlocks; ++b) {
    const int fd = OpenNode(device, error);
    if (fd < 0) return false;
    struct sg_scsi_id id {};
    bool ok = ioctl(fd, SG_GET_SCSI_ID, &id) == 0;
    if (!ok) *error = std::string("SG_GET_SCSI_ID: ") + std::strerror(errno);
    ok = ok && RawWriteBuffer(fd, o, image, b, error);
    close(fd);
    if (!ok) return false;
  }
  return true;
}

// Runs argv with stdout and stderr on /dev/null; its exit status, -1 if it did not run.
int Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<Options> Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto number = [&](int lo, int hi, int* out) {
      const char* v = next();
      if (!v) return false;
      char* end = nullptr;
      const long n = std::strtol(v, &end, 0);
      if (end == v || *end != '\0' || n < lo || n > hi) return false;
      *out = static_cast<int>(n);
      return true;
    };
    bool ok = true;
    if (a == "--ha") {
      ok = number(0, 7, &o.ha);
    } else if (a == "--id") {
      ok = number(0, 7, &o.id);
    } else if (a == "--mode") {
      ok = number(0, 31, &o.mode);
    } else if (a == "--rounds") {
      ok = number(1, 100000, &o.rounds);
    } else if (a == "--child") {
      o.child = true;
    } else if (a == "--sg-write-buffer" || a == "--qxflash" || a == "--image") {
      const char* v = next();
      ok = v != nullptr;
      if (ok) (a == "--qxflash" ? o.qxflash : a == "--image" ? o.image : o.sg_write_buffer) = v;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr,
                   "usage: qx_rig_bench [--ha N] [--id M] [--mode MODE] [--rounds R]\n"
                   "         [--sg-write-buffer PATH] [--qxflash PATH] [--image FILE]\n"
                   "bad or incomplete argument: %s\n",
                   a.c_str());
      return std::nullopt;
    }
  }
  return o;
}

struct Case {
  std::string name;
  std::function<bool()> run;
};

using Times = std::map<std::string, std::vector<double>>;

std::string ModeText(int mode) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", mode);
  return text;
}

// The process qx-proc starts: one transfer, exit status 0 when all blocks went through.
int RunChild(const Options& o, const std::vector<uint8_t>& image) {
  std::string error;
  if (QxTransfer(o, image, &error)) return 0;
  std::fprintf(stderr, "qx_rig_bench --child: %s\n", error.c_str());
  return 1;
}

// The sg node of the device at the options' adapter and target, "" (after a
// message) when the scan found none there.
std::string FindNode(const qx::AspiManager& bus, const Options& o) {
  std::string node =
      bus.DeviceLocation(static_cast<uint8_t>(o.ha), static_cast<uint8_t>(o.id), 0).node;
  if (node.empty()) {
    std::fprintf(stderr, "qx_rig_bench: no sg device at adapter %d target %d\n", o.ha, o.id);
  }
  return node;
}

// The image as the file sg_write_buffer reads; false (after a message) when it
// cannot be written whole.
bool WriteImageFile(const std::string& path, const std::vector<uint8_t>& image) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "qx_rig_bench: cannot create %s\n", path.c_str());
    return false;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  if (std::fclose(f) != 0 || !written) {
    std::fprintf(stderr, "qx_rig_bench: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// A case that runs argv as a process; on a non-zero exit `error` names it as `what`.
Case ProcessCase(std::string name, std::vector<std::string> argv, std::string what,
                 std::string* error) {
  return {std::move(name), [argv = std::move(argv), what = std::move(what), error] {
            const int rc = Spawn(argv);
            if (rc != 0) *error = what + " exited with " + std::to_string(rc);
            return rc == 0;
          }};
}

// The variants in the order a round runs them. The in-process ones refer to `o`,
// `image` and `node`, which must outlive the cases; failures go to `error`.
std::vector<Case> MakeCases(const Options& o, const std::vector<uint8_t>& image,
                            const std::string& node, std::string* error) {
  const std::string modeText = ModeText(o.mode);
  const std::vector<std::string> sgwb = {o.sg_write_buffer, "--bpw=16384", "--mode=" + modeText,
                                         "--in=" + o.image, node};
  std::vector<std::string> sgwbDry = sgwb;
  sgwbDry.insert(sgwbDry.begin() + 1, "--dry-run");
  const std::vector<std::string> child = {
      "/proc/self/exe",     "--child", "--ha",  std::to_string(o.ha), "--id",
      std::to_string(o.id), "--mode",  modeText};
  std::vector<Case> cases = {
      {"qx-inproc", [&o, &image, error] { return QxTransfer(o, image, error); }},
      {"raw-inproc", [&o, &node, &image, error] { return RawTransfer(o, node, image, error); }},
      {"raw-reopen",
       [&o, &node, &image, error] { return RawReopenTransfer(o, node, image, error); }},
      ProcessCase("qx-proc", child, "qx_rig_bench --child", error),
      ProcessCase("sgwb-proc", sgwb, o.sg_write_buffer, error),
      ProcessCase("sgwb-dry", sgwbDry, o.sg_write_buffer + " --dry-run", error),
  };
  if (!o.qxflash.empty()) {
    cases.push_back(
        ProcessCase("scan-proc", {o.qxflash, "--sg", "scan"}, "qxflash --sg scan", error));
  }
  return cases;
}

// One untimed round that warms the page cache and the loader, then `rounds`
// timed ones. False (after a message) as soon as a case fails.
bool Measure(const std::vector<Case>& cases, int rounds, const std::string& error, Times* times) {
  for (const auto& c : cases) {
    if (!c.run()) {
      std::fprintf(stderr, "qx_rig_bench: %s: %s\n", c.name.c_str(), error.c_str());
      return false;
    }
  }
  for (int r = 0; r < rounds; ++r) {
    for (const auto& c : cases) {
      const auto start = Clock::now();
      const bool ok = c.run();
      const auto end = Clock::now();
      if (!ok) {
        std::fprintf(stderr, "qx_rig_bench: %s (round %d): %s\n", c.name.c_str(), r + 1,
                     error.c_str());
        return false;
      }
      (*times)[c.name].push_back(Ms(end - start));
    }
  }
  return true;
}

// The mode must leave no unit attention behind, or every round after the first
// would have measured a reissue.
bool NoUnitAttentionLeft(const Options& o) {
  qx::SelectedHaId = static_cast<uint8_t>(o.ha);
  qx::SelectedTargetId = static_cast<uint8_t>(o.id);
  if (qx::Succeeded(qx::TestUnitReadyStd())) return true;
  std::fprintf(stderr, "qx_rig_bench: TEST UNIT READY after the rounds failed: %s\n",
               qx::ErrMsg.c_str());
  return false;
}

// Median, minimum and maximum of every case, then the ratios of the medians.
void Report(const std::vector<Case>& cases, const Times& times, int mode) {
  std::map<std::string, double> median;
  for (const auto& c : cases) {
    const auto& v = times.at(c.name);
    median[c.name] = Median(v);
    std::printf("time %-10s median_ms %8.3f min_ms %8.3f max_ms %8.3f\n", c.name.c_str(),
                median[c.name], *std::min_element(v.begin(), v.end()),
                *std::max_element(v.begin(), v.end()));
  }
  const double sgwbCommands = median["sgwb-proc"] - median["sgwb-dry"];
  std::printf("derived sgwb-commands median_ms %8.3f (sgwb-proc - sgwb-dry)\n", sgwbCommands);
  auto ratio = [](const char* name, double a, double b) {
    std::printf("ratio %-28s %6.3f\n", name, b > 0 ? a / b : 0.0);
  };
  ratio("qx-proc/sgwb-proc", median["qx-proc"], median["sgwb-proc"]);
  ratio("qx-inproc/sgwb-commands", median["qx-inproc"], sgwbCommands);
  ratio("qx-inproc/raw-inproc", median["qx-inproc"], median["raw-inproc"]);
  ratio("qx-inproc/raw-reopen", median["qx-inproc"], median["raw-reopen"]);
  ratio("raw-reopen/raw-inproc", median["raw-reopen"], median["raw-inproc"]);
  std::printf("TUR after rounds: good (mode %s raised no unit attention)\n",
              ModeText(mode).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = Parse(argc, argv);
  if (!parsed) return 2;
  const Options& o = *parsed;

  auto bus = qx::sg::MakeSgBus();
  qx::InstallAspiManager(bus);
  const auto image = Image();
  if (o.child) return RunChild(o, image);

  const std::string node = FindNode(*bus, o);
  if (node.empty() || !WriteImageFile(o.image, image)) return 1;
  std::printf("device %s (adapter %d target %d), mode %s, %d rounds of %d x %d bytes\n",
              node.c_str(), o.ha, o.id, ModeText(o.mode).c_str(), o.rounds, kBlocks, kBlockSize);

  std::string error;
  const std::vector<Case> cases = MakeCases(o, image, node, &error);
  Times times;
  if (!Measure(cases, o.rounds, error, &times) || !NoUnitAttentionLeft(o)) return 1;
  Report(cases, times, o.mode);
  qx::InstallAspiManager(nullptr);
  return 0;
}
