// The SG backend's mount points and reservation on a real Linux SCSI stack (run
// inside the QEMU rig by tests/rig/rig_test.sh). One job per run:
//
//   qx_rig_reserve_probe mounts  --ha H --id I
//       prints "mount: PATH" for each of MountPoints(H, I, 0), then "mounts: N"
//   qx_rig_reserve_probe reserve --ha H --id I
//       Reserve; "reserve: taken" or "reserve: refused: TEXT". After a refusal
//       the node must be free again ("node after refusal: free", checked with an
//       O_EXCL open of its own); exit 3 after a refusal
//   qx_rig_reserve_probe hold    --ha H --id I [--mode M] [--until FILE]
//                                [--seconds N]
//       Reserve, then send WRITE BUFFER (mode M, default 0x0E, 16 KiB, buffer
//       IDs 0-15 in turn) through the backend until FILE exists or N seconds
//       (default 60) passed; meanwhile the program's own second open of the
//       node must fail with EBUSY. Then Release: the node must open O_EXCL at
//       once, and one more command (opened per command again) must be good.
//       Exit 0 when all held.
//   qx_rig_reserve_probe release-in-flight --ha H --id I [--mode M]
//       Reserve, submit one WRITE BUFFER and Release while it is still in the
//       kernel (a slow device: scsi_debug with a delay): the node stays open
//       (an O_EXCL open fails) until the command is back, and is free once
//       the block shows its end. Exit 0 when so.
// Times are printed as "time NAME MS".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "commands/commands.h"
#include "download/write_buffer.h"
#include "transport/sg/sg_bus.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string job;
  int ha = 0;
  int id = 0;
  int mode = 0x0E;
  int seconds = 60;
  std::string until;
};

void Time(const char* name, Clock::time_point since) {
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - since).count();
  std::printf("time %s %.1f\n", name, ms);
}

bool Exists(const std::string& path) {
  return !path.empty() && access(path.c_str(), F_OK) == 0;
}

// "free" when the node opens O_EXCL (and is closed again), else the errno's name.
std::string ExclusiveOpen(const std::string& node) {
  const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? "EBUSY" : std::strerror(errno);
  close(fd);
  return "free";
}

// The program's own plain open, the one every other program makes.
std::string PlainOpen(const std::string& node) {
  const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? "EBUSY" : std::strerror(errno);
  close(fd);
  return "opened";
}

bool SendBlock(const Options& o, int n) {
  std::memset(qx::DataBuf.data(), n, 16384);
  return qx::WriteBuffer(0, 16384, static_cast<uint8_t>(o.mode), static_cast<uint8_t>(n % 16)) == 1;
}

// Reserve with its answer printed; false after a refusal.
bool Reserve(qx::passthrough::PassThroughBus& bus, const Options& o, const std::string& node) {
  const auto start = Clock::now();
  const std::optional<std::string> refused =
      bus.Reserve(static_cast<uint8_t>(o.ha), static_cast<uint8_t>(o.id), 0);
  Time("reserve", start);
  if (!refused) {
    std::printf("reserve: taken\n");
    return true;
  }
  std::printf("reserve: refused: %s\n", refused->c_str());
  std::printf("node after refusal: %s\n", ExclusiveOpen(node).c_str());
  return false;
}

int Hold(qx::passthrough::PassThroughBus& bus, const Options& o, const std::string& node) {
  if (!Reserve(bus, o, node)) return 3;
  const auto start = Clock::now();
  int good = 0, failed = 0;
  std::string own_open;
  while (!Exists(o.until) && Clock::now() - start < std::chrono::seconds(o.seconds)) {
    if (SendBlock(o, good + failed)) {
      ++good;
    } else {
      if (failed++ == 0) std::printf("first failure: %s\n", qx::ErrMsg.c_str());
    }
    if (own_open.empty()) own_open = PlainOpen(node);
  }
  Time("hold", start);
  std::printf("commands while reserved: %d good, %d failed\n", good, failed);
  std::printf("own open while reserved: %s\n", own_open.c_str());
  const bool ok = good > 0 && failed == 0 && own_open == "EBUSY";

  const auto released = Clock::now();
  bus.Release();
  Time("release", released);
  const std::string after = ExclusiveOpen(node);
  std::printf("node after release: %s\n", after.c_str());
  const bool again = SendBlock(o, 0);
  std::printf("command after release: %s\n", again ? "good" : qx::ErrMsg.c_str());
  return ok && after == "free" && again ? 0 : 1;
}

