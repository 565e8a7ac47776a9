// The SCSI pass-through backend against scripted DeviceIoControl answers: the
// request structure, alignment, the buffered fallback, sense, status mapping,
// short transfers, verification before each command, and cancel.
#include "transport/spti/spti_bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "aspi/executor.h"
#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "spti_fake.h"

namespace qx::spti {
namespace {

using testing::Caps;
using testing::FakeSystem;
using testing::FakeUnit;
using testing::InquiryData;
using Bytes = std::vector<uint8_t>;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Adapter 0 = port 0 bus 0: CdRom0 at target 2 (also letter D:), an unclaimed
// unit at target 3 reached through \\.\Scsi0:; adapter 1 = port 2 bus 0 (wine's
// letters): F: at target 0; adapter 2 = no SCSI address: M: at target 0.
class SptiBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTransportState();
    sys = std::make_shared<FakeSystem>();
    sys->Node(L"\\\\.\\Scsi0:").inquiry_data = InquiryData(
        {7}, {{0, 2, 0, true, "QX      R4410"}, {0, 3, 0, false, "ACME    PROCESSOR", 3}});
    sys->Node(L"\\\\.\\Scsi0:").caps = Caps(65536, 0, 0);
    auto& cd = sys->Node(L"\\\\.\\CdRom0", {0, 0, 2, 0});
    cd.caps = Caps(65536, 17, 1);
    cd.number = DeviceNumber{FILE_DEVICE_CD_ROM, 0};
    sys->drive_types[L'D'] = DRIVE_CDROM;
    sys->Node(L"\\\\.\\D:", {0, 0, 2, 0});
    sys->Node(L"\\\\.\\F:", {2, 0, 0, 0}).caps = Caps(32768, 8, 0x1000);
    auto& m = sys->Node(L"\\\\.\\M:");
    m.number = DeviceNumber{FILE_DEVICE_DISK, 1};
    m.caps = Caps(32768, 8, 0x1000);
    bus = std::make_shared<SptiBus>(sys);
    sys->ioctls.clear();
    sys->ioctl_threads.clear();
    sys->opens.clear();
    sys->open_threads.clear();
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
  testing::FakeAnswer& Answer(const std::wstring& path) { return sys->nodes[path].answer; }

  std::shared_ptr<FakeSystem> sys;
  std::shared_ptr<SptiBus> bus;
  std::array<uint8_t, kDataBufSize> buf{};
  const Bytes tur{0, 0, 0, 0, 0, 0};
  const Bytes inquiry{0x12, 0, 0, 0, 0x3A, 0};
  const Bytes write_buffer{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0};
  const Bytes read_long{0xDF, 0, 0xE0, 0, 0x0A, 0, 0, 0, 0, 0, 0x10, 0x80};
};

TEST_F(SptiBusTest, HostAdapterInquiryIsCompleteOnReturn) {
  EXPECT_EQ(bus->GetASPI32SupportInfo(), 0x0103u);
  int32_t r = 0;
  SRB_HAInquiry q = Inquire(0, &r);
  EXPECT_EQ(r, SS_COMP);
  EXPECT_EQ(q.SRB_Status, SS_COMP);
  EXPECT_EQ(q.HA_Count, 3);
  EXPECT_EQ(q.HA_SCSI_ID, 7);
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_ManagerId), "Windows SPTI");
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), "port 0 bus 0");
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Unique), "unknown bus");
  q = Inquire(2, &r);
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), "no SCSI address");
  for (uint8_t ha : {3, 7, 200}) {
    q = Inquire(ha, &r);
    EXPECT_EQ(r, SS_INVALID_HA);
    EXPECT_EQ(q.SRB_Status, SS_INVALID_HA);
    auto s = Block(ha, 0, tur, 0);
    EXPECT_EQ(Send(s), SS_INVALID_HA);
    EXPECT_EQ(LoadSrbStatus(&s), SS_INVALID_HA);
  }
  EXPECT_TRUE(Has(bus->LastHint(), "no SCSI bus behind adapter 200")) << bus->LastHint();
}

TEST_F(SptiBusTest, MapIsReadOncePerScanNotPerCommand) {
  sys->Node(L"\\\\.\\E:", {2, 0, 4, 0});
  auto s = Block(1, 4, tur, 0);
  Send(s);
  EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO) << "a command does not rescan";
  int32_t r = 0;
  Inquire(1, &r);
  Send(s = Block(1, 4, tur, 0));
  EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO) << "only adapter 0 starts a scan";
  Inquire(0, &r);
  s = Block(1, 4, tur, 0);
  EXPECT_EQ(Send(s), SS_COMP);
}

