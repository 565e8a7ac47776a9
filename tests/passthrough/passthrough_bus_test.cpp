// The pass-through bus against a fake device layer: host adapter inquiries, the
// checks and admission on the caller's thread, the worker, what each kind of
// transfer result shows in the block, cancel, the reservation and its release,
// and destruction.
#include "transport/passthrough/passthrough_bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "aspi/executor.h"
#include "aspi/transport_state.h"
#include "tests/support/fake_devices.h"
#include "tests/support/system.h"

namespace qx::passthrough {
namespace {

using testing::FakeDevice;
using testing::FakeDevices;
using Bytes = std::vector<uint8_t>;
constexpr Direction kIn = Direction::kIn, kOut = Direction::kOut, kNone = Direction::kNone;

Bus HostBus(uint32_t host, const std::string& identifier, uint8_t initiator) {
  Bus b;
  b.host = host;
  b.initiator = initiator;
  b.name = b.unique = "host" + std::to_string(host);
  b.identifier = b.detail = identifier;
  return b;
}

void SetSense(TransferResult& r, const Bytes& sense) {
  std::copy(sense.begin(), sense.end(), r.sense.begin());
  r.sense_len = sense.size();
}

std::vector<std::string> Whats(const std::vector<testing::Call>& calls) {
  std::vector<std::string> out;
  for (const auto& c : calls) out.push_back(c.what);
  return out;
}

// Adapter 0 = host 0: dev0 at target 2 (also named D:); adapter 1 = host 1:
// dev1 at target 0, which takes at most 32768 bytes a command; adapter 2 = the
// devices without an address: dev2 at target 0.
class BusTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(); }
  void TearDown() override {
    InstallAspiManager(nullptr);
    ResetTransportState();
  }
  void Build() {
    ResetTransportState();
    bus.reset();
    sys = std::make_shared<FakeDevices>();
    sys->scan.buses = {HostBus(0, "sym53c8xx", 6), HostBus(1, "virtio_scsi", 7)};
    sys->scan.devices = {FakeDevice("dev0", Address{0, 0, 2, 0}, "", "D:"),
                         FakeDevice("dev1", Address{1, 0, 0, 0}), FakeDevice("dev2", std::nullopt)};
    sys->scan.devices[1].max_transfer = 32768;
    bus = std::make_shared<PassThroughBus>(sys);
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
  int32_t Send(uint8_t ha, uint8_t target, const Bytes& cdb, uint32_t len = 0) {
    auto s = Block(ha, target, cdb, len);
    return Send(s);
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
  FakeDevices::Opened OpenDev0() { return sys->Open(sys->scan.devices[0], Share::kShared, 0); }

  std::shared_ptr<FakeDevices> sys;
  std::shared_ptr<PassThroughBus> bus;
  std::array<uint8_t, kDataBufSize> buf{};
  const Bytes tur{0, 0, 0, 0, 0, 0};
  const Bytes inquiry{0x12, 0, 0, 0, 0x3A, 0};
  const Bytes write_buffer{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0};
  const Bytes read_long{0xDF, 0, 0xE0, 0, 0x0A, 0, 0, 0, 0, 0, 0x10, 0x80};
};

// ---- Host adapters and the map ----------------------------------------------

TEST_F(BusTest, HostAdapterInquiryIsCompleteOnReturn) {
  EXPECT_EQ(bus->GetASPI32SupportInfo(), 0x0103u);
  sys->scan.buses[1].identifier = "a_driver_name_of_thirty_chars_";  // read at adapter 0's
  const struct {
    uint8_t ha, scsi_id;
    const char *identifier, *unique;
  } cases[] = {{0, 6, "sym53c8xx", "host0"},
               {1, 7, "a_driver_name_o", "host1"},
               {2, 7, "no SCSI address", "device nodes"}};
  for (const auto& c : cases) {
    int32_t r = 0;
    const SRB_HAInquiry q = Inquire(c.ha, &r);
    EXPECT_EQ(r, SS_COMP);
    EXPECT_EQ(q.SRB_Status, SS_COMP);
    EXPECT_EQ(q.HA_Count, 3);
    EXPECT_EQ(q.HA_SCSI_ID, c.scsi_id);
    EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_ManagerId), "Fake manager");
    EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), c.identifier);
    EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Unique), c.unique);
  }
  for (uint8_t ha : {3, 7, 200}) {
    int32_t r = 0;
    const SRB_HAInquiry q = Inquire(ha, &r);
    EXPECT_EQ(r, SS_INVALID_HA);
    EXPECT_EQ(q.SRB_Status, SS_INVALID_HA);
    auto s = Block(ha, 0, tur, 0);
    EXPECT_EQ(Send(s), SS_INVALID_HA);
    EXPECT_EQ(LoadSrbStatus(&s), SS_INVALID_HA);
  }
  EXPECT_EQ(bus->LastHint(), "no SCSI host behind adapter 200");

  // The system's advice where an adapter is missing (no access to a node).
  auto denied = std::make_shared<FakeDevices>(testing::FakeTraits("bus"));
  denied->scan.no_adapter_advice = "; run as administrator";
  denied->scan.access_denied = true;
  denied->scan.final_notes = {"X: refuses access"};
  PassThroughBus none(denied);
  EXPECT_EQ(none.GetASPI32SupportInfo(), 0x0100u);
  SRB_HAInquiry q{};
  q.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(none.BCSendASPI32Command(&q, buf.data()), SS_INVALID_HA);
  EXPECT_EQ(none.LastHint(), "no SCSI bus behind adapter 0; run as administrator");
  EXPECT_EQ(none.Notes(), "X: refuses access");
  // The window learns it from the answer, not from the note's text.
  EXPECT_TRUE(none.AccessDenied());
  EXPECT_FALSE(bus->AccessDenied());
}

