// Enumeration and the SG_IO backend against a fake sysfs tree and scripted ioctls.
#include "transport/sg/sg_bus.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <memory>
#include <thread>

#include "aspi/executor.h"
#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "sg_fake.h"
#include "transport/sg/sg_mapping.h"

namespace qx::sg {
namespace {

using testing::FakeSystem;
using testing::SysfsTree;
using Bytes = std::vector<uint8_t>;

testing::FakeNode Fresh(const sg_scsi_id& id) {
  testing::FakeNode n;
  n.id = id;
  return n;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SgHctl, Parses) {
  EXPECT_EQ(ParseHctl("12:3:15:7"), (Hctl{12, 3, 15, 7}));
  EXPECT_EQ(ParseHctl("0:0:0:4294967296"), (Hctl{0, 0, 0, 1ull << 32}));
  for (const char* bad : {"0:0:2", "0:0:2:0:1", "0:-1:2:0", "a:0:2:0", "0::2:0", ""}) {
    EXPECT_FALSE(ParseHctl(bad).has_value()) << bad;
  }
}

class SgTopology : public ::testing::Test {
 protected:
  Topology Read() {
    FakeSystem sys(tree.root());
    return ReadTopology(sys);
  }
  SysfsTree tree;
};

TEST_F(SgTopology, HostsWithGapsBecomeConsecutiveAdapters) {
  tree.AddHost(5, "ahci\n");
  tree.AddHost(0, "sym53c8xx\n", "7\n");
  tree.AddHost(2, "scsi_debug\n");
  tree.AddSg(4, "5:0:0:0");
  tree.AddSg(1, "0:0:5:0");
  tree.AddSg(0, "0:0:2:0");
  tree.AddSg(7, "not-an-address");
  tree.AddSg(8, "0:1:1:0");  // channel 1
  tree.AddSg(9, "0:0:9:0");  // beyond the scan
  const Topology t = Read();
  ASSERT_EQ(t.adapters.size(), 3u);
  EXPECT_EQ(t.adapters[1].host_no, 2u);
  EXPECT_EQ(t.adapters[2].host_no, 5u);
  EXPECT_EQ(t.adapters[0].proc_name, "sym53c8xx");
  EXPECT_EQ(t.Find(0, 2, 0)->node, "sg0");
  EXPECT_EQ(t.Find(0, 5, 0)->node, "sg1");
  EXPECT_EQ(t.Find(0, 9, 0)->node, "sg9");
  EXPECT_EQ(t.Find(2, 0, 0)->node, "sg4");
  EXPECT_EQ(t.Find(0, 1, 0), nullptr) << "channel 1 is not mapped";
  EXPECT_EQ(t.Find(0, 2, 1), nullptr);
  EXPECT_EQ(t.Find(1, 0, 0), nullptr);
  EXPECT_EQ(t.Find(3, 0, 0), nullptr);
  const std::string w = t.Warning();
  EXPECT_TRUE(Has(w, "sg7 has no SCSI address")) << w;
  EXPECT_TRUE(Has(w, "sg8 (0:1:1:0)") && Has(w, "channel 1")) << w;
  EXPECT_TRUE(Has(w, "target ID 9")) << w;
}

TEST_F(SgTopology, MoreThanEightHostsKeepThoseWithDrivesFirst) {
  // AHCI has one host per port; empty ports must not crowd a drive out.
  for (int h = 0; h < 10; ++h) tree.AddHost(h, h == 9 ? "usb-storage" : "ahci");
  tree.AddSg(0, "3:0:0:0");
  tree.AddSg(1, "9:0:0:0");
  Topology t = Read();
  std::vector<uint32_t> hosts;
  for (const Adapter& a : t.adapters) hosts.push_back(a.host_no);
  EXPECT_EQ(hosts, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 9}));
  EXPECT_EQ(t.Find(7, 0, 0)->node, "sg1");
  EXPECT_TRUE(Has(t.Warning(), "More than eight SCSI hosts")) << t.Warning();
  EXPECT_TRUE(Has(t.Warning(), "host7 (ahci) host8 (ahci)")) << t.Warning();