TEST_F(SptiBusTest, AbsentTargetOrLunIsSelectionTimeout) {
  for (auto [ha, target, lun] :
       {std::tuple<uint8_t, uint8_t, uint8_t>{0, 4, 0}, {0, 2, 1}, {1, 7, 0}, {2, 1, 0}}) {
    std::fill(buf.begin(), buf.end(), 0xEE);
    auto s = Block(ha, target, inquiry, 58, lun);
    EXPECT_EQ(Send(s), SS_ERR);
    EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 58, 0), 58) << "data in reads zero";
  }
  EXPECT_TRUE(sys->opens.empty()) << "there is no node to send to";
}

TEST_F(SptiBusTest, RequestCarriesCdbDirectionLengthAndTimeout) {
  ExecTimeout = std::chrono::milliseconds(4321);
  const struct {
    uint8_t ha, target;
    Bytes cdb;
    uint32_t len;
    UCHAR data_in;
    ULONG length;
    const wchar_t* node;
    UCHAR path_id, target_id;
  } cases[] = {
      {0, 2, inquiry, 58, SCSI_IOCTL_DATA_IN, 58, L"\\\\.\\CdRom0", 0, 2},
      {0, 2, write_buffer, 16384, SCSI_IOCTL_DATA_OUT, 16384, L"\\\\.\\CdRom0", 0, 2},
      {0, 3, tur, 0, SCSI_IOCTL_DATA_UNSPECIFIED, 0, L"\\\\.\\Scsi0:", 0, 3},
      {1, 0, {0, 0, 0, 0, 0, 0xC0}, 8, SCSI_IOCTL_DATA_UNSPECIFIED, 0, L"\\\\.\\F:", 0, 0},
      {1,
       0,
       {0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0},
       4,
       SCSI_IOCTL_DATA_UNSPECIFIED,
       0,
       L"\\\\.\\F:",
       0,
       0},
      {2,
       0,
       {0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0},
       5,
       SCSI_IOCTL_DATA_IN,
       5,
       L"\\\\.\\M:",
       0,
       0},
  };
  for (const auto& c : cases) {
    sys->seen.clear();
    std::fill(buf.begin(), buf.begin() + 16384, 0xA5);
    auto s = Block(c.ha, c.target, c.cdb, c.len);
    EXPECT_EQ(Send(s), SS_COMP);
    ASSERT_EQ(sys->seen.size(), 1u);
    const testing::Seen& io = sys->seen[0];
    EXPECT_EQ(io.code, DWORD{IOCTL_SCSI_PASS_THROUGH_DIRECT});
    EXPECT_EQ(io.path, c.node);
    EXPECT_EQ(io.cdb, c.cdb);
    EXPECT_EQ(io.data_in, c.data_in) << int{c.cdb[0]};
    EXPECT_EQ(io.length, c.length);
    EXPECT_EQ(io.timeout, 5u) << "seconds, rounded up";
    EXPECT_EQ(io.sense_len, kSenseBytes);
    EXPECT_EQ(io.path_id, c.path_id);
    EXPECT_EQ(io.target_id, c.target_id);
    EXPECT_EQ(io.data_buffer == nullptr, c.length == 0);
    EXPECT_NE(io.data_buffer, buf.data()) << "the system never sees the caller's buffer";
    if (c.data_in == SCSI_IOCTL_DATA_OUT) {
      EXPECT_EQ(io.data_out, Bytes(16384, 0xA5));
    }
  }
  EXPECT_EQ(sys->last_access, DWORD{GENERIC_READ | GENERIC_WRITE});
  EXPECT_TRUE(sys->open_handles.empty()) << "the node is closed again";
}