TEST_F(BusTest, MapIsReadOncePerScanNotPerCommand) {
  const int before = sys->enumerations;
  sys->scan.devices.push_back(FakeDevice("dev3", Address{1, 0, 3, 0}));
  auto s = Block(1, 3, tur, 0);
  Send(s);
  EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO) << "a command does not rescan";
  int32_t r = 0;
  Inquire(1, &r);
  Send(s = Block(1, 3, tur, 0));
  EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO) << "only adapter 0 starts a scan";
  Inquire(0, &r);
  EXPECT_EQ(Send(s = Block(1, 3, tur, 0)), SS_COMP);
  EXPECT_EQ(sys->enumerations, before + 1);
}

TEST_F(BusTest, NotesAreTheMapsOneALine) {
  EXPECT_EQ(bus->Notes(),
            "adapter 2 holds the devices that answer no SCSI address, at target IDs in the order "
            "found: 0 dev2; a drive may show there and at its address too");
  auto mapped = std::make_shared<FakeDevices>();
  mapped->scan.buses = {HostBus(0, "ahci", 7)};
  mapped->scan.devices = {FakeDevice("dev0", Address{0, 0, 0, 0})};
  EXPECT_EQ(PassThroughBus(mapped).Notes(), "") << "everything mapped";
  mapped->scan.notes = {"first", "second\twith a tab"};
  EXPECT_EQ(PassThroughBus(mapped).Notes(), "first\nsecond with a tab");
}

TEST_F(BusTest, LocationNamesAddressAndNode) {
  const struct {
    uint8_t ha, target;
    std::string address, node;
  } cases[] = {{0, 2, "0:0:2:0", "dev0 (D:)"},
               {1, 0, "1:0:0:0", "dev1"},
               {2, 0, "", "dev2"},
               {2, 1, "", ""},
               {5, 0, "", ""}};
  for (const auto& c : cases) {
    const auto where = bus->DeviceLocation(c.ha, c.target, 0);
    EXPECT_EQ(where.address, c.address);
    EXPECT_EQ(where.node, c.node);
  }
  EXPECT_STREQ(bus->Name(), "fake bus");
}

// ---- Execute ------------------------------------------------------------------