  tree.RemoveSg(0);
  tree.RemoveSg(1);
  t = Read();
  ASSERT_EQ(t.adapters.size(), 8u);
  EXPECT_EQ(t.adapters[7].host_no, 7u) << "without drives: the first eight";
}

TEST_F(SgTopology, NothingFoundSuggestsTheDriver) {
  EXPECT_TRUE(Read().adapters.empty());
  EXPECT_TRUE(Has(Read().Warning(), "modprobe sg"));
  tree.AddSg(0, "4:0:1:0");  // a host sysfs does not list still maps
  EXPECT_EQ(Read().adapters.at(0).proc_name, "unknown");
}

TEST_F(SgTopology, HostIdOnlyWhenTheKernelGivesOne) {
  const std::pair<const char*, uint8_t> cases[] = {
      {"7\n", 7}, {"0\n", 0}, {"15\n", 15}, {"-1\n", 7}, {"16\n", 7}, {"junk", 7}, {"", 7}};
  for (const auto& [text, want] : cases) {
    tree.AddHost(0, "x", text);
    if (*text == '\0') std::filesystem::remove(tree.root() + kSysScsiHost + "/host0/this_id");
    EXPECT_EQ(Read().adapters.at(0).scsi_id, want) << text;
  }
}

// ---- The bus -------------------------------------------------------------------

class SgBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTransportState();
    tree.AddHost(0, "sym53c8xx\n", "7\n");
    tree.AddHost(1, "virtio_scsi\n");
    tree.AddSg(0, "0:0:2:0");
    tree.AddSg(1, "1:0:0:0");
    sys = std::make_shared<FakeSystem>(tree.root());
    sys->Node("/dev/sg0", 0, 0, 2);
    sys->Node("/dev/sg1", 1, 0, 0);
    bus = std::make_shared<SgBus>(sys);
  }
  void TearDown() override {
    InstallAspiManager(nullptr);
    ResetTransportState();
  }
  SRB_ExecSCSICmd Block(uint8_t ha, uint8_t target, const Bytes& cdb, uint32_t len,
                        uint8_t lun = 0) {
    SRB_ExecSCSICmd s{};
    s.SRB_Cmd = SC_EXEC_SCSI_CMD;
    s.SRB_HaId = ha;
    s.SRB_Target = target;
    s.SRB_Lun = lun;
    s.SRB_BufLen = len;
    s.SRB_BufPointer = 0xDEADBEEF;  // must not be used
    s.SRB_SenseLen = kSenseLen;
    s.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    std::memcpy(s.CDBByte, cdb.data(), cdb.size());
    return s;
  }
  // Submits the block and, when the worker runs it, waits for the completion the
  // way the executor does. Returns the final status.
  int32_t Send(SRB_ExecSCSICmd& s) {
    const int32_t r = bus->BCSendASPI32Command(&s, buf.data());
    return r == SS_PENDING ? Wait(s) : r;
  }
  static uint8_t Wait(const SRB_ExecSCSICmd& s) {
    while (LoadSrbStatus(&s) == SS_PENDING) std::this_thread::yield();
    return LoadSrbStatus(&s);
  }
  SRB_HAInquiry Inquire(uint8_t ha, int32_t* result) {
    SRB_HAInquiry q{};
    q.SRB_Cmd = SC_HA_INQUIRY;
    q.SRB_HaId = ha;
    *result = bus->BCSendASPI32Command(&q, buf.data());
    return q;
  }

  SysfsTree tree;
  std::shared_ptr<FakeSystem> sys;
  std::shared_ptr<SgBus> bus;
  std::array<uint8_t, kDataBufSize> buf{};
  const Bytes tur{0, 0, 0, 0, 0, 0};
  const Bytes inquiry{0x12, 0, 0, 0, 0x3A, 0};
  const Bytes write_buffer{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0};
};

