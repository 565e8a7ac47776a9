// Mount points of a device and its reservation, on the SG_IO backend against a
// fake sysfs tree, mount table and device nodes.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "sg_fake.h"
#include "transport/sg/sg_bus.h"
#include "transport/sg/sg_mounts.h"

namespace qx::sg {
namespace {

using testing::FakeSystem;
using testing::SysfsTree;
using Strings = std::vector<std::string>;

TEST(SgMountInfo, FieldsThreeAndFiveWithEscapesUndone) {
  const struct {
    const char* line;
    std::optional<Mount> want;
  } cases[] = {
      {"36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw",
       Mount{"98:0", "/mnt/parent"}},
      {"40 22 11:0 / /media/my\\040cd ro - iso9660 /dev/sr0 ro", Mount{"11:0", "/media/my cd"}},
      {"41 22 8:1 / /a\\011b\\134c\\012d rw - ext4 /dev/sda1 rw", Mount{"8:1", "/a\tb\\c\nd"}},
      {"42 22 8:2 / /odd\\04 rw - ext4 /dev/sda2 rw", Mount{"8:2", "/odd\\04"}},  // not an escape
      {"43 22 8:3 / /x\\0401 rw - ext4 /dev/sda3 rw", Mount{"8:3", "/x 1"}},
      {"44 22 nonumber / /y rw - ext4 /dev/sda4 rw", std::nullopt},
      {"45 22 8:5 /", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::vector<Mount> got = ParseMountInfo(c.line);
    ASSERT_EQ(got.size(), c.want ? 1u : 0u) << c.line;
    if (c.want) {
      EXPECT_EQ(got[0].number, c.want->number) << c.line;
      EXPECT_EQ(got[0].point, c.want->point) << c.line;
    }
  }
  EXPECT_EQ(ParseMountInfo("1 0 8:1 / /a rw - x y z\n2 0 8:2 / /b rw - x y z\n").size(), 2u);
}

// sg0 = 0:0:2:0, a CD drive (sr0, 11:0); sg1 = 0:0:5:0, a disk (sda, 8:0) with
// two partitions; sg2 = 0:0:6:0, a unit without a block device.
class SgReserve : public ::testing::Test {
 protected:
  void SetUp() override { Build(); }
  void TearDown() override { ResetTransportState(); }
  // A fresh tree, system and bus (a table of cases starts each one afresh).
  void Build() {
    ResetTransportState();
    bus.reset();
    tree_ = std::make_unique<SysfsTree>();
    SysfsTree& tree = *tree_;
    tree.AddHost(0, "sym53c8xx\n", "7\n");
    tree.AddSg(0, "0:0:2:0");
    tree.AddSg(1, "0:0:5:0");
    tree.AddSg(2, "0:0:6:0");
    tree.AddBlock("0:0:2:0", "sr0", "11:0");
    tree.AddBlock("0:0:5:0", "sda", "8:0");
    tree.AddPartition("0:0:5:0", "sda", "sda1", "8:1");
    tree.AddPartition("0:0:5:0", "sda", "sda2", "8:2");
    SetMountInfo("");
    sys = std::make_shared<FakeSystem>(tree.root());
    sys->Node("/dev/sg0", 0, 0, 2);
    sys->Node("/dev/sg1", 0, 0, 5);
    sys->Node("/dev/sg2", 0, 0, 6);
    sys->nodes["/dev/sr0"];
    sys->nodes["/dev/sda"];
    bus = std::make_shared<SgBus>(sys);
  }
  SRB_ExecSCSICmd Block(uint8_t target, const std::vector<uint8_t>& cdb, uint32_t len) {
    SRB_ExecSCSICmd s{};
    s.SRB_Cmd = SC_EXEC_SCSI_CMD;
    s.SRB_Target = target;
    s.SRB_BufLen = len;
    s.SRB_SenseLen = kSenseLen;
    s.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), s.CDBByte);
    return s;
  }
  static uint8_t Wait(const SRB_ExecSCSICmd& s) {
    while (LoadSrbStatus(&s) == SS_PENDING) std::this_thread::yield();
    return LoadSrbStatus(&s);
  }
  int32_t Send(uint8_t target, const std::vector<uint8_t>& cdb = {0, 0, 0, 0, 0, 0},
               uint32_t len = 0) {
    auto s = Block(target, cdb, len);
    const int32_t r = bus->BCSendASPI32Command(&s, buf.data());
    return r == SS_PENDING ? Wait(s) : r;
  }
  size_t OpensOf(const std::string& path) const {
    return static_cast<size_t>(std::count(sys->opens.begin(), sys->opens.end(), path));
  }
  int FlagsOfLastOpen(const std::string& path) const {
    for (size_t i = sys->opens.size(); i-- > 0;) {
      if (sys->opens[i] == path) return sys->flags_seen[i];
    }
    return -1;
  }