TEST_F(BusTest, AbsentTargetOrLunIsSelectionTimeout) {
  for (auto [ha, target, lun] : {std::tuple<uint8_t, uint8_t, uint8_t>{0, 3, 0},
                                 {0, 2, 1},
                                 {0, 7, 0},
                                 {1, 7, 0},
                                 {2, 1, 0}}) {
    std::fill(buf.begin(), buf.end(), 0xEE);
    auto s = Block(ha, target, inquiry, 58, lun);
    EXPECT_EQ(bus->BCSendASPI32Command(&s, buf.data()), SS_ERR);
    EXPECT_EQ(LoadSrbStatus(&s), SS_ERR);
    EXPECT_EQ(s.SRB_HaStat, HASTAT_SEL_TO);
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 58, 0), 58) << "data in reads zero";
  }
  EXPECT_EQ(bus->LastHint(), "no device at adapter 2 target 1 LUN 0");
  EXPECT_TRUE(sys->Calls("open").empty()) << "there is no node to send to";
}

TEST_F(BusTest, TheCommandReachesTheDeviceThroughTheBussOwnBuffer) {
  ExecTimeout = std::chrono::milliseconds(4321);
  sys->units["dev0"].data = {5, 0x80, 2, 2, 0x21, 0, 0, 0, 'Q', 'X'};  // 48 of 58 not returned
  const struct {
    uint8_t ha, target;
    Bytes cdb;
    uint32_t len;
    const char* node;
    Direction direction;
    uint8_t byte8;  // of the caller's buffer afterwards
  } cases[] = {
      {0, 2, inquiry, 58, "dev0", kIn, 'Q'},
      {0, 2, write_buffer, 16384, "dev0", kOut, 0xA5},
      {1, 0, {0, 0, 0, 0, 0, 0xC0}, 0, "dev1", kNone, 0xA5},
      {1, 0, tur, 8, "dev1", kNone, 0xA5},  // a stray length
      {2, 0, {0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0}, 4, "dev2", kNone, 0xA5},
      {2, 0, {0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0}, 5, "dev2", kIn, 0xA5},
  };
  for (const auto& c : cases) {
    sys->Forget();
    std::fill(buf.begin(), buf.begin() + 16384, 0xA5);
    auto s = Block(c.ha, c.target, c.cdb, c.len);
    EXPECT_EQ(Send(s), SS_COMP) << c.node;
    const std::vector<testing::Sent> sent = sys->SentNow();
    ASSERT_EQ(sent.size(), 1u);
    const ExecCommand& command = sent[0].command;
    EXPECT_EQ(sent[0].node, c.node);
    EXPECT_EQ(Bytes(command.cdb.begin(), command.cdb.begin() + command.cdb_len), c.cdb);
    EXPECT_EQ(command.direction, c.direction) << int{c.cdb[0]};
    EXPECT_EQ(command.length, c.len);
    EXPECT_EQ(command.timeout, std::chrono::milliseconds(4321));
    EXPECT_NE(sent[0].data, buf.data()) << "the device never sees the caller's buffer";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(sent[0].data) % 4096, 0u) << "aligned as it asks";
    if (c.direction == kOut) {
      EXPECT_EQ(sent[0].data_out, Bytes(16384, 0xA5));
    }
    EXPECT_EQ(buf[8], c.byte8) << c.node;
    EXPECT_EQ(Whats(sys->Calls("", c.node)),
              (std::vector<std::string>{"open", "verify", "transfer", "back", "close"}));
  }
}

TEST_F(BusTest, OnlyTheTransferRunsOnTheWorker) {
  EXPECT_EQ(Send(1, 0, tur), SS_COMP);
  const auto me = std::this_thread::get_id();
  for (const auto& call : sys->Calls()) {
    if (call.what == "transfer") {
      EXPECT_NE(call.thread, me) << "the command runs on the worker";
    } else if (call.what != "back" && call.what != "close") {
      EXPECT_EQ(call.thread, me) << call.what << " on the caller's thread";
    }
  }
}

TEST_F(BusTest, StopSignalsAreBlockedOnTheWorkerOnly) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no stop signals; its console events come on threads of their own";
#endif
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  ASSERT_EQ(sys->SentNow().size(), 1u);
  EXPECT_TRUE(sys->SentNow()[0].stop_signals_blocked);
  EXPECT_FALSE(test::StopSignalsBlocked()) << "the caller's mask is its own";
}