TEST_F(SgBusTest, HostAdapterInquiryIsCompleteOnReturn) {
  EXPECT_EQ(bus->GetASPI32SupportInfo(), 0x0102u);
  tree.AddHost(1, "a_driver_name_of_thirty_chars_");
  int32_t r = 0;
  SRB_HAInquiry q = Inquire(0, &r);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(q.SRB_Status, 1);
  EXPECT_EQ(q.HA_Count, 2);
  EXPECT_EQ(q.HA_SCSI_ID, 7);
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_ManagerId), "Linux SG_IO");
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), "sym53c8xx");
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Unique), "host0");
  q = Inquire(1, &r);
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), "a_driver_name_o");
  EXPECT_EQ(q.HA_SCSI_ID, 7) << "this_id -1";
  for (uint8_t ha : {2, 7, 200}) {
    q = Inquire(ha, &r);
    EXPECT_EQ(r, SS_INVALID_HA);
    EXPECT_EQ(q.SRB_Status, SS_INVALID_HA);
    auto s = Block(ha, 0, tur, 0);
    EXPECT_EQ(Send(s), SS_INVALID_HA);
    EXPECT_EQ(LoadSrbStatus(&s), SS_INVALID_HA);
  }
}

TEST_F(SgBusTest, MapIsReadOncePerScanNotPerCommand) {
  tree.AddSg(2, "1:0:3:0");
  sys->Node("/dev/sg2", 1, 0, 3);
  auto s = Block(1, 3, tur, 0);
  Send(s);
  EXPECT_EQ(s.SRB_HaStat, 0x11) << "a command does not rescan";
  int32_t r = 0;
  Inquire(1, &r);
  s = Block(1, 3, tur, 0);
  Send(s);
  EXPECT_EQ(s.SRB_HaStat, 0x11) << "only adapter 0 starts a scan";
  Inquire(0, &r);
  s = Block(1, 3, tur, 0);
  EXPECT_EQ(Send(s), SS_COMP);
}

TEST_F(SgBusTest, AbsentTargetOrLunIsSelectionTimeout) {
  for (auto [target, lun] : {std::pair<uint8_t, uint8_t>{3, 0}, {2, 1}, {7, 0}}) {
    auto s = Block(0, target, inquiry, 58, lun);
    EXPECT_EQ(Send(s), SS_ERR);
    EXPECT_EQ(LoadSrbStatus(&s), SS_ERR);
    EXPECT_EQ(s.SRB_HaStat, 0x11);
  }
  EXPECT_TRUE(sys->opens.empty()) << "there is no node to send to";
}

TEST_F(SgBusTest, InquiryReadsIntoTheBufferArgument) {
  ExecTimeout = std::chrono::milliseconds(4321);
  sys->nodes["/dev/sg0"].answer.data = {5, 0x80, 2, 2, 0x21, 0, 0, 0, 'Q', 'X'};
  sys->nodes["/dev/sg0"].answer.resid = 48;  // a residual is no error
  auto s = Block(0, 2, inquiry, 58);
  EXPECT_EQ(Send(s), SS_COMP);
  EXPECT_EQ(LoadSrbStatus(&s), SS_COMP);
  ASSERT_EQ(sys->seen.size(), 1u);
  const auto& io = sys->seen[0];
  EXPECT_EQ(io.direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(io.dxfer_len, 58u);
  EXPECT_NE(io.dxferp, buf.data()) << "SG_IO uses the backend's own buffer";
  EXPECT_EQ(io.cdb, inquiry);
  EXPECT_EQ(io.timeout, 4321u);
  EXPECT_EQ(buf[8], 'Q');
  EXPECT_EQ(sys->open_flags & (O_ACCMODE | O_NONBLOCK), O_RDWR | O_NONBLOCK);
  EXPECT_TRUE(sys->open_fds.empty()) << "the node is closed again";
}

TEST_F(SgBusTest, DirectionAndDataReachSgIo) {
  std::fill(buf.begin(), buf.begin() + 16, 0xA5);
  const struct {
    Bytes cdb;
    uint32_t len;
    int direction;
  } cases[] = {
      {write_buffer, 16384, SG_DXFER_TO_DEV},
      {{0, 0, 0, 0, 0, 0xC0}, 0, SG_DXFER_NONE},
      {{0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0}, 0, SG_DXFER_NONE},
      {{0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0}, 5, SG_DXFER_FROM_DEV},
  };
  for (const auto& c : cases) {
    sys->seen.clear();
    auto s = Block(0, 2, c.cdb, c.len);
    Send(s);
    ASSERT_EQ(sys->seen.size(), 1u);
    EXPECT_EQ(sys->seen[0].direction, c.direction);
    EXPECT_EQ(sys->seen[0].dxfer_len, c.direction == SG_DXFER_NONE ? 0 : c.len);
    if (c.direction == SG_DXFER_TO_DEV) {
      EXPECT_EQ(sys->seen[0].data_out.at(15), 0xA5);
    }
  }
}

TEST_F(SgBusTest, AShortWriteIsNotASentBlock) {
  for (auto& [path, n] : sys->nodes) n.answer.resid = 100;
  auto s = Block(0, 2, write_buffer, 16384);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, 0x12);
  EXPECT_TRUE(Has(bus->LastHint(), "100 of 16384 bytes")) << bus->LastHint();
  // A read that returns less than asked is fine.
  auto r = Block(0, 2, {0x12, 0, 0, 0, 0x3A, 0}, 58);
  EXPECT_EQ(Send(r), SS_COMP);
}