TEST_F(SptiBusTest, TimeoutIsWholeSecondsAtLeastOne) {
  for (auto [ms, want] : {std::pair<long long, ULONG>{0, 1},
                          {-5, 1},
                          {1, 1},
                          {1000, 1},
                          {1001, 2},
                          {300'000, 300},
                          {10'000'000'000'000LL, 0xFFFFFFFFu}}) {
    ExecTimeout = std::chrono::milliseconds(ms);
    sys->seen.clear();
    auto s = Block(0, 2, tur, 0);
    Send(s);
    EXPECT_EQ(sys->seen.at(0).timeout, want) << ms;
  }
}

TEST_F(SptiBusTest, DataBufferMeetsTheAlignmentMask) {
  Answer(L"\\\\.\\CdRom0").data.assign(58, 0x41);
  for (ULONG mask : {0u, 1u, 0x1FFu, 0xFFFu, 0x1000u, 0xFFFFu, 0x1FFFFu}) {
    sys->nodes[L"\\\\.\\CdRom0"].caps = Caps(65536, 0, mask);
    int32_t r = 0;
    Inquire(0, &r);
    sys->seen.clear();
    std::fill(buf.begin(), buf.begin() + 16384, 0x5A);
    auto w = Block(0, 2, write_buffer, 16384);
    EXPECT_EQ(Send(w), SS_COMP) << mask;
    auto s = Block(0, 2, inquiry, 58);
    EXPECT_EQ(Send(s), SS_COMP) << mask;
    ASSERT_EQ(sys->seen.size(), 2u);
    for (const testing::Seen& io : sys->seen) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(io.data_buffer) & mask, 0u) << mask;
    }
    EXPECT_EQ(sys->seen[0].data_out, Bytes(16384, 0x5A)) << mask;
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 58), Bytes(58, 0x41)) << mask;
  }
}

TEST_F(SptiBusTest, TransferAboveTheAdapterLimitIsRefusedBeforeTheDevice) {
  std::fill(buf.begin(), buf.end(), 0xEE);
  auto s = Block(1, 0, read_long, 37855);  // F: takes 32 KiB, as wine reports
  EXPECT_EQ(Send(s), SS_BUFFER_TOO_BIG);
  EXPECT_EQ(LoadSrbStatus(&s), SS_BUFFER_TOO_BIG);
  EXPECT_TRUE(Has(bus->LastHint(), "takes at most 32768 bytes per command")) << bus->LastHint();
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xEE), kDataBufSize) << "buffer untouched";
  EXPECT_TRUE(sys->opens.empty());
  s = Block(1, 0, read_long, 32768);
  EXPECT_EQ(Send(s), SS_COMP);
  s = Block(1, 0, tur, 37855);  // no data phase: no limit
  EXPECT_EQ(Send(s), SS_COMP);
}

TEST_F(SptiBusTest, DirectRefusedFallsBackToBuffered) {
  for (DWORD refusal : {DWORD{ERROR_INVALID_FUNCTION}, DWORD{ERROR_NOT_SUPPORTED}}) {
    auto& a = Answer(L"\\\\.\\CdRom0");
    a.direct_error = refusal;
    a.data = {5, 0x80, 2, 2, 0x21, 0, 0, 0, 'Q', 'X'};
    sys->seen.clear();
    std::fill(buf.begin(), buf.end(), 0xEE);
    auto s = Block(0, 2, inquiry, 58);
    EXPECT_EQ(Send(s), SS_COMP) << refusal;
    ASSERT_EQ(sys->seen.size(), 2u);
    EXPECT_EQ(sys->seen[1].code, DWORD{IOCTL_SCSI_PASS_THROUGH});
    EXPECT_EQ(sys->seen[1].cdb, inquiry);
    EXPECT_EQ(sys->seen[1].length, 58u);
    EXPECT_EQ(sys->seen[1].timeout, 300u);
    EXPECT_EQ(buf[8], 'Q');
    EXPECT_EQ(std::count(buf.begin() + 10, buf.begin() + 58, 0), 48);
    EXPECT_EQ(buf[58], 0xEE);

    std::fill(buf.begin(), buf.begin() + 16384, 0x3C);
    sys->seen.clear();
    s = Block(0, 2, write_buffer, 16384);
    EXPECT_EQ(Send(s), SS_COMP);
    EXPECT_EQ(sys->seen.at(1).data_out, Bytes(16384, 0x3C));
  }
  // A failure after the command may have reached the device is never resent.
  for (DWORD failure :
       {DWORD{ERROR_SEM_TIMEOUT}, DWORD{ERROR_IO_DEVICE}, DWORD{ERROR_INVALID_PARAMETER}}) {
    auto& a = Answer(L"\\\\.\\CdRom0");
    a.direct_error = 0;
    a.error = failure;
    sys->seen.clear();
    auto s = Block(0, 2, write_buffer, 16384);
    EXPECT_NE(Send(s), SS_COMP);
    EXPECT_EQ(sys->seen.size(), 1u) << failure;
  }
  // Both forms refused: the driver takes no pass-through.
  auto& a = Answer(L"\\\\.\\CdRom0");
  a.error = ERROR_INVALID_FUNCTION;
  auto s = Block(0, 2, tur, 0);
  EXPECT_EQ(Send(s), SS_FAILED_INIT);
  EXPECT_TRUE(Has(bus->LastHint(), "does not take SCSI pass-through requests")) << bus->LastHint();
}