  void SetMountInfo(const std::string& text) { tree_->SetMountInfo(text); }

  std::unique_ptr<SysfsTree> tree_;
  std::shared_ptr<FakeSystem> sys;
  std::shared_ptr<SgBus> bus;
  std::array<uint8_t, kDataBufSize> buf{};
};

TEST_F(SgReserve, MountPointsAreFoundByDeviceNumber) {
  // The source names are decoys: only the device numbers (field 3) count.
  SetMountInfo(
      "21 1 0:20 / /proc rw - proc proc rw\n"
      "30 21 11:0 / /media/my\\040cd ro - iso9660 /dev/sr0 ro\n"
      "31 21 8:1 / /boot rw - ext4 /dev/sda1 rw\n"
      "32 21 8:16 / /other rw - ext4 /dev/sda rw\n"
      "33 21 0:45 / /fake rw - tmpfs /dev/sr0 rw\n"
      "34 21 8:2 / / rw - ext4 /dev/root rw\n"
      "35 21 8:2 /srv /srv rw - ext4 /dev/root rw\n");
  const struct {
    uint8_t target;
    Strings want;
  } cases[] = {
      {2, {"/media/my cd"}},        // the CD drive
      {5, {"/boot", "/", "/srv"}},  // the disk's partitions, a bind mount too
      {6, {}},                      // no block device
      {3, {}},                      // no device at all
  };
  for (const auto& c : cases) EXPECT_EQ(bus->MountPoints(0, c.target, 0), c.want) << +c.target;

  SetMountInfo("21 1 0:20 / /proc rw - proc proc rw\n");
  EXPECT_EQ(bus->MountPoints(0, 2, 0), Strings{}) << "nothing mounted";

  // A long table (thousands of mounts) is read to its end.
  std::string table;
  for (int i = 0; i < 3000; ++i) {
    table += std::to_string(100 + i) + " 21 0:" + std::to_string(100 + i) + " / /run/c" +
             std::to_string(i) + " rw - tmpfs tmpfs rw\n";
  }
  SetMountInfo(table + "9 21 11:0 / /last ro - iso9660 /dev/sr0 ro\n");
  EXPECT_EQ(bus->MountPoints(0, 2, 0), Strings{"/last"});
  EXPECT_TRUE(sys->opens.empty()) << "found without opening anything";
}

// The node is taken exclusively; the block device is never opened (its open
// and close make the kernel send media commands to the drive).
TEST_F(SgReserve, TakesTheNodeExclusivelyUntilReleaseAndNeverTheBlockDevice) {
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_EQ(FlagsOfLastOpen("/dev/sg0") & (O_ACCMODE | O_EXCL | O_NONBLOCK),
            O_RDWR | O_EXCL | O_NONBLOCK);
  EXPECT_TRUE(sys->IsOpen("/dev/sg0"));
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt) << "ours already";
  EXPECT_EQ(OpensOf("/dev/sg0"), 1u);
  bus->Release();
  EXPECT_TRUE(sys->open_fds.empty());
  bus->Release();  // nothing reserved: a no-op

  // Another device: the first one is given back.
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_EQ(bus->Reserve(0, 5, 0), std::nullopt);
  EXPECT_FALSE(sys->IsOpen("/dev/sg0"));
  EXPECT_TRUE(sys->IsOpen("/dev/sg1"));
  EXPECT_EQ(OpensOf("/dev/sr0") + OpensOf("/dev/sda"), 0u);
  EXPECT_EQ(bus->Reserve(0, 6, 0), std::nullopt) << "a unit without a block device";
  bus.reset();
  EXPECT_TRUE(sys->open_fds.empty()) << "destruction releases";
}