TEST_F(SgBusTest, CheckConditionFillsFixedSenseWithinSenseLen) {
  auto& a = sys->nodes["/dev/sg1"].answer;
  a.status = 0x02;
  a.driver = kDriverSense;
  a.sense = {0x72, 2, 0x3A, 0, 0, 0, 0, 12, 0, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};
  auto s = Block(1, 0, tur, 0);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, 0);
  EXPECT_EQ(s.SRB_TargStat, 0x02);
  EXPECT_EQ(Bytes(s.SenseArea, s.SenseArea + 14),
            (Bytes{0xF0, 0, 2, 0, 0, 0x12, 0x34, 10, 0, 0, 0, 0, 0x3A, 0}));
  EXPECT_EQ(sys->seen[0].mx_sb_len, 255u);

  a.sense.assign(32, 0x44);
  a.sense[0] = 0x70;
  s = Block(1, 0, tur, 0);
  s.SRB_SenseLen = 8;
  Send(s);
  EXPECT_EQ(s.SenseArea[7], 0x44);
  EXPECT_EQ(s.SenseArea[8], 0);
}

TEST_F(SgBusTest, HostCodesReachTheBlock) {
  auto& a = sys->nodes["/dev/sg1"].answer;
  a.host = kDidTimeOut;
  auto s = Block(1, 0, tur, 0);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, 0x0B);
  EXPECT_TRUE(Has(bus->LastHint(), "DID_TIME_OUT")) << bus->LastHint();
  a.host = kDidAbort;
  s = Block(1, 0, tur, 0);
  EXPECT_EQ(Send(s), SS_ABORTED);
  EXPECT_EQ(LoadSrbStatus(&s), SS_ABORTED);
}