TEST_F(SptiBusTest, CheckConditionFillsFixedSenseWithinSenseLen) {
  auto& a = Answer(L"\\\\.\\F:");
  a.status = STATUS_CHKCOND;
  a.sense = {0x72, 2, 0x3A, 0, 0, 0, 0, 12, 0, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};
  auto s = Block(1, 0, tur, 0);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, 0);
  EXPECT_EQ(s.SRB_TargStat, STATUS_CHKCOND);
  EXPECT_EQ(Bytes(s.SenseArea, s.SenseArea + 14),
            (Bytes{0xF0, 0, 2, 0, 0, 0x12, 0x34, 10, 0, 0, 0, 0, 0x3A, 0}));

  a.sense.assign(40, 0x44);  // more than the 32 bytes offered
  a.sense[0] = 0x70;
  s = Block(1, 0, tur, 0);
  Send(s);
  EXPECT_EQ(s.SenseArea[31], 0x44);
  EXPECT_EQ(s.SenseArea[32], 0);
  s = Block(1, 0, tur, 0);
  s.SRB_SenseLen = 8;
  Send(s);
  EXPECT_EQ(s.SenseArea[7], 0x44);
  EXPECT_EQ(s.SenseArea[8], 0);
}

TEST_F(SptiBusTest, ScsiStatusAndWindowsErrorsReachTheBlock) {
  const struct {
    const char* what;
    DWORD error;
    uint8_t status;
    size_t sense;
    int32_t result;
    uint8_t ha_stat, targ_stat;
    const char* hint;
  } cases[] = {
      {"good", 0, 0x00, 0, SS_COMP, 0, 0, ""},
      {"check condition without sense", 0, 0x02, 0, SS_ERR, HASTAT_REQUEST_SENSE_FAILED, 2, ""},
      {"busy", 0, 0x08, 0, SS_ERR, 0, 8, ""},
      {"reservation conflict", 0, 0x18, 0, SS_ERR, 0, 0x18, ""},
      {"adapter timed out", ERROR_SEM_TIMEOUT, 0, 0, SS_ERR, HASTAT_COMMAND_TIMEOUT, 0,
       "timed out"},
      {"adapter error", ERROR_IO_DEVICE, 0, 0, SS_ERR, HASTAT_PHASE_ERR, 0, "reported an error"},
      {"selection timeout", ERROR_DEVICE_NOT_CONNECTED, 0, 0, SS_ERR, HASTAT_SEL_TO, 0,
       "selection timeout"},
      {"bus reset", ERROR_BUS_RESET, 0, 0, SS_ERR, HASTAT_BUS_RESET, 0, "bus reset"},
      {"aborted", ERROR_OPERATION_ABORTED, 0, 0, SS_ABORTED, 0, 0, "aborted"},
      {"no memory", ERROR_NO_SYSTEM_RESOURCES, 0, 0, SS_ASPI_IS_BUSY, 0, 0, "16384 bytes"},
      {"access denied", ERROR_ACCESS_DENIED, 0, 0, SS_SECURITY_VIOLATION, 0, 0,
       "run qxflash as administrator"},
      {"unknown", 1234, 0, 0, SS_FAILED_INIT, 0, 0, "Windows error 1234"},
  };
  for (const auto& c : cases) {
    auto& a = Answer(L"\\\\.\\CdRom0");
    a = {};
    a.error = c.error;
    a.status = c.status;
    a.sense.assign(c.sense, 0x70);
    auto s = Block(0, 2, write_buffer, 16384);
    EXPECT_EQ(Send(s), c.result) << c.what;
    EXPECT_EQ(s.SRB_HaStat, c.ha_stat) << c.what;
    EXPECT_EQ(s.SRB_TargStat, c.targ_stat) << c.what;
    EXPECT_EQ(bus->LastError(), c.error) << c.what;
    EXPECT_TRUE(Has(bus->LastHint(), c.hint)) << c.what << ": " << bus->LastHint();
    if (*c.hint == '\0') {
      EXPECT_EQ(bus->LastHint(), "") << c.what;
    }
  }
}