TEST_F(BusTest, EachKindOfResultReachesTheBlock) {
  const Bytes fixed(18, 0x70);
  const struct {
    const char* what;
    Category category;
    uint8_t scsi, host;
    bool sense;
    std::string detail;
    Failure os;
    int32_t result;
    uint8_t ha_stat, targ_stat;
    std::string hint;
  } cases[] = {
      {"good", Category::kGood, 0, 0, false, "", {}, SS_COMP, 0, 0, ""},
      {"good, with the driver's remark",
       Category::kGood,
       0,
       0,
       false,
       "driver 0x10",
       {},
       SS_COMP,
       0,
       0,
       ""},
      {"check condition without sense",
       Category::kStatus,
       2,
       0,
       false,
       "",
       {},
       SS_ERR,
       HASTAT_REQUEST_SENSE_FAILED,
       2,
       ""},
      {"busy", Category::kStatus, 8, 0, false, "", {}, SS_ERR, 0, 8, ""},
      {"condition met", Category::kStatus, 4, 0, false, "", {}, SS_ERR, 0, 4, ""},
      {"reservation conflict", Category::kStatus, 0x18, 0, false, "", {}, SS_ERR, 0, 0x18, ""},
      {"check condition", Category::kSense, 2, 0, true, "", {}, SS_ERR, 0, 2, ""},
      {"reset during check",
       Category::kTransport,
       2,
       HASTAT_BUS_RESET,
       true,
       "host DID_RESET",
       {},
       SS_ERR,
       HASTAT_BUS_RESET,
       2,
       "host DID_RESET"},
      {"host beats good status",
       Category::kTransport,
       0,
       HASTAT_SEL_TO,
       false,
       "",
       {},
       SS_ERR,
       HASTAT_SEL_TO,
       0,
       ""},
      {"timeout",
       Category::kTimeout,
       0,
       HASTAT_COMMAND_TIMEOUT,
       false,
       "host DID_TIME_OUT",
       {},
       SS_ERR,
       HASTAT_COMMAND_TIMEOUT,
       0,
       "host DID_TIME_OUT"},
      {"aborted",
       Category::kAborted,
       0,
       0,
       false,
       "host DID_ABORT",
       {},
       SS_ABORTED,
       0,
       0,
       "host DID_ABORT"},
      {"OS error",
       Category::kOsError,
       0,
       0,
       false,
       "",
       {13, SS_SECURITY_VIOLATION, 0, "no access"},
       SS_SECURITY_VIOLATION,
       0,
       0,
       "no access"},
      {"OS error: the device is gone", Category::kOsError, 0, 0, false, "", Gone(19, "gone"),
       SS_ERR, HASTAT_SEL_TO, 0, "gone"},
      {"OS error: the adapter timed out",
       Category::kOsError,
       0,
       0,
       false,
       "",
       {121, SS_ERR, HASTAT_COMMAND_TIMEOUT, "timed out"},
       SS_ERR,
       HASTAT_COMMAND_TIMEOUT,
       0,
       "timed out"},
  };
  for (const auto& c : cases) {
    TransferResult& a = sys->units["dev0"].answer;
    a = {};
    a.category = c.category;
    a.scsi_status = c.scsi;
    a.host_status = c.host;
    if (c.sense) SetSense(a, fixed);
    a.detail = c.detail;
    a.os = c.os;
    auto s = Block(0, 2, write_buffer, 16384);
    EXPECT_EQ(Send(s), c.result) << c.what;
    EXPECT_EQ(s.SRB_HaStat, c.ha_stat) << c.what;
    EXPECT_EQ(s.SRB_TargStat, c.targ_stat) << c.what;
    EXPECT_EQ(s.SenseArea[0], c.sense ? 0x70 : 0) << c.what;
    EXPECT_EQ(bus->LastError(), c.os.error) << c.what;
    EXPECT_EQ(bus->LastHint(), c.hint) << c.what;
  }
}