TEST_F(SgBusTest, OsErrorsBecomeSubmissionResults) {
  const struct {
    const char* where;
    int err;
    int32_t result;
    uint8_t ha_stat;
    const char* hint;
  } cases[] = {
      {"open", EACCES, 0xE2, 0, "run as root or give your user read/write access to /dev/sg0"},
      {"open", EBUSY, 0xFD, 0, "in use"},
      {"ioctl", ENOMEM, 0xE5, 0, "16384 bytes"},
      {"ioctl", EINVAL, 0xE0, 0, "largest transfer"},
      {"ioctl", EIO, 0xE4, 0, "/dev/sg0"},
      {"scsi_id", ENOTTY, 0xE4, 0, "/dev/sg0"},
      // A vanished device answers like an absent target.
      {"open", ENODEV, SS_ERR, 0x11, "Rescan"},
      {"open", ENOENT, SS_ERR, 0x11, "Rescan"},
      {"ioctl", ENODEV, SS_ERR, 0x11, "Rescan"},
      {"scsi_id", ENODEV, SS_ERR, 0x11, "Rescan"},
  };
  const sg_scsi_id id = sys->nodes["/dev/sg0"].id;
  for (const auto& c : cases) {
    testing::FakeNode& n = sys->nodes["/dev/sg0"];
    n = Fresh(id);
    const std::string where = c.where;
    (where == "open" ? n.open_err : where == "ioctl" ? n.answer.err : n.scsi_id_err) = c.err;
    auto s = Block(0, 2, write_buffer, 16384);
    // Found before the command is queued, so the call itself returns it (the
    // executor describes a failure by the submission's result).
    const int32_t submitted = bus->BCSendASPI32Command(&s, buf.data());
    if (where != "ioctl") {
      EXPECT_EQ(submitted, c.result) << where << " " << c.err;
    }
    if (submitted == SS_PENDING) Wait(s);
    EXPECT_EQ(LoadSrbStatus(&s), c.result) << where << " " << c.err;
    EXPECT_EQ(s.SRB_HaStat, c.ha_stat) << where << " " << c.err;
    EXPECT_EQ(bus->LastErrno(), c.err);
    EXPECT_TRUE(Has(bus->LastHint(), c.hint)) << bus->LastHint();
    EXPECT_TRUE(sys->open_fds.empty());
  }
  sys->nodes["/dev/sg0"] = Fresh(id);
  auto s = Block(0, 2, tur, 0);
  EXPECT_EQ(Send(s), SS_COMP);
  EXPECT_EQ(bus->LastErrno(), 0);
  EXPECT_EQ(bus->LastHint(), "");
}

TEST_F(SgBusTest, RenumberedNodeIsNotWrittenTo) {
  sys->nodes["/dev/sg0"].id.scsi_id = 5;  // sg0 now belongs to another device
  auto s = Block(0, 2, write_buffer, 16384);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, 0x11);
  EXPECT_TRUE(sys->seen.empty());
  EXPECT_TRUE(Has(bus->LastHint(), "Rescan"));
}

TEST_F(SgBusTest, BadBlocksAreRefusedBeforeTheDevice) {
  auto s = Block(0, 2, {0x12, 0, 0, 0}, 58);
  EXPECT_EQ(Send(s), 0xE0);
  EXPECT_EQ(LoadSrbStatus(&s), 0xE0);
  s = Block(0, 2, inquiry, 58);
  s.SRB_CDBLen = 17;
  EXPECT_EQ(Send(s), 0xE0);
  s = Block(0, 2, {0xDF, 0, 0xE0, 0, 0x0A, 0, 0, 0, 0, 0, 0x10, 0x80}, kDataBufSize + 1);
  EXPECT_EQ(Send(s), 0xE6);
  s = Block(0, 2, inquiry, 58);
  EXPECT_EQ(bus->BCSendASPI32Command(&s, nullptr), 0xE0);
  SRB_Header h{};
  h.SRB_Cmd = 0x05;
  EXPECT_EQ(bus->BCSendASPI32Command(&h, buf.data()), 0x80);
  EXPECT_EQ(LoadSrbStatus(&h), 0x80);
  EXPECT_EQ(bus->BCSendASPI32Command(nullptr, buf.data()), 0xFB);
  EXPECT_TRUE(sys->seen.empty());
}