TEST_F(SptiBusTest, OpenAndVerifyErrorsAreTheSubmissionsResult) {
  const struct {
    const char* where;
    DWORD error;
    int32_t result;
    uint8_t ha_stat;
    const char* hint;
  } cases[] = {
      {"open", ERROR_ACCESS_DENIED, SS_SECURITY_VIOLATION, 0, "run qxflash as administrator"},
      {"open", ERROR_SHARING_VIOLATION, SS_BC_IN_USE, 0, "in use"},
      {"open", ERROR_FILE_NOT_FOUND, SS_ERR, HASTAT_SEL_TO, "Rescan"},
      {"open", ERROR_DEVICE_REMOVED, SS_ERR, HASTAT_SEL_TO, "Rescan"},
      {"address", ERROR_DEV_NOT_EXIST, SS_ERR, HASTAT_SEL_TO, "Rescan"},
      {"address", ERROR_ACCESS_DENIED, SS_SECURITY_VIOLATION, 0, "run qxflash as administrator"},
      {"address", ERROR_GEN_FAILURE, SS_FAILED_INIT, 0, "\\\\.\\CdRom0"},
  };
  for (const auto& c : cases) {
    auto& n = sys->nodes[L"\\\\.\\CdRom0"];
    const testing::FakeNode keep = n;
    const std::string where = c.where;
    if (where == "open") n.open_error = c.error;
    if (where == "address") n.address.reset(), n.address_error = c.error;
    std::fill(buf.begin(), buf.end(), 0xEE);
    sys->seen.clear();
    auto s = Block(0, 2, inquiry, 58);
    EXPECT_EQ(bus->BCSendASPI32Command(&s, buf.data()), c.result) << where << " " << c.error;
    EXPECT_EQ(LoadSrbStatus(&s), c.result);
    EXPECT_EQ(s.SRB_HaStat, c.ha_stat) << where << " " << c.error;
    EXPECT_EQ(bus->LastError(), c.error);
    EXPECT_TRUE(Has(bus->LastHint(), c.hint)) << bus->LastHint();
    EXPECT_TRUE(sys->seen.empty()) << "nothing was sent";
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 58, 0), 58) << "data in reads zero";
    EXPECT_TRUE(sys->open_handles.empty());
    n = keep;
  }
  auto s = Block(0, 2, tur, 0);
  EXPECT_EQ(Send(s), SS_COMP);
  EXPECT_EQ(bus->LastError(), 0u);
  EXPECT_EQ(bus->LastHint(), "");
}

TEST_F(SptiBusTest, RenumberedDeviceIsRefused) {
  const struct {
    const char* what;
    std::function<void(FakeSystem&)> change;
    uint8_t ha, target;
    const char* hint;
  } cases[] = {
      {"CdRom0 is another drive now",
       [](FakeSystem& s) {
         s.nodes[L"\\\\.\\CdRom0"].address = ScsiAddress{1, 0, 0, 0};
       },
       0, 2, "\\\\.\\CdRom0 is now 1:0:0:0, not 0:0:2:0"},
      {"M: is another device number now",
       [](FakeSystem& s) {
         s.nodes[L"\\\\.\\M:"].number = DeviceNumber{FILE_DEVICE_DISK, 4};
       },
       2, 0, "\\\\.\\M: is now device 4"},
      {"the port lists another unit",
       [](FakeSystem& s) {
         s.nodes[L"\\\\.\\Scsi0:"].inquiry_data =
             InquiryData({7}, {{0, 3, 0, false, "OTHER   DEVICE"}});
       },
       0, 3, "is now another device"},
      {"the port lists nothing there",
       [](FakeSystem& s) { s.nodes[L"\\\\.\\Scsi0:"].inquiry_data = InquiryData({7}, {}); }, 0, 3,
       "no longer lists a device"},
      {"a class driver claimed it",
       [](FakeSystem& s) {
         s.nodes[L"\\\\.\\Scsi0:"].inquiry_data =
             InquiryData({7}, {{0, 3, 0, true, "ACME    PROCESSOR", 3}});
       },
       0, 3, "driver of its own"},
  };
  for (const auto& c : cases) {
    SetUp();
    c.change(*sys);
    auto s = Block(c.ha, c.target, write_buffer, 16384);
    EXPECT_EQ(Send(s), SS_ERR) << c.what;
    EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO) << c.what;
    EXPECT_TRUE(sys->seen.empty()) << c.what << ": a firmware block must not reach it";
    EXPECT_TRUE(Has(bus->LastHint(), c.hint)) << c.what << ": " << bus->LastHint();
    EXPECT_TRUE(Has(bus->LastHint(), "run SCSI Rescan")) << c.what;
  }
}