TEST_F(BusTest, CheckConditionFillsFixedSenseWithinSenseLen) {
  TransferResult& a = sys->units["dev1"].answer;
  a.category = Category::kSense;
  a.scsi_status = STATUS_CHKCOND;
  SetSense(a, {0x72, 2, 0x3A, 0, 0, 0, 0, 12, 0, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34});
  auto s = Block(1, 0, tur, 0);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(Bytes(s.SenseArea, s.SenseArea + 14),
            (Bytes{0xF0, 0, 2, 0, 0, 0x12, 0x34, 10, 0, 0, 0, 0, 0x3A, 0}));

  Bytes long_sense(32, 0x44);
  long_sense[0] = 0x70;
  SetSense(a, long_sense);
  s = Block(1, 0, tur, 0);
  s.SRB_SenseLen = 8;
  Send(s);
  EXPECT_EQ(s.SenseArea[7], 0x44);
  EXPECT_EQ(s.SenseArea[8], 0);
}

TEST_F(BusTest, OpenVerifyAndTransferFailuresAreTheRequestsResult) {
  const struct {
    const char* where;
    Failure failure;
  } cases[] = {
      {"open", {13, SS_SECURITY_VIOLATION, 0, "no access to dev0"}},
      {"open", {16, SS_BC_IN_USE, 0, "dev0 is in use by another program"}},
      {"open", Gone(2, "dev0 is gone; run SCSI Rescan")},
      {"verify", {25, SS_FAILED_INIT, 0, "dev0: not a SCSI generic device"}},
      {"verify", Gone(19, "dev0 is gone; run SCSI Rescan")},
      {"verify", Gone(0, "dev0 is now 0:0:5:0, not 0:0:2:0 as at the last scan; run SCSI Rescan")},
      {"transfer", {12, SS_ASPI_IS_BUSY, 0, "could not map 58 bytes for dev0"}},
      {"transfer", {22, SS_INVALID_SRB, 0, "the largest transfer of dev0"}},
      {"transfer", Gone(19, "dev0 is gone; run SCSI Rescan")},
  };
  for (const auto& c : cases) {
    testing::FakeUnit& unit = sys->units["dev0"];
    const std::string where = c.where;
    if (where == "open") unit.open_fails = c.failure;
    if (where == "verify") unit.verify_fails = c.failure;
    if (where == "transfer") unit.answer.category = Category::kOsError, unit.answer.os = c.failure;
    std::fill(buf.begin(), buf.end(), 0xEE);
    sys->Forget();
    auto s = Block(0, 2, inquiry, 58);
    // Found before the command is queued, the failure is the call's own result
    // (the executor describes a failure by it).
    const int32_t submitted = bus->BCSendASPI32Command(&s, buf.data());
    EXPECT_EQ(submitted, where == "transfer" ? SS_PENDING : c.failure.status) << c.failure.hint;
    EXPECT_EQ(Wait(s), c.failure.status) << c.failure.hint;
    EXPECT_EQ(s.SRB_HaStat, c.failure.host_status) << c.failure.hint;
    EXPECT_EQ(bus->LastError(), c.failure.error);
    EXPECT_EQ(bus->LastHint(), c.failure.hint);
    EXPECT_EQ(sys->SentNow().size(), where == "transfer" ? 1u : 0u) << c.failure.hint;
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 58, 0), 58) << "data in reads zero";
    EXPECT_TRUE(sys->NothingOpen());
    unit = {};
  }
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  EXPECT_EQ(bus->LastError(), 0);
  EXPECT_EQ(bus->LastHint(), "");
}

TEST_F(BusTest, BadBlocksAreRefusedBeforeTheDevice) {
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
  EXPECT_EQ(bus->BCSendASPI32Command(nullptr, buf.data()), SS_BC_INVALID_CALL);
  EXPECT_TRUE(sys->Calls("open").empty());
}