TEST_F(SgBusTest, RefusalsSayWhyAndClearTheLastOsError) {
  const auto execute = [this](uint8_t ha, const Bytes& cdb, uint32_t len, uint8_t* buffer) {
    auto s = Block(ha, 2, cdb, len);
    return bus->BCSendASPI32Command(&s, buffer);
  };
  const std::string size = std::to_string(kDataBufSize);
  const struct {
    std::function<int32_t()> send;
    int32_t result;
    std::string hint;
  } cases[] = {
      {[&] { return execute(2, tur, 0, buf.data()); }, SS_INVALID_HA,
       "no SCSI host behind adapter 2"},
      {[&] {
         int32_t r = 0;
         Inquire(2, &r);
         return r;
       },
       SS_INVALID_HA, "no SCSI host behind adapter 2"},
      {[&] {
         return execute(0, {0x12, 0, 0, 0}, 58, buf.data());
       },
       0xE0, "CDB length 4 is outside 6-16"},
      {[&] { return execute(0, inquiry, kDataBufSize + 1, buf.data()); }, 0xE6,
       "transfer length " + std::to_string(kDataBufSize + 1) + " is larger than the " + size +
           "-byte data buffer"},
      {[&] { return execute(0, inquiry, 58, nullptr); }, 0xE0, "transfer without a data buffer"},
      {[&] {
         SRB_Header h{};
         h.SRB_Cmd = 0x05;
         return bus->BCSendASPI32Command(&h, buf.data());
       },
       0x80, "request code 0x05 is not supported (only host adapter inquiry and execute)"},
  };
  for (const auto& c : cases) {
    sys->nodes["/dev/sg0"].open_err = EACCES;
    auto failed = Block(0, 2, tur, 0);
    Send(failed);
    ASSERT_EQ(bus->LastErrno(), EACCES);
    EXPECT_EQ(c.send(), c.result) << c.hint;
    EXPECT_EQ(bus->LastErrno(), 0) << c.hint;
    EXPECT_EQ(bus->LastHint(), c.hint);
  }
}

TEST_F(SgBusTest, TimeoutIsClampedToWhatSgAccepts) {
  for (auto [ms, want] :
       {std::pair<long long, unsigned>{0, 1u}, {-5, 1u}, {10'000'000'000LL, 0xFFFFFFFEu}}) {
    ExecTimeout = std::chrono::milliseconds(ms);
    sys->seen.clear();
    auto s = Block(0, 2, tur, 0);
    Send(s);
    EXPECT_EQ(sys->seen.at(0).timeout, want) << ms;
  }
}

TEST_F(SgBusTest, BytesTheDeviceDidNotReturnReadZero) {
  // INQUIRY for 58 bytes; the device returns `returned` of them (resid says how
  // many it did not), into a buffer that still holds an older answer.
  for (int returned : {0, 5, 32, 36, 58}) {
    auto& a = sys->nodes["/dev/sg0"].answer;
    a.data.assign(static_cast<size_t>(returned), 0x41);
    a.resid = 58 - returned;
    std::fill(buf.begin(), buf.end(), 0xEE);
    auto s = Block(0, 2, inquiry, 58);
    ASSERT_EQ(Send(s), SS_COMP) << returned;
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + returned), Bytes(returned, 0x41)) << returned;
    EXPECT_EQ(Bytes(buf.begin() + returned, buf.begin() + 58), Bytes(58 - returned, 0)) << returned;
    EXPECT_EQ(buf[58], 0xEE) << "nothing past SRB_BufLen";
  }
  // A residual count outside 0..dxfer_len is clamped; a failed request
  // returned nothing.
  const std::pair<int, int> odd[] = {{-7, 58}, {500, 0}};
  for (auto [resid, returned] : odd) {
    auto& a = sys->nodes["/dev/sg0"].answer;
    a.data.assign(58, 0x41);
    a.resid = resid;
    std::fill(buf.begin(), buf.end(), 0xEE);
    auto s = Block(0, 2, inquiry, 58);
    Send(s);
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 58, 0x41), returned) << resid;
  }
  sys->nodes["/dev/sg0"].answer.err = EIO;
  std::fill(buf.begin(), buf.end(), 0xEE);
  auto s = Block(0, 2, inquiry, 58);
  EXPECT_EQ(Send(s), 0xE4);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 58), Bytes(58, 0));
}