TEST_F(SptiBusTest, BytesTheDeviceDidNotReturnReadZero) {
  for (int returned : {0, 5, 32, 36, 58}) {
    auto& a = Answer(L"\\\\.\\CdRom0");
    a.data.assign(static_cast<size_t>(returned), 0x41);
    std::fill(buf.begin(), buf.end(), 0xEE);
    auto s = Block(0, 2, inquiry, 58);
    ASSERT_EQ(Send(s), SS_COMP) << returned;
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + returned), Bytes(returned, 0x41)) << returned;
    EXPECT_EQ(Bytes(buf.begin() + returned, buf.begin() + 58), Bytes(58 - returned, 0)) << returned;
    EXPECT_EQ(buf[58], 0xEE) << "nothing past SRB_BufLen";
  }
  // A length the driver reports beyond the request is clamped; a failed request
  // returned nothing.
  auto& a = Answer(L"\\\\.\\CdRom0");
  a.data.assign(58, 0x41);
  a.transferred = 5000;
  auto s = Block(0, 2, inquiry, 58);
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(Send(s), SS_COMP);
  EXPECT_EQ(std::count(buf.begin(), buf.begin() + 58, 0x41), 58);
  EXPECT_EQ(buf[58], 0xEE);
  a.error = ERROR_IO_DEVICE;
  std::fill(buf.begin(), buf.end(), 0xEE);
  s = Block(0, 2, inquiry, 58);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 58), Bytes(58, 0));
}

TEST_F(SptiBusTest, AShortWriteIsNotASentBlock) {
  Answer(L"\\\\.\\F:").transferred = 16384 - 100;
  auto s = Block(1, 0, write_buffer, 16384);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, HASTAT_DO_DU);
  EXPECT_TRUE(Has(bus->LastHint(), "100 of 16384 bytes for \\\\.\\F: were not transferred"))
      << bus->LastHint();
  // A read that returns less than asked is fine.
  Answer(L"\\\\.\\F:").transferred = 36;
  auto r = Block(1, 0, inquiry, 58);
  EXPECT_EQ(Send(r), SS_COMP);
}

TEST_F(SptiBusTest, BadBlocksAreRefusedBeforeTheDevice) {
  auto s = Block(0, 2, {0x12, 0, 0, 0}, 58);
  EXPECT_EQ(Send(s), SS_INVALID_SRB);
  EXPECT_EQ(LoadSrbStatus(&s), SS_INVALID_SRB);
  s = Block(0, 2, inquiry, 58);
  s.SRB_CDBLen = 17;
  EXPECT_EQ(Send(s), SS_INVALID_SRB);
  s = Block(0, 2, read_long, kDataBufSize + 1);
  EXPECT_EQ(Send(s), SS_BUFFER_TOO_BIG);
  s = Block(0, 2, inquiry, 58);
  EXPECT_EQ(bus->BCSendASPI32Command(&s, nullptr), SS_INVALID_SRB);
  SRB_Header h{};
  h.SRB_Cmd = 0x05;
  EXPECT_EQ(bus->BCSendASPI32Command(&h, buf.data()), SS_INVALID_CMD);
  EXPECT_EQ(LoadSrbStatus(&h), SS_INVALID_CMD);
  EXPECT_TRUE(Has(bus->LastHint(), "request code 0x05")) << bus->LastHint();
  EXPECT_EQ(bus->BCSendASPI32Command(nullptr, buf.data()), SS_BC_INVALID_CALL);
  EXPECT_TRUE(sys->opens.empty());
}