int ReleaseInFlight(qx::passthrough::PassThroughBus& bus, const Options& o,
                    const std::string& node) {
  if (!Reserve(bus, o, node)) return 3;
  qx::SRB_ExecSCSICmd srb{};
  srb.SRB_Cmd = qx::SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = static_cast<uint8_t>(o.ha);
  srb.SRB_Target = static_cast<uint8_t>(o.id);
  srb.SRB_BufLen = 16384;
  srb.SRB_SenseLen = qx::kSenseLen;
  srb.SRB_CDBLen = 10;
  const uint8_t cdb[10] = {0x3B, static_cast<uint8_t>(o.mode), 0, 0, 0, 0, 0, 0x40, 0, 0};
  std::memcpy(srb.CDBByte, cdb, sizeof cdb);
  const auto start = Clock::now();
  const int32_t submitted = bus.BCSendASPI32Command(&srb, qx::DataBuf.data());
  usleep(20000);  // the worker has handed it to the kernel
  const bool pending = qx::LoadSrbStatus(&srb) == qx::SS_PENDING;
  bus.Release();
  const std::string during = ExclusiveOpen(node);
  while (qx::LoadSrbStatus(&srb) == qx::SS_PENDING) usleep(1000);
  Time("command", start);
  const std::string after = ExclusiveOpen(node);
  std::printf("submitted: %d, pending at release: %s\n", submitted, pending ? "yes" : "no");
  std::printf("node right after release: %s\n", during.c_str());
  std::printf("command status: %d\n", qx::LoadSrbStatus(&srb));
  std::printf("node after the command: %s\n", after.c_str());
  return submitted == qx::SS_PENDING && pending && during == "EBUSY" &&
                 qx::LoadSrbStatus(&srb) == qx::SS_COMP && after == "free"
             ? 0
             : 1;
}

std::optional<Options> Parse(int argc, char** argv) {
  if (argc < 2) return std::nullopt;
  Options o;
  o.job = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const char* v = argv[++i];
    if (a == "--ha") {
      o.ha = std::atoi(v);
    } else if (a == "--id") {
      o.id = std::atoi(v);
    } else if (a == "--mode") {
      o.mode = static_cast<int>(std::strtol(v, nullptr, 0));
    } else if (a == "--seconds") {
      o.seconds = std::atoi(v);
    } else if (a == "--until") {
      o.until = v;
    } else {
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::optional<Options> o = Parse(argc, argv);
  if (!o || (o->job != "mounts" && o->job != "reserve" && o->job != "hold" &&
             o->job != "release-in-flight")) {
    std::fprintf(stderr,
                 "usage: qx_rig_reserve_probe mounts|reserve|hold|release-in-flight --ha H --id I "
                 "...\n");
    return 2;
  }
  auto bus = qx::sg::MakeSgBus();
  qx::InstallAspiManager(bus);
  qx::SelectedHaId = static_cast<uint8_t>(o->ha);
  qx::SelectedTargetId = static_cast<uint8_t>(o->id);
  const std::string node =
      bus->DeviceLocation(static_cast<uint8_t>(o->ha), static_cast<uint8_t>(o->id), 0).node;
  if (node.empty()) {
    std::printf("no device at adapter %d target %d\n", o->ha, o->id);
    return 4;
  }
  std::printf("node: %s\n", node.c_str());
  int rc = 0;
  if (o->job == "mounts") {
    const auto start = Clock::now();
    const auto points =
        bus->MountPoints(static_cast<uint8_t>(o->ha), static_cast<uint8_t>(o->id), 0);
    Time("mounts", start);
    for (const std::string& p : points) std::printf("mount: %s\n", p.c_str());
    std::printf("mounts: %zu\n", points.size());
  } else if (o->job == "reserve") {
    rc = Reserve(*bus, *o, node) ? 0 : 3;
  } else if (o->job == "hold") {
    rc = Hold(*bus, *o, node);
  } else {
    rc = ReleaseInFlight(*bus, *o, node);
  }
  qx::InstallAspiManager(nullptr);
  return rc;
}