TEST_F(SgBusTest, CancelledRequestIsNeverWrittenAfterALateCompletion) {
  sys->nodes["/dev/sg0"].answer.data.assign(58, 0x41);
  sys->Hold();
  std::fill(buf.begin(), buf.end(), 0xEE);
  auto s = Block(0, 2, inquiry, 58);
  EXPECT_EQ(bus->BCSendASPI32Command(&s, buf.data()), SS_PENDING);
  sys->WaitInKernel();
  EXPECT_EQ(LoadSrbStatus(&s), SS_PENDING);
  bus->Cancel(&s);  // returns while the command is still in the kernel
  const SRB_ExecSCSICmd before = s;
  sys->Release();
  // The worker runs one request at a time: once the next one is complete, the
  // cancelled one has been dropped.
  std::array<uint8_t, kDataBufSize> other{};
  auto next = Block(1, 0, tur, 0);
  bus->BCSendASPI32Command(&next, other.data());
  EXPECT_EQ(Wait(next), SS_COMP);
  EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xEE), kDataBufSize);
  EXPECT_EQ(sys->seen.size(), 2u);
}

TEST_F(SgBusTest, StopSignalsAreBlockedOnTheWorkerOnly) {
  sigset_t before, after;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  auto s = Block(0, 2, tur, 0);
  EXPECT_EQ(Send(s), SS_COMP);
  ASSERT_EQ(sys->seen.size(), 1u);
  EXPECT_TRUE(sys->seen[0].stop_signals_blocked);
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
  }
}

TEST_F(SgBusTest, DestructionWaitsForTheCommandInTheKernel) {
  auto own = std::make_unique<SgBus>(sys);
  sys->Hold();
  auto first = Block(0, 2, tur, 0);
  auto second = Block(1, 0, tur, 0);
  EXPECT_EQ(own->BCSendASPI32Command(&first, buf.data()), SS_PENDING);
  EXPECT_EQ(own->BCSendASPI32Command(&second, buf.data()), SS_PENDING);
  sys->WaitInKernel();
  std::thread destroy([&] { own.reset(); });
  sys->Release();
  destroy.join();
  EXPECT_EQ(LoadSrbStatus(&first), SS_COMP);
  EXPECT_NE(LoadSrbStatus(&second), SS_PENDING) << "queued: run, or ended as aborted";
}

TEST_F(SgBusTest, NotesNameWhatTheScanLeavesOutOneLinePerNote) {
  const auto lines = [](const std::string& text) {
    return text.empty() ? 0 : std::count(text.begin(), text.end(), '\n') + 1;
  };
  SysfsTree empty;
  SgBus none(std::make_shared<FakeSystem>(empty.root()));
  EXPECT_TRUE(Has(none.Notes(), "load the sg driver: modprobe sg")) << none.Notes();
  EXPECT_EQ(lines(none.Notes()), 1);

  for (int h = 2; h < 10; ++h) tree.AddHost(h, "ahci\n");
  tree.AddSg(2, "0:1:4:0");  // channel 1
  tree.AddSg(3, "4:0:0:0");
  SgBus many(sys);
  const std::string notes = many.Notes();
  EXPECT_TRUE(Has(notes, "not shown: host8 (ahci) host9 (ahci)")) << notes;
  EXPECT_TRUE(Has(notes, "sg2 (0:1:4:0)")) << notes;
  EXPECT_EQ(lines(notes), 2) << notes;
  EXPECT_EQ(bus->Notes(), "") << "everything mapped";
}

// Through the executor, converted sense reads as the system's own text.
TEST_F(SgBusTest, ExecutorReadsConvertedSense) {
  auto& a = sys->nodes["/dev/sg1"].answer;
  a.status = 0x02;
  a.driver = kDriverSense;
  a.sense = {0x72, 0x02, 0x3A, 0x00, 0, 0, 0, 0};
  InstallAspiManager(bus);
  SelectedHaId = 1;
  SelectedTargetId = 0;
  Cdb cdb{};
  EXPECT_EQ(ExecScsiCmd("TestUnitReady", 0, cdb, 6), SS_ERR);
  EXPECT_EQ(ErrMsg, "TestUnitReady 3A(00)00:MEDIUM NOT PRESENT");
  SelectedTargetId = 4;
  EXPECT_EQ(ExecScsiCmd("Inquiry", 0, cdb, 6), SS_ERR);
  EXPECT_EQ(ErrMsg, "InquirySelection Timeout.");
}

}  // namespace
}  // namespace qx::sg