TEST_F(SgReserve, RefusalsNameTheNodeAndHoldNothing) {
  const std::string mounted =
      "30 21 11:0 / /media/my\\040cd ro - iso9660 /dev/sr0 ro\n"
      "31 21 11:0 / /mnt ro - iso9660 /dev/sr0 ro\n";
  const struct {
    const char* name;
    uint8_t target;
    std::function<void()> arrange;
    std::string want;
  } cases[] = {
      {"sg open elsewhere", 2, [&] { sys->nodes["/dev/sg0"].open_err = EBUSY; },
       "/dev/sg0 is open in another program"},
      {"mounted", 2, [] {}, "/dev/sr0 is mounted at /media/my cd, /mnt"},
      {"no access", 2, [&] { sys->nodes["/dev/sg0"].open_err = EACCES; },
       "run as root or give your user read/write access to /dev/sg0"},
      {"renumbered", 2, [&] { sys->nodes["/dev/sg0"].id.scsi_id = 4; },
       "/dev/sg0 is now 0:0:4:0, not 0:0:2:0 as at the last scan; run SCSI Rescan"},
      {"no device", 3, [] {}, "no device at adapter 0 target 3 LUN 0"},
  };
  for (const auto& c : cases) {
    Build();
    SetMountInfo(mounted);
    c.arrange();
    const std::optional<std::string> refused = bus->Reserve(0, c.target, 0);
    ASSERT_TRUE(refused.has_value()) << c.name;
    EXPECT_EQ(refused->rfind(c.want, 0), 0u) << c.name << ": " << *refused;
    EXPECT_EQ(refused->find('\n'), std::string::npos) << c.name;
    EXPECT_TRUE(sys->open_fds.empty()) << c.name;
  }
}

TEST_F(SgReserve, CommandsGoThroughTheReservedNodeStillVerified) {
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  const int held = sys->exclusive.at("/dev/sg0");
  sys->scsi_id_fds.clear();
  const std::vector<uint8_t> write_buffer{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0};
  EXPECT_EQ(Send(2), SS_COMP);
  EXPECT_EQ(Send(2, write_buffer, 16384), SS_COMP);
  EXPECT_EQ(Send(2), SS_COMP);
  EXPECT_EQ(OpensOf("/dev/sg0"), 1u) << "no open of its own";
  ASSERT_EQ(sys->seen.size(), 3u);
  for (const auto& io : sys->seen) EXPECT_EQ(io.fd, held);
  EXPECT_EQ(sys->scsi_id_fds, (std::vector<int>{held, held, held})) << "verified before each";
  EXPECT_TRUE(sys->IsOpen("/dev/sg0")) << "kept after the commands";

  // Another device meanwhile: opened and closed per command, as without a reservation.
  EXPECT_EQ(Send(5), SS_COMP);
  EXPECT_EQ(OpensOf("/dev/sg1"), 1u);
  EXPECT_FALSE(sys->IsOpen("/dev/sg1"));

  // The reserved node renumbered: refused before SG_IO, and still held.
  sys->nodes["/dev/sg0"].id.scsi_id = 4;
  EXPECT_EQ(Send(2), SS_ERR);
  EXPECT_TRUE(bus->LastHint().find("run SCSI Rescan") != std::string::npos) << bus->LastHint();
  EXPECT_EQ(sys->seen.size(), 4u);
  EXPECT_TRUE(sys->IsOpen("/dev/sg0"));
  bus->Release();
  EXPECT_TRUE(sys->open_fds.empty());

  // Released: per-command opens again.
  sys->nodes["/dev/sg0"].id.scsi_id = 2;
  EXPECT_EQ(Send(2), SS_COMP);
  EXPECT_EQ(OpensOf("/dev/sg0"), 2u);
  EXPECT_TRUE(sys->open_fds.empty());
}

TEST_F(SgReserve, ANodeIsNotClosedUnderACommandInTheKernel) {
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  sys->Hold();
  auto s = Block(2, {0, 0, 0, 0, 0, 0}, 0);
  ASSERT_EQ(bus->BCSendASPI32Command(&s, buf.data()), SS_PENDING);
  sys->WaitInKernel();
  bus->Release();
  EXPECT_FALSE(sys->IsOpen("/dev/sr0"));
  EXPECT_TRUE(sys->IsOpen("/dev/sg0")) << "the command in the kernel still uses it";
  // Reserved again meanwhile: the node still open is taken back, not reopened
  // (an open would fail against it).
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_EQ(OpensOf("/dev/sg0"), 1u);
  bus->Release();
  sys->Release();
  EXPECT_EQ(Wait(s), SS_COMP);
  EXPECT_FALSE(sys->IsOpen("/dev/sg0")) << "closed by the time the block shows the end";
}

}  // namespace
}  // namespace qx::sg