TEST_F(BusTest, RefusalsSayWhyAndClearTheLastOsError) {
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
      {[&] { return execute(3, tur, 0, buf.data()); }, SS_INVALID_HA,
       "no SCSI host behind adapter 3"},
      {[&] {
         int32_t r = 0;
         Inquire(3, &r);
         return r;
       },
       SS_INVALID_HA, "no SCSI host behind adapter 3"},
      {[&] {
         return execute(0, {0x12, 0, 0, 0}, 58, buf.data());
       },
       SS_INVALID_SRB, "CDB length 4 is outside 6-16"},
      {[&] { return execute(0, inquiry, kDataBufSize + 1, buf.data()); }, SS_BUFFER_TOO_BIG,
       "transfer length " + std::to_string(kDataBufSize + 1) + " is larger than the " + size +
           "-byte data buffer"},
      {[&] { return execute(0, inquiry, 58, nullptr); }, SS_INVALID_SRB,
       "transfer without a data buffer"},
      {[&] {
         SRB_Header h{};
         h.SRB_Cmd = 0x05;
         return bus->BCSendASPI32Command(&h, buf.data());
       },
       SS_INVALID_CMD,
       "request code 0x05 is not supported (only host adapter inquiry and execute)"},
  };
  for (const auto& c : cases) {
    sys->units["dev0"].open_fails = Failure{13, SS_SECURITY_VIOLATION, 0, "no access"};
    EXPECT_EQ(Send(0, 2, tur), SS_SECURITY_VIOLATION);
    ASSERT_EQ(bus->LastError(), 13);
    EXPECT_EQ(c.send(), c.result) << c.hint;
    EXPECT_EQ(bus->LastError(), 0) << c.hint;
    EXPECT_EQ(bus->LastHint(), c.hint);
  }
}

TEST_F(BusTest, TransferAboveTheDevicesLimitIsRefusedBeforeTheDevice) {
  std::fill(buf.begin(), buf.end(), 0xEE);
  auto s = Block(1, 0, read_long, 37855);
  EXPECT_EQ(Send(s), SS_BUFFER_TOO_BIG);
  EXPECT_EQ(LoadSrbStatus(&s), SS_BUFFER_TOO_BIG);
  EXPECT_EQ(bus->LastHint(),
            "the adapter of dev1 takes at most 32768 bytes per command, not 37855 (the fake's "
            "limit)");
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xEE), kDataBufSize) << "buffer untouched";
  EXPECT_TRUE(sys->Calls("open").empty());
  EXPECT_EQ(Send(1, 0, read_long, 32768), SS_COMP);
  EXPECT_EQ(Send(1, 0, tur, 37855), SS_COMP) << "no data phase: no limit";
}

TEST_F(BusTest, BytesTheDeviceDidNotReturnReadZero) {
  // INQUIRY for 58 bytes; the device returns `returned` of them, into a buffer
  // that still holds an older answer.
  testing::FakeUnit& unit = sys->units["dev0"];
  for (int returned : {0, 5, 32, 36, 58}) {
    unit.data.assign(static_cast<size_t>(returned), 0x41);
    std::fill(buf.begin(), buf.end(), 0xEE);
    auto s = Block(0, 2, inquiry, 58);
    ASSERT_EQ(Send(s), SS_COMP) << returned;
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + returned), Bytes(returned, 0x41)) << returned;
    EXPECT_EQ(Bytes(buf.begin() + returned, buf.begin() + 58), Bytes(58 - returned, 0)) << returned;
    EXPECT_EQ(buf[58], 0xEE) << "nothing past SRB_BufLen";
  }
  // A residual beyond the transfer: nothing was returned; nor after a failure.
  unit.data.assign(58, 0x41);
  unit.residual = 500;
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(Send(0, 2, inquiry, 58), SS_COMP);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 58), Bytes(58, 0));
  unit.residual.reset();
  unit.answer.category = Category::kOsError;
  unit.answer.os = {5, SS_FAILED_INIT, 0, "dev0: I/O error"};
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(Send(0, 2, inquiry, 58), SS_FAILED_INIT);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 58), Bytes(58, 0));
}

TEST_F(BusTest, AShortWriteIsNotASentBlock) {
  sys->units["dev1"].residual = 100;
  auto s = Block(1, 0, write_buffer, 16384);
  EXPECT_EQ(Send(s), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, HASTAT_DO_DU);
  EXPECT_EQ(bus->LastHint(), "100 of 16384 bytes for dev1 were not transferred");
  // A read that returns less than asked is fine.
  EXPECT_EQ(Send(1, 0, inquiry, 58), SS_COMP);
}

