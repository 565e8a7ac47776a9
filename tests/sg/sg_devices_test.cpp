// The SG_IO device layer against a fake sysfs tree, mount table and scripted
// ioctls: the opens, SG_GET_SCSI_ID, the SG_IO request and what its answer
// comes to, errno, the mount table and the hold of a node.
#include "transport/sg/sg_devices.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "aspi/transport_state.h"
#include "sg_fake.h"
#include "tests/support/exec_command.h"
#include "transport/sg/sg_mapping.h"
#include "transport/sg/sg_mounts.h"

namespace qx::sg {
namespace {

using passthrough::Category;
using passthrough::Share;
using testing::SysfsTree;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// sg0 = 0:0:2:0, a CD drive (sr0, 11:0); sg1 = 0:0:5:0, a disk (sda, 8:0) with
// two partitions; sg2 = 0:0:6:0, a unit without a block device.
class SgDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.AddHost(0, "sym53c8xx\n", "7\n");
    tree.AddSg(0, "0:0:2:0");
    tree.AddSg(1, "0:0:5:0");
    tree.AddSg(2, "0:0:6:0");
    tree.AddBlock("0:0:2:0", "sr0", "11:0");
    tree.AddBlock("0:0:5:0", "sda", "8:0");
    tree.AddPartition("0:0:5:0", "sda", "sda1", "8:1");
    tree.AddPartition("0:0:5:0", "sda", "sda2", "8:2");
    tree.SetMountInfo("");
    sys = std::make_shared<testing::FakeSystem>(tree.root());
    sys->Node("/dev/sg0", 0, 0, 2);
    sys->Node("/dev/sg1", 0, 0, 5);
    sys->Node("/dev/sg2", 0, 0, 6);
    sys->nodes["/dev/sr0"];
    sys->nodes["/dev/sda"];
    devices = MakeSgDevices(sys);
    scan = devices->Enumerate();
  }
  const passthrough::Device& Dev(size_t i) const { return scan.devices.at(i); }
  std::unique_ptr<passthrough::Node> Open(size_t i, Share share = Share::kShared) {
    auto opened = devices->Open(Dev(i), share, 16384);
    EXPECT_TRUE(opened.node) << opened.failure.hint;
    return std::move(opened.node);
  }
  passthrough::TransferResult Transfer(const Bytes& cdb, uint32_t length) {
    return Open(0)->Transfer(qx::testing::CommandFor(cdb, length), data.data());
  }
  int FlagsOfLastOpen() const { return sys->flags_seen.back(); }

  SysfsTree tree;
  std::shared_ptr<testing::FakeSystem> sys;
  std::shared_ptr<passthrough::Devices> devices;
  passthrough::Scan scan;
  std::array<uint8_t, kDataBufSize> data{};
  const Bytes tur{0, 0, 0, 0, 0, 0};
  const Bytes inquiry{0x12, 0, 0, 0, 0x3A, 0};
  const Bytes write_buffer{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0};
};

TEST_F(SgDevicesTest, TheCommandBecomesOneSgIoOnTheNode) {
  std::fill(data.begin(), data.begin() + 16, 0xA5);
  const struct {
    Bytes cdb;
    uint32_t len;
    int direction;
    unsigned dxfer_len;
  } cases[] = {
      {inquiry, 58, SG_DXFER_FROM_DEV, 58},
      {write_buffer, 16384, SG_DXFER_TO_DEV, 16384},
      {{0, 0, 0, 0, 0, 0xC0}, 0, SG_DXFER_NONE, 0},
      {tur, 8, SG_DXFER_NONE, 0},  // a stray length
      {{0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0}, 0, SG_DXFER_NONE, 0},
      {{0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0}, 5, SG_DXFER_FROM_DEV, 5},
  };
  for (const auto& c : cases) {
    sys->seen.clear();
    auto node = Open(0);
    node->Transfer(qx::testing::CommandFor(c.cdb, c.len), data.data());
    ASSERT_EQ(sys->seen.size(), 1u);
    const testing::SeenIo& io = sys->seen[0];
    EXPECT_EQ(io.fd, sys->open_fds.begin()->first) << "on the node's own descriptor";
    EXPECT_EQ(io.cdb, c.cdb);
    EXPECT_EQ(io.direction, c.direction) << int{c.cdb[0]};
    EXPECT_EQ(io.dxfer_len, c.dxfer_len);
    EXPECT_EQ(io.dxferp, c.dxfer_len == 0 ? nullptr : data.data()) << "the buffer it was given";
    EXPECT_EQ(io.mx_sb_len, 255u);
    if (c.direction == SG_DXFER_TO_DEV) {
      EXPECT_EQ(io.data_out.at(15), 0xA5);
    }
  }
  EXPECT_EQ(FlagsOfLastOpen() & (O_ACCMODE | O_NONBLOCK | O_EXCL), O_RDWR | O_NONBLOCK);
  EXPECT_TRUE(sys->open_fds.empty()) << "closed with the node";
}