TEST_F(SptiBusTest, OnlyThePassThroughRunsOnTheWorker) {
  auto s = Block(0, 2, tur, 0);
  EXPECT_EQ(Send(s), SS_COMP);
  const DWORD me = GetCurrentThreadId();
  for (auto id : sys->open_threads) EXPECT_EQ(id, me);
  ASSERT_EQ(sys->ioctls.size(), 2u);
  EXPECT_EQ(sys->ioctls[0].second, DWORD{IOCTL_SCSI_GET_ADDRESS});
  EXPECT_EQ(sys->ioctl_threads[0], me) << "verified on the caller's thread";
  EXPECT_NE(sys->ioctl_threads[1], me) << "the command runs on the worker";
}

TEST_F(SptiBusTest, CancelledRequestIsNeverWrittenAfterALateCompletion) {
  Answer(L"\\\\.\\CdRom0").data.assign(58, 0x41);
  sys->Hold();
  std::fill(buf.begin(), buf.end(), 0xEE);
  auto s = Block(0, 2, inquiry, 58);
  EXPECT_EQ(bus->BCSendASPI32Command(&s, buf.data()), SS_PENDING);
  sys->WaitInKernel();
  EXPECT_EQ(LoadSrbStatus(&s), SS_PENDING);
  bus->Cancel(&s);  // returns while the command is still in the kernel
  const SRB_ExecSCSICmd before = s;
  // A request queued behind it and cancelled never reaches the device.
  std::array<uint8_t, kDataBufSize> other{};
  auto queued = Block(1, 0, write_buffer, 16384);
  EXPECT_EQ(bus->BCSendASPI32Command(&queued, other.data()), SS_PENDING);
  bus->Cancel(&queued);
  sys->Release();
  auto next = Block(1, 0, tur, 0);
  bus->BCSendASPI32Command(&next, other.data());
  EXPECT_EQ(Wait(next), SS_COMP);
  EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xEE), kDataBufSize);
  EXPECT_EQ(LoadSrbStatus(&queued), SS_PENDING);
  EXPECT_EQ(sys->seen.size(), 2u) << "the cancelled write was never sent";
  EXPECT_TRUE(sys->open_handles.empty());
}

TEST_F(SptiBusTest, DestructionWaitsForTheCommandInTheKernel) {
  auto own = std::make_unique<SptiBus>(sys);
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
  EXPECT_TRUE(sys->open_handles.empty());
}

TEST_F(SptiBusTest, LocationNamesAddressAndNode) {
  const struct {
    uint8_t ha, target;
    std::string address, node;
  } cases[] = {{0, 2, "0:0:2:0", "\\\\.\\CdRom0 (D:)"},
               {0, 3, "0:0:3:0", "\\\\.\\Scsi0:"},
               {1, 0, "2:0:0:0", "\\\\.\\F:"},
               {2, 0, "", "\\\\.\\M:"},
               {2, 1, "", ""}};
  for (const auto& c : cases) {
    const auto where = bus->DeviceLocation(c.ha, c.target, 0);
    EXPECT_EQ(where.address, c.address);
    EXPECT_EQ(where.node, c.node);
  }
  EXPECT_STREQ(bus->Name(), "SCSI pass-through");
  EXPECT_TRUE(Has(bus->Notes(), "adapter 2 holds the devices that answer no SCSI address"))
      << bus->Notes();
}

TEST_F(SptiBusTest, AccessDeniedScanHintsAtAdministratorAndSaysSo) {
  FakeSystem user;
  user.Node(L"\\\\.\\CdRom0").open_error = ERROR_ACCESS_DENIED;
  SptiBus denied(std::shared_ptr<FakeSystem>(&user, [](FakeSystem*) {}));
  EXPECT_EQ(denied.GetASPI32SupportInfo(), 0x0100u);
  SRB_HAInquiry q{};
  q.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(denied.BCSendASPI32Command(&q, buf.data()), SS_INVALID_HA);
  EXPECT_TRUE(Has(denied.LastHint(), "run qxflash as administrator")) << denied.LastHint();
  EXPECT_TRUE(Has(denied.Notes(), "run qxflash as administrator")) << denied.Notes();
  // The window learns it from the answer, not from the note's text.
  EXPECT_TRUE(denied.AccessDenied());
  EXPECT_FALSE(bus->AccessDenied());
}

// Through the executor, converted sense reads as the system's own text.
TEST_F(SptiBusTest, ExecutorReadsConvertedSense) {
  auto& a = Answer(L"\\\\.\\F:");
  a.status = STATUS_CHKCOND;
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
}  // namespace qx::spti