TEST_F(BusTest, CancelledRequestIsNeverWrittenAfterALateCompletion) {
  sys->units["dev0"].data.assign(58, 0x41);
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
  // The worker runs one request at a time: once the next one is complete, the
  // cancelled one has been dropped.
  auto next = Block(1, 0, tur, 0);
  bus->BCSendASPI32Command(&next, other.data());
  EXPECT_EQ(Wait(next), SS_COMP);
  EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xEE), kDataBufSize);
  EXPECT_EQ(LoadSrbStatus(&queued), SS_PENDING);
  EXPECT_EQ(sys->SentNow().size(), 2u) << "the cancelled write was never sent";
  EXPECT_TRUE(sys->NothingOpen());
}

// Through the executor, converted sense reads as the system's own text.
TEST_F(BusTest, ExecutorReadsConvertedSense) {
  TransferResult& a = sys->units["dev1"].answer;
  a.category = Category::kSense;
  a.scsi_status = STATUS_CHKCOND;
  SetSense(a, {0x72, 0x02, 0x3A, 0x00, 0, 0, 0, 0});
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

// ---- Reservation and destruction ----------------------------------------------

TEST_F(BusTest, ReserveKeepsTheNodeExclusivelyUntilRelease) {
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_EQ(Whats(sys->Calls("", "dev0")),
            (std::vector<std::string>{"open exclusive", "verify", "hold"}));
  EXPECT_TRUE(sys->IsOpen("dev0"));
  EXPECT_FALSE(OpenDev0().node) << "another open of it fails";
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt) << "ours already";
  EXPECT_EQ(sys->Calls("open exclusive").size(), 1u);
  bus->Release();
  EXPECT_TRUE(sys->NothingOpen());
  bus->Release();  // nothing reserved: a no-op

  // Another device: the first one is given back.
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_EQ(bus->Reserve(1, 0, 0), std::nullopt);
  EXPECT_FALSE(sys->IsOpen("dev0"));
  EXPECT_TRUE(sys->IsOpen("dev1"));
  EXPECT_EQ(bus->Reserve(2, 0, 0), std::nullopt) << "a device without an address";
  bus.reset();
  EXPECT_TRUE(sys->NothingOpen()) << "destruction releases";
}

TEST_F(BusTest, RefusedReservationsSayWhyAndHoldNothing) {
  const struct {
    uint8_t target;
    std::function<void(testing::FakeUnit&)> arrange;
    std::string want;
  } cases[] = {
      {2,
       [](auto& u) {
         u.open_fails = Failure{16, SS_BC_IN_USE, 0, "dev0 is open elsewhere"};
       },
       "dev0 is open elsewhere"},
      {2, [](auto& u) { u.verify_fails = Gone(0, "dev0 is now 0:0:4:0; run SCSI Rescan"); },
       "dev0 is now 0:0:4:0; run SCSI Rescan"},
      {2, [](auto& u) { u.hold_refuses = "/dev/sr0 is mounted at /media/my cd"; },
       "/dev/sr0 is mounted at /media/my cd"},
      {3, [](auto&) {}, "no device at adapter 0 target 3 LUN 0"},
  };
  for (const auto& c : cases) {
    Build();
    c.arrange(sys->units["dev0"]);
    EXPECT_EQ(bus->Reserve(0, c.target, 0), c.want);
    EXPECT_TRUE(sys->NothingOpen()) << c.want;
    EXPECT_TRUE(sys->SentNow().empty()) << c.want;
  }
}