TEST_F(SgDevicesTest, TimeoutIsClampedToWhatSgAccepts) {
  for (auto [ms, want] : {std::pair<long long, unsigned>{4321, 4321u},
                          {0, 1u},
                          {-5, 1u},
                          {10'000'000'000LL, 0xFFFFFFFEu}}) {
    sys->seen.clear();
    const ExecCommand c = qx::testing::CommandFor(tur, 0, std::chrono::milliseconds(ms));
    Open(0)->Transfer(c, data.data());
    EXPECT_EQ(sys->seen.at(0).timeout, want) << ms;
  }
}

TEST_F(SgDevicesTest, TheAnswerBecomesTheResult) {
  const Bytes descriptor = {0x72, 2, 0x3A, 0, 0, 0, 0, 12, 0,    0x0A,
                            0x80, 0, 0,    0, 0, 0, 0, 0,  0x12, 0x34};
  const struct {
    const char* what;
    Bytes cdb;
    uint32_t len;
    testing::IoAnswer answer;
    Category category;
    uint8_t host_status;
    uint32_t residual;
    std::string detail;
  } cases[] = {
      {"a residual is no error",
       inquiry,
       58,
       {0, 0, 0, 0, {}, {'Q'}, 48},
       Category::kGood,
       0,
       48,
       ""},
      {"a residual below zero", inquiry, 58, {0, 0, 0, 0, {}, {}, -7}, Category::kGood, 0, 0, ""},
      {"a residual beyond the transfer",
       inquiry,
       58,
       {0, 0, 0, 0, {}, {}, 500},
       Category::kGood,
       0,
       58,
       ""},
      {"a short write",
       write_buffer,
       16384,
       {0, 0, 0, 0, {}, {}, 100},
       Category::kGood,
       0,
       100,
       ""},
      {"check condition",
       tur,
       0,
       {0, 0x02, 0, kDriverSense, descriptor, {}, 0},
       Category::kSense,
       0,
       0,
       ""},
      {"host timed out",
       tur,
       0,
       {0, 0, kDidTimeOut, 0, {}, {}, 0},
       Category::kTimeout,
       0x0B,
       0,
       "SG_IO on /dev/sg0 (0:0:2:0): status 0x00, host DID_TIME_OUT (0x03), driver 0x00, resid 0"},
      {"aborted",
       tur,
       0,
       {0, 0, kDidAbort, 0, {}, {}, 0},
       Category::kAborted,
       0,
       0,
       "SG_IO on /dev/sg0 (0:0:2:0): status 0x00, host DID_ABORT (0x05), driver 0x00, resid 0"},
      {"driver suggestion bits",
       tur,
       0,
       {0, 0, 0, 0x10, {}, {}, 0},
       Category::kGood,
       0,
       0,
       "SG_IO on /dev/sg0 (0:0:2:0): status 0x00, host DID_OK (0x00), driver 0x10, resid 0"},
  };
  for (const auto& c : cases) {
    sys->nodes["/dev/sg0"].answer = c.answer;
    std::fill(data.begin(), data.end(), 0);
    const passthrough::TransferResult r = Transfer(c.cdb, c.len);
    EXPECT_EQ(r.category, c.category) << c.what;
    EXPECT_EQ(r.scsi_status, c.answer.status) << c.what;
    EXPECT_EQ(r.host_status, c.host_status) << c.what;
    EXPECT_EQ(r.residual, c.residual) << c.what;
    EXPECT_EQ(Bytes(r.sense.begin(), r.sense.begin() + r.sense_len), c.answer.sense) << c.what;
    EXPECT_EQ(r.detail, c.detail) << c.what;
    EXPECT_EQ(data[0], c.answer.data.empty() ? 0 : c.answer.data[0]) << c.what;
  }
}

TEST_F(SgDevicesTest, OsErrorsBecomeFailures) {
  // Where the error comes: "open", "ioctl" (SG_IO) or "scsi_id" (SG_GET_SCSI_ID);
  // the failure, its hint in part. A vanished device answers like an absent target.
  const std::tuple<const char*, int, passthrough::Failure> cases[] = {
      {"open",
       EACCES,
       {EACCES, 0xE2, 0, "run as root or give your user read/write access to /dev/sg0"}},
      {"open", EBUSY, {EBUSY, 0xFD, 0, "in use"}},
      {"ioctl", ENOMEM, {ENOMEM, 0xE5, 0, "16384 bytes"}},
      {"ioctl", EINVAL, {EINVAL, 0xE0, 0, "largest transfer"}},
      {"ioctl", EIO, {EIO, 0xE4, 0, "/dev/sg0"}},
      {"scsi_id", ENOTTY, {ENOTTY, 0xE4, 0, "/dev/sg0"}},
      {"open", ENODEV, passthrough::Gone(ENODEV, "Rescan")},
      {"open", ENOENT, passthrough::Gone(ENOENT, "Rescan")},
      {"ioctl", ENODEV, passthrough::Gone(ENODEV, "Rescan")},
      {"scsi_id", ENODEV, passthrough::Gone(ENODEV, "Rescan")},
  };
  for (const auto& [where, err, want] : cases) {
    testing::FakeNode& n = sys->nodes["/dev/sg0"];
    const testing::FakeNode keep = n;
    (where == std::string("open")    ? n.open_err
     : where == std::string("ioctl") ? n.answer.err
                                     : n.scsi_id_err) = err;
    std::optional<passthrough::Failure> failure;
    auto opened = devices->Open(Dev(0), Share::kShared, 16384);
    if (!opened.node) {
      failure = opened.failure;
    } else if (where == std::string("scsi_id")) {
      failure = opened.node->Verify(16384);
    } else {
      const passthrough::TransferResult r =
          opened.node->Transfer(qx::testing::CommandFor(write_buffer, 16384), data.data());
      EXPECT_EQ(r.category, Category::kOsError);
      failure = r.os;
    }
    opened.node.reset();
    ASSERT_TRUE(failure) << where << " " << err;
    EXPECT_EQ(failure->status, want.status) << where << " " << err;
    EXPECT_EQ(failure->host_status, want.host_status) << where << " " << err;
    EXPECT_EQ(failure->error, want.error);
    EXPECT_TRUE(Has(failure->hint, want.hint)) << failure->hint;
    EXPECT_TRUE(sys->open_fds.empty());
    n = keep;
  }
}

// A node this user may only read is opened for reading when shared, so that
// the scan's INQUIRY passes; the kernel refuses the rest with EPERM, which the
// failure explains. An exclusive open needs write access and is refused.
TEST_F(SgDevicesTest, ANodeThisUserMayOnlyReadIsOpenedForReading) {
  sys->nodes["/dev/sg0"].read_only = true;
  auto node = Open(0);
  ASSERT_TRUE(node);
  EXPECT_EQ(FlagsOfLastOpen() & (O_ACCMODE | O_EXCL | O_NONBLOCK), O_RDONLY | O_NONBLOCK);
  EXPECT_EQ(node->Verify(0), std::nullopt);
  const auto inq = node->Transfer(qx::testing::CommandFor(inquiry, 58), data.data());
  EXPECT_EQ(inq.category, Category::kGood);
  const auto wb = node->Transfer(qx::testing::CommandFor(write_buffer, 16384), data.data());
  EXPECT_EQ(wb.category, Category::kOsError);
  EXPECT_EQ(wb.os.status, SS_SECURITY_VIOLATION);
  EXPECT_EQ(wb.os.error, EPERM);
  EXPECT_EQ(wb.os.hint,
            "/dev/sg0 is open for reading only: the kernel refuses this command on it; run as "
            "root or give your user read/write access to /dev/sg0");
  node.reset();
  auto exclusive = devices->Open(Dev(0), Share::kExclusive, 0);
  EXPECT_FALSE(exclusive.node);
  EXPECT_EQ(exclusive.failure.status, SS_SECURITY_VIOLATION);
  EXPECT_TRUE(Has(exclusive.failure.hint, "read/write access to /dev/sg0"));
  EXPECT_TRUE(sys->open_fds.empty());
}

TEST_F(SgDevicesTest, VerifyAsksTheNodesOwnDescriptor) {
  auto node = Open(0);
  EXPECT_EQ(node->Verify(0), std::nullopt);
  EXPECT_EQ(sys->scsi_id_fds, (std::vector<int>{sys->open_fds.begin()->first}));
  sys->nodes["/dev/sg0"].id.scsi_id = 5;  // sg0 now belongs to another device
  const std::optional<passthrough::Failure> f = node->Verify(0);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->status, SS_ERR);
  EXPECT_EQ(f->host_status, HASTAT_SEL_TO);
  EXPECT_EQ(f->hint, "/dev/sg0 is now 0:0:5:0, not 0:0:2:0 as at the last scan; run SCSI Rescan");
}

// The node is taken exclusively; the block device is never opened (its open
// and close make the kernel send media commands to the drive), the mount
// table answers for it.
TEST_F(SgDevicesTest, HeldExclusivelyUnlessOpenElsewhereOrMounted) {
  for (size_t i : {0, 1, 2}) {  // a CD drive, a disk, a unit without a block device
    auto node = Open(i, Share::kExclusive);
    EXPECT_EQ(FlagsOfLastOpen() & (O_ACCMODE | O_EXCL | O_NONBLOCK), O_RDWR | O_EXCL | O_NONBLOCK);
    EXPECT_EQ(node->Hold(), std::nullopt) << i;
  }
  EXPECT_EQ(std::count(sys->opens.begin(), sys->opens.end(), "/dev/sr0") +
                std::count(sys->opens.begin(), sys->opens.end(), "/dev/sda"),
            0);

  const std::string mounted =
      "30 21 11:0 / /media/my\\040cd ro - iso9660 /dev/sr0 ro\n"
      "31 21 11:0 / /mnt ro - iso9660 /dev/sr0 ro\n"
      "32 21 8:2 / /mnt/part ro - iso9660 /dev/sda2 ro\n";
  const struct {
    const char* name;
    size_t device;
    std::function<void()> arrange;
    std::string want;
  } cases[] = {
      {"open elsewhere", 0, [&] { sys->nodes["/dev/sg0"].open_err = EBUSY; },
       "/dev/sg0 is open in another program"},
      {"no access", 0, [&] { sys->nodes["/dev/sg0"].open_err = EACCES; },
       "run as root or give your user read/write access to /dev/sg0"},
      {"mounted", 0, [] {}, "/dev/sr0 is mounted at /media/my cd, /mnt"},
      {"mounted many times", 0,
       [&] {
         std::string table = mounted;
         for (int i = 0; i < 6; ++i)
           table += "4" + std::to_string(i) + " 21 11:0 / /m" + std::to_string(i) +
                    " ro - iso9660 /dev/sr0 ro\n";
         tree.SetMountInfo(table);
       },
       "/dev/sr0 is mounted at /media/my cd, /mnt, /m0, /m1, /m2 and 3 more"},
      {"a partition mounted", 1, [] {}, "/dev/sda is mounted at /mnt/part"},
  };
  tree.SetMountInfo(mounted);
  for (const auto& c : cases) {
    c.arrange();
    auto opened = devices->Open(Dev(c.device), Share::kExclusive, 0);
    const std::optional<std::string> refused =
        opened.node ? opened.node->Hold() : std::optional(opened.failure.hint);
    opened.node.reset();
    ASSERT_TRUE(refused) << c.name;
    EXPECT_EQ(refused->rfind(c.want, 0), 0u) << c.name << ": " << *refused;
    EXPECT_EQ(refused->find('\n'), std::string::npos) << c.name;
    EXPECT_TRUE(sys->open_fds.empty()) << c.name;
    sys->nodes["/dev/sg0"].open_err = 0;
    tree.SetMountInfo(mounted);
  }
}

TEST_F(SgDevicesTest, MountPointsAreFoundByDeviceNumber) {
  // The source names are decoys: only the device numbers (field 3) count.
  tree.SetMountInfo(
      "21 1 0:20 / /proc rw - proc proc rw\n"
      "30 21 11:0 / /media/my\\040cd ro - iso9660 /dev/sr0 ro\n"
      "31 21 8:1 / /boot rw - ext4 /dev/sda1 rw\n"
      "32 21 8:16 / /other rw - ext4 /dev/sda rw\n"
      "33 21 0:45 / /fake rw - tmpfs /dev/sr0 rw\n"
      "34 21 8:2 / / rw - ext4 /dev/root rw\n"
      "35 21 8:2 /srv /srv rw - ext4 /dev/root rw\n");
  EXPECT_EQ(devices->MountPoints(Dev(0)), Strings{"/media/my cd"}) << "the CD drive";
  EXPECT_EQ(devices->MountPoints(Dev(1)), (Strings{"/boot", "/", "/srv"}))
      << "the disk's partitions, a bind mount too";
  EXPECT_EQ(devices->MountPoints(Dev(2)), Strings{}) << "no block device";

  tree.SetMountInfo("21 1 0:20 / /proc rw - proc proc rw\n");
  EXPECT_EQ(devices->MountPoints(Dev(0)), Strings{}) << "nothing mounted";

  // A long table (thousands of mounts) is read to its end.
  std::string table;
  for (int i = 0; i < 3000; ++i) {
    table += std::to_string(100 + i) + " 21 0:" + std::to_string(100 + i) + " / /run/c" +
             std::to_string(i) + " rw - tmpfs tmpfs rw\n";
  }
  tree.SetMountInfo(table + "9 21 11:0 / /last ro - iso9660 /dev/sr0 ro\n");
  EXPECT_EQ(devices->MountPoints(Dev(0)), Strings{"/last"});
  EXPECT_TRUE(sys->opens.empty()) << "found without opening anything";
}

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

}  // namespace
}  // namespace qx::sg