TEST_F(BusTest, CommandsGoThroughTheReservedNodeVerifiedBeforeEach) {
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  const int held = sys->Calls("hold").at(0).id;
  sys->Forget();
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  EXPECT_EQ(Send(0, 2, write_buffer, 16384), SS_COMP);
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  EXPECT_TRUE(sys->Calls("open", "dev0").empty()) << "no open of its own";
  ASSERT_EQ(sys->SentNow().size(), 3u);
  for (const auto& sent : sys->SentNow()) EXPECT_EQ(sent.id, held);
  const auto verified = sys->Calls("verify");
  ASSERT_EQ(verified.size(), 3u) << "verified before each";
  for (const auto& v : verified) {
    EXPECT_EQ(v.id, held);
    EXPECT_EQ(v.thread, std::this_thread::get_id()) << "on the caller's thread";
  }
  EXPECT_TRUE(sys->IsOpen("dev0")) << "kept after the commands";

  // Another device meanwhile: opened and closed per command, as without a reservation.
  EXPECT_EQ(Send(1, 0, tur), SS_COMP);
  EXPECT_EQ(sys->Calls("open", "dev1").size(), 1u);
  EXPECT_FALSE(sys->IsOpen("dev1"));

  // The reserved node renumbered: refused before the transfer, and still held.
  sys->units["dev0"].verify_fails = Gone(0, "dev0 is now 0:0:4:0; run SCSI Rescan");
  EXPECT_EQ(Send(0, 2, write_buffer, 16384), SS_ERR);
  EXPECT_EQ(bus->LastHint(), "dev0 is now 0:0:4:0; run SCSI Rescan");
  EXPECT_EQ(sys->SentNow().size(), 4u) << "only the other device's command was sent";
  EXPECT_TRUE(sys->IsOpen("dev0"));
  bus->Release();
  EXPECT_TRUE(sys->NothingOpen());

  // Released: per-command opens again.
  sys->units["dev0"].verify_fails.reset();
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  EXPECT_EQ(sys->Calls("open", "dev0").size(), 1u);
  EXPECT_TRUE(sys->NothingOpen());
}

TEST_F(BusTest, ANodeIsNotClosedUnderACommandInTheKernel) {
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  sys->Hold();
  auto s = Block(0, 2, write_buffer, 16384);
  ASSERT_EQ(bus->BCSendASPI32Command(&s, buf.data()), SS_PENDING);
  sys->WaitInKernel();
  bus->Release();  // returns while the command is in the kernel
  EXPECT_TRUE(sys->IsOpen("dev0")) << "the command in the kernel still uses it";
  // Reserved again meanwhile: the node still open is taken back, not reopened
  // (an open would fail against it).
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_EQ(sys->Calls("open exclusive").size(), 1u);
  bus->Release();
  sys->Release();
  EXPECT_EQ(Wait(s), SS_COMP);
  EXPECT_FALSE(sys->IsOpen("dev0")) << "closed by the time the block shows the end";
}

// Destruction stops the worker, waiting for the command in the kernel, before
// it releases the device: the node of that command closes only once it is back.
TEST_F(BusTest, DestructionWaitsForTheCommandInTheKernelThenReleases) {
  for (const bool reserved : {false, true}) {
    Build();
    if (reserved) {
      ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
    }
    sys->Hold();
    auto first = Block(0, 2, tur, 0);
    auto second = Block(1, 0, tur, 0);
    EXPECT_EQ(bus->BCSendASPI32Command(&first, buf.data()), SS_PENDING);
    EXPECT_EQ(bus->BCSendASPI32Command(&second, buf.data()), SS_PENDING);
    sys->WaitInKernel();
    std::thread destroy([&] { bus.reset(); });
    EXPECT_TRUE(sys->IsOpen("dev0")) << "the command in the kernel keeps its node";
    sys->Release();
    destroy.join();
    EXPECT_EQ(LoadSrbStatus(&first), SS_COMP);
    EXPECT_NE(LoadSrbStatus(&second), SS_PENDING) << "queued: run, or ended as aborted";
    EXPECT_TRUE(sys->NothingOpen());
    EXPECT_EQ(Whats(sys->Calls("", "dev0")).back(), "close");
    const auto calls = Whats(sys->Calls("", "dev0"));
    EXPECT_LT(std::find(calls.begin(), calls.end(), "back"),
              std::find(calls.begin(), calls.end(), "close"))
        << (reserved ? "reserved" : "opened for the command");
  }
}

TEST_F(BusTest, MountPointsAreTheDevicesOwn) {
  sys->units["dev0"].mounts = {"/media/my cd", "/mnt"};
  EXPECT_EQ(bus->MountPoints(0, 2, 0), (std::vector<std::string>{"/media/my cd", "/mnt"}));
  EXPECT_TRUE(bus->MountPoints(0, 3, 0).empty());
  EXPECT_EQ(sys->Calls("mounts").size(), 1u) << "without a device nothing is asked";
  EXPECT_TRUE(sys->Calls("open").empty()) << "nothing is opened to answer";
}

}  // namespace
}  // namespace qx::passthrough
