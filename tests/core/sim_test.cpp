// Simulated bus and drive, driven through hand-built request blocks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "aspi/executor.h"
#include "aspi/manager.h"
#include "aspi/srb.h"
#include "download/firmware_tag.h"
#include "platform/os.h"
#include "tests/support/system.h"
#include "transport/sim/scenario.h"
#include "transport/sim/sim_bus.h"

namespace qx::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kFill = 0xAA;  // buffer content before a request: shows what was written

struct Result {
  int32_t ret = 0;
  uint8_t status = 0, ha_stat = 0, targ_stat = 0, key = 0, asc = 0, ascq = 0;
  Bytes buffer = Bytes(kMaxTransferLength, kFill);

  size_t Written() const {  // up to the last byte that is no longer kFill
    size_t n = buffer.size();
    while (n > 0 && buffer[n - 1] == kFill) --n;
    return n;
  }
};

SRB_ExecSCSICmd MakeSrb(uint8_t ha, uint8_t id, const Bytes& cdb, uint32_t buf_len) {
  SRB_ExecSCSICmd s{};
  s.SRB_Cmd = SC_EXEC_SCSI_CMD;
  s.SRB_HaId = ha;
  s.SRB_Target = id;
  s.SRB_BufLen = buf_len;
  s.SRB_SenseLen = kSenseLen;
  s.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
  std::copy_n(cdb.begin(), std::min<size_t>(cdb.size(), 16), s.CDBByte);
  return s;
}

Result Send(SimBus& bus, uint8_t ha, uint8_t id, const Bytes& cdb, uint32_t buf_len,
            const Bytes& data_out = {}) {
  Result r;
  std::copy(data_out.begin(), data_out.end(), r.buffer.begin());
  auto s = MakeSrb(ha, id, cdb, buf_len);
  r.ret = bus.BCSendASPI32Command(&s, r.buffer.data());
  r.status = LoadSrbStatus(&s);
  r.ha_stat = s.SRB_HaStat;
  r.targ_stat = s.SRB_TargStat;
  r.key = s.SenseArea[2];
  r.asc = s.SenseArea[12];
  r.ascq = s.SenseArea[13];
  return r;
}

std::shared_ptr<SimBus> Load(const std::string& json) {
  std::string error;
  auto bus = SimBus::FromJsonText(json, &error);
  EXPECT_NE(bus, nullptr) << error;
  return bus;
}

const Bytes kInquiry58{0x12, 0, 0, 0, 0x3A, 0};
const Bytes kTur{0, 0, 0, 0, 0, 0xC0};
Bytes MemoryRead(uint32_t start, uint32_t end) {
  Bytes cdb{0xDF, 0, 0xE2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    cdb[5 + i] = static_cast<uint8_t>(start >> (16 - 8 * i));
    cdb[8 + i] = static_cast<uint8_t>(end >> (16 - 8 * i));
  }
  return cdb;
}
Bytes WriteBufferCdb(uint8_t mode, uint8_t id, uint32_t len = kDriveBlockSize) {
  return {0x3B, mode, id, 0, 0, 0, uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len), 0};
}

// ---------------------------------------------------------------------------
// Host adapter inquiry

TEST(SimHaInquiry, PresentAdapterIsDescribedAndAbsentOneLeftUntouched) {
  auto bus = SimBus::BuiltIn();
  ASSERT_NE(bus, nullptr);
  EXPECT_EQ(bus->GetASPI32SupportInfo(), 0x0102u);  // ready, two adapters

  SRB_HAInquiry q{};
  q.SRB_HaId = 2;
  EXPECT_EQ(bus->BCSendASPI32Command(&q, nullptr), 1);
  EXPECT_EQ(LoadSrbStatus(&q), SS_COMP);
  EXPECT_EQ(q.HA_Count, 2);
  EXPECT_EQ(q.HA_SCSI_ID, 7);
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), "SIM-HA2");
  EXPECT_EQ(q.HA_ManagerId[15], 0);

  SRB_HAInquiry absent;
  std::memset(&absent, 0x5A, sizeof absent);
  absent.SRB_Cmd = SC_HA_INQUIRY;
  absent.SRB_Status = 0;
  absent.SRB_HaId = 1;
  SRB_HAInquiry before = absent;
  EXPECT_EQ(bus->BCSendASPI32Command(&absent, nullptr), SS_INVALID_HA);
  EXPECT_EQ(absent.SRB_Status, SS_INVALID_HA);
  before.SRB_Status = SS_INVALID_HA;
  EXPECT_EQ(std::memcmp(&before, &absent, sizeof absent), 0);
  EXPECT_EQ(bus->HaInquiryCount(), 2u);
}

TEST(SimHaInquiry, LongTextsAreCutToSixteenBytes) {
  auto bus = Load(R"({"adapters":[{"ha":0,"identifier":"ABCDEFGHIJKLMNOPQRS"}]})");
  SRB_HAInquiry q{};
  ASSERT_EQ(bus->BCSendASPI32Command(&q, nullptr), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(q.HA_Identifier), 16), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(q.HA_Unique[0], 0);
}

// ---------------------------------------------------------------------------
// Commands against the built-in scenario

struct CommandCase {
  const char* name;
  uint8_t ha, id;
  Bytes cdb;
  uint32_t buf_len;
  int32_t status;  // also the return value
  uint8_t ha_stat, targ_stat, key, asc, ascq;
  size_t written;
  Bytes data;  // expected start of the data
};

// Test listings show the case's name, not its bytes.
void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.name;
}

class SimCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(SimCommand, AnswersWithDataAndSense) {
  const CommandCase& c = GetParam();
  auto bus = SimBus::BuiltIn();
  Result r = Send(*bus, c.ha, c.id, c.cdb, c.buf_len);
  EXPECT_EQ(r.ret, c.status);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.ha_stat, c.ha_stat);
  EXPECT_EQ(r.targ_stat, c.targ_stat);
  EXPECT_EQ(r.key, c.key);
  EXPECT_EQ(r.asc, c.asc);
  EXPECT_EQ(r.ascq, c.ascq);
  // The device's bytes, then zeros up to the transfer length for a request that
  // reached the bus; a request refused at submission leaves the buffer alone.
  const bool refused = c.status == SS_INVALID_HA || c.status == SS_INVALID_SRB;
  const size_t end = refused ? 0 : c.buf_len;
  EXPECT_EQ(r.Written(), std::max(end, c.written));
  EXPECT_EQ(Bytes(r.buffer.begin(), r.buffer.begin() + c.data.size()), c.data);
  if (end > c.written) {
    EXPECT_EQ(Bytes(r.buffer.begin() + c.written, r.buffer.begin() + end), Bytes(end - c.written));
  }
}

const Bytes kVersion110 = [] {
  std::string s = "1.10 (2003/05/12) ";
  return Bytes(s.begin(), s.end());
}();

// clang-format off
// name, ha, id, cdb, buf_len, status, ha_stat, targ_stat, key, asc, ascq, bytes written, data
const Bytes kHeaderCheck{0xDF, 0, 0xE0, 0, 0x00, 0, 1, 0, 0, 1, 0, 0x80};
const Bytes kReadLong{0xDF, 0, 0xE0, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0x80};
const Bytes kDiIn{0xDF, 0, 0xD9, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0};
const Bytes kDiOut{0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0};
INSTANTIATE_TEST_SUITE_P(Sim, SimCommand, ::testing::Values(
  CommandCase{"Inquiry58", 0, 2, kInquiry58, 58, 1, 0, 0, 0, 0, 0, 58,
              {0x05, 0x80, 0x02, 0x02, 91, 0, 0, 0, 'A', 'M', 'B', 'E', 'R', 'V', 'L', 'T',
               'Q', 'X', '-', 'R', '4', '4', '1', '0', ' '}},
  CommandCase{"InquiryAllOfIt", 0, 2, {0x12, 0, 0, 0, 0xFF, 0}, 255, 1, 0, 0, 0, 0, 0, 96, {}},
  CommandCase{"InquiryVpd", 0, 2, {0x12, 1, 0x80, 0, 0xFF, 0}, 255, 4, 0, 2, 5, 0x24, 0, 0, {}},
  CommandCase{"TurVendorBits", 0, 2, kTur, 0, 1, 0, 0, 0, 0, 0, 0, {}},
  CommandCase{"TurStd", 0, 2, {0, 0, 0, 0, 0, 0}, 0, 1, 0, 0, 0, 0, 0, 0, {}},
  CommandCase{"TurOddControl", 0, 2, {0, 0, 0, 0, 0, 0x01}, 0, 4, 0, 2, 5, 0x24, 0, 0, {}},
  CommandCase{"StartUnit", 0, 2, {0x1B, 0, 0, 0, 1, 0}, 0, 1, 0, 0, 0, 0, 0, 0, {}},
  CommandCase{"ReadBuffer", 0, 2, {0x3C, 1, 1, 0, 0, 0, 0, 0x10, 0x04, 0}, 4100,
              1, 0, 0, 0, 0, 0, 4100, {0x00, 0x01, 0x02}},
  CommandCase{"ReadBufferMode2", 0, 2, {0x3C, 2, 1, 0, 0, 0, 0, 0x10, 0x04, 0}, 4100,
              4, 0, 2, 5, 0x24, 0, 0, {}},
  CommandCase{"MemoryReadDefault", 0, 2, MemoryRead(0x7FE0, 0x7FE1), 5, 1, 0, 0, 0, 0, 0, 5,
              {0x12, 0x34, 0, 0, 0}},
  CommandCase{"MemoryReadSet", 2, 4, MemoryRead(0x7FE0, 0x7FE1), 5, 1, 0, 0, 0, 0, 0, 5,
              {0xCC, 0xDD, 0, 0, 0}},
  CommandCase{"DiIn", 0, 2, kDiIn, 2, 1, 0, 0, 0, 0, 0, 2, {0x1C, 0x7F}},
  CommandCase{"DiOut", 0, 2, kDiOut, 0, 1, 0, 0, 0, 0, 0, 0, {}},
  CommandCase{"HeaderCheck", 0, 2, kHeaderCheck, 256, 1, 0, 0, 0, 0, 0, 256,
              {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01}},
  CommandCase{"ReadLong", 0, 2, kReadLong, 37855, 1, 0, 0, 0, 0, 0, 37855, {0x00, 0x0D, 0x1A}},
  CommandCase{"LoopUnknown", 0, 2, {0xDF, 0, 0xE0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0x80}, 1,
              4, 0, 2, 5, 0x24, 0, 0, {}},
  CommandCase{"VendorUnknown", 0, 2, {0xDF, 0, 0x42, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0,
              4, 0, 2, 5, 0x24, 0, 0, {}},
  CommandCase{"UnknownOpcode", 0, 2, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 2048,
              4, 0, 2, 5, 0x20, 0, 0, {}},
  CommandCase{"DiskHasNoVendorCommands", 0, 5, MemoryRead(0, 1), 5, 4, 0, 2, 5, 0x20, 0, 0, {}},
  CommandCase{"AbsentTarget", 0, 3, kInquiry58, 58, 4, 0x11, 0, 0, 0, 0, 0, {}},
  CommandCase{"AbsentAdapter", 1, 2, kInquiry58, 58, 0x81, 0, 0, 0, 0, 0, 0, {}},
  CommandCase{"TooLong", 0, 2, kInquiry58, kMaxTransferLength + 1, 0xE0, 0, 0, 0, 0, 0, 0, {}},
  CommandCase{"NoCdb", 0, 2, {}, 0, 0xE0, 0, 0, 0, 0, 0, 0, {}}),
  [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(SimCommandVersion, InquiryBytes32To49ReadLikeAVersion) {
  auto bus = SimBus::BuiltIn();
  Result r = Send(*bus, 0, 2, kInquiry58, 58);
  EXPECT_EQ(Bytes(r.buffer.begin() + 32, r.buffer.begin() + 50), kVersion110);
  EXPECT_EQ(bus->Drive(0, 2)->version, "1.10 (2003/05/12) ");
}

TEST(SimCommandState, UnitAttentionOnceThenNotReady) {
  auto bus = Load(R"({"adapters":[{"ha":0,"targets":[
      {"id":2,"unit_attention":true,"not_ready":true}]}]})");
  Result first = Send(*bus, 0, 2, kTur, 0);
  EXPECT_EQ(std::tuple(first.status, first.key, first.asc), std::tuple(4, 6, 0x29));
  Result second = Send(*bus, 0, 2, kTur, 0);
  EXPECT_EQ(std::tuple(second.status, second.key, second.asc), std::tuple(4, 2, 0x3A));
  EXPECT_EQ(Send(*bus, 0, 2, kInquiry58, 58).status, 1);
}

TEST(SimCommandState, AbsentLunIsASelectionTimeout) {
  auto bus = SimBus::BuiltIn();
  Bytes buffer(64, kFill);
  auto s = MakeSrb(0, 2, kInquiry58, 58);
  s.SRB_Lun = 1;
  EXPECT_EQ(bus->BCSendASPI32Command(&s, buffer.data()), SS_ERR);
  EXPECT_EQ(s.SRB_HaStat, 0x11);
  Bytes want(58, 0);  // nothing answered: no byte of an older answer is left
  want.resize(64, kFill);
  EXPECT_EQ(buffer, want);
}

TEST(SimCommandState, ShortInquiryAnswersLeaveZerosNotOlderBytes) {
  const std::pair<const char*, size_t> targets[] = {
      {R"("inquiry_length":0)", 0},
      {R"("inquiry_length":5)", 5},
      {R"("inquiry_length":32)", 32},
      {R"("inquiry_length":36)", 36},
      {R"("kind":"generic","inquiry":{"raw":"00 00 02 02 00"})", 5},
  };
  for (const auto& [keys, returned] : targets) {
    auto bus = Load(std::string(R"({"adapters":[{"ha":0,"targets":[{"id":2,)") + keys + "}]}]}");
    ASSERT_NE(bus, nullptr) << keys;
    Result full = Send(*SimBus::BuiltIn(), 0, 2, kInquiry58, 58);
    Result r;
    r.buffer = full.buffer;  // the buffer still holds an earlier, complete answer
    auto s = MakeSrb(0, 2, kInquiry58, 58);
    ASSERT_EQ(bus->BCSendASPI32Command(&s, r.buffer.data()), SS_COMP) << keys;
    EXPECT_EQ(Bytes(r.buffer.begin() + returned, r.buffer.begin() + 58), Bytes(58 - returned))
        << keys;
    EXPECT_EQ(r.buffer[58], kFill) << keys;
    if (returned > 0) {
      EXPECT_EQ(r.buffer[2], 0x02) << keys;
    }
  }
}

TEST(SimCommandState, StoppedUnitIsNotReadyUntilStarted) {
  auto bus = SimBus::BuiltIn();
  ASSERT_EQ(Send(*bus, 0, 2, {0x1B, 0, 0, 0, 0, 0}, 0).status, 1);
  Result r = Send(*bus, 0, 2, kTur, 0);
  EXPECT_EQ(std::tuple(r.key, r.asc, r.ascq), std::tuple(2, 0x04, 0x02));
  ASSERT_EQ(Send(*bus, 0, 2, {0x1B, 0, 0, 0, 1, 0}, 0).status, 1);
  EXPECT_EQ(Send(*bus, 0, 2, kTur, 0).status, 1);
}

// ---------------------------------------------------------------------------
// Injected faults

TEST(SimFault, NthTimesAndSubmitResult) {
  auto bus = Load(R"({"adapters":[{"ha":0,"targets":[{"id":2}]}],"faults":[
      {"opcode":"0x00","nth":2,"times":2,"sense":{"key":6,"asc":"0x29","valid":true,"info":"0x1234"}},
      {"opcode":"0x12","srb_status":1,"submit_result":"0xFB"},
      {"ha":0,"id":2,"opcode":"0x1B","times":0,"ha_status":"0x11"}]})");
  std::vector<uint8_t> tur;
  for (int i = 0; i < 4; ++i) tur.push_back(Send(*bus, 0, 2, kTur, 0).status);
  EXPECT_EQ(tur, (std::vector<uint8_t>{1, 4, 4, 1}));

  Send(*bus, 0, 2, kTur, 0);  // fifth: outside the window
  Result inq = Send(*bus, 0, 2, kInquiry58, 58);
  EXPECT_EQ(inq.ret, 0xFB);
  EXPECT_EQ(inq.status, 1);
  EXPECT_EQ(Bytes(inq.buffer.begin(), inq.buffer.begin() + 59), [] {
    Bytes none(58, 0);  // a faulted request is not executed: no INQUIRY data
    none.push_back(kFill);
    return none;
  }());
  for (int i = 0; i < 3; ++i) {
    Result r = Send(*bus, 0, 2, {0x1B, 0, 0, 0, 1, 0}, 0);
    EXPECT_EQ(std::tuple(r.status, r.ha_stat, r.targ_stat), std::tuple(4, 0x11, 0));
  }
  auto log = bus->Log();
  ASSERT_EQ(log.size(), 9u);
  EXPECT_EQ(log[1].fault_rule, 0);
  EXPECT_EQ(log[0].fault_rule, -1);
  EXPECT_EQ(log[6].fault_rule, 2);
}

TEST(SimFault, SenseBytesAreFixedFormat) {
  auto bus = Load(R"({"adapters":[{"ha":0,"targets":[{"id":2}]}],"faults":[
      {"sense":{"key":3,"asc":"0x80","ascq":0,"byte19":"0xC3","valid":true,"info":"0x1234"}}]})");
  Bytes buffer(16, 0);
  auto s = MakeSrb(0, 2, kTur, 0);
  EXPECT_EQ(bus->BCSendASPI32Command(&s, buffer.data()), 4);
  EXPECT_EQ(s.SRB_TargStat, 2);  // default with sense
  Bytes sense(s.SenseArea, s.SenseArea + 20);
  EXPECT_EQ(sense,
            (Bytes{0xF0, 0, 3, 0, 0, 0x12, 0x34, 12, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0xC3}));
}

// ---------------------------------------------------------------------------
// Asynchronous completion and Cancel

bool WaitForStatus(const void* srb, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (LoadSrbStatus(srb) == SS_PENDING) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(SimAsync, CompletesFromWorkerAfterDelay) {
  auto bus = Load(R"({"adapters":[{"ha":0,"targets":[{"id":2}]}],
                      "completion":{"async":true,"delay_ms":50}})");
  Bytes buffer(64, kFill);
  auto s = MakeSrb(0, 2, kInquiry58, 58);
  EXPECT_EQ(bus->BCSendASPI32Command(&s, buffer.data()), SS_PENDING);
  EXPECT_EQ(LoadSrbStatus(&s), SS_PENDING);
  ASSERT_TRUE(WaitForStatus(&s, std::chrono::seconds(5)));
  EXPECT_EQ(LoadSrbStatus(&s), SS_COMP);
  EXPECT_EQ(buffer[0], 0x05);
  EXPECT_EQ(buffer[58], kFill);
  EXPECT_TRUE(bus->Log().at(0).async);
  EXPECT_EQ(bus->PendingCount(), 0u);
}

TEST(SimAsync, ResubmittingABlockDropsItsEarlierCompletion) {
  auto bus = Load(R"({"adapters":[{"ha":0,"targets":[{"id":2,"delay_ms":60000}]}]})");
  Bytes buffer(64, kFill);
  auto s = MakeSrb(0, 2, kInquiry58, 58);
  bus->BCSendASPI32Command(&s, buffer.data());
  s = MakeSrb(0, 2, kTur, 0);
  bus->BCSendASPI32Command(&s, buffer.data());
  EXPECT_EQ(bus->PendingCount(), 1u);
  auto log = bus->Log();
  EXPECT_TRUE(log[0].cancelled);
  EXPECT_FALSE(log[1].cancelled);
}

struct CancelCase {
  const char* name;
  const char* scenario;
};

void PrintTo(const CancelCase& c, std::ostream* os) {
  *os << c.name;
}

class SimCancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(SimCancel, NothingIsWrittenAfterCancel) {
  auto bus = Load(GetParam().scenario);
  Bytes buffer(64, kFill);
  auto s = MakeSrb(0, 2, kInquiry58, 58);
  SRB_ExecSCSICmd before = s;
  EXPECT_EQ(bus->BCSendASPI32Command(&s, buffer.data()), SS_PENDING);
  EXPECT_EQ(bus->PendingCount(), 1u);
  bus->Cancel(&s);
  EXPECT_EQ(bus->PendingCount(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
  EXPECT_EQ(buffer, Bytes(64, kFill));
  EXPECT_TRUE(bus->Log().at(0).cancelled);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimCancel,
    ::testing::Values(CancelCase{"NeverComplete", R"({"adapters":[{"ha":0,"targets":[{"id":2}]}],
                   "faults":[{"opcode":"0x12","never_complete":true}]})"},
                      CancelCase{"SlowDrive",
                                 R"({"adapters":[{"ha":0,"targets":[{"id":2,"delay_ms":20}]}]})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimAsync, DestructionDoesNotWaitForOrWriteLateCompletions) {
  auto bus = Load(R"({"adapters":[{"ha":0,"targets":[{"id":2,"delay_ms":600000}]}]})");
  Bytes buffer(64, kFill);
  auto s = MakeSrb(0, 2, kInquiry58, 58);
  bus->BCSendASPI32Command(&s, buffer.data());
  auto t0 = std::chrono::steady_clock::now();
  bus.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(LoadSrbStatus(&s), SS_PENDING);
  EXPECT_EQ(buffer, Bytes(64, kFill));
}

// ---------------------------------------------------------------------------
// Firmware download

Bytes MakeImage(const std::string& version) {
  Bytes image(kDriveImageSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 14));
  std::string tag = std::string(kFirmwareVersionTag) + version;
  std::copy(tag.begin(), tag.end(), image.begin() + kFirmwareVersionOffset);
  return image;
}

Result SendBlock(SimBus& bus, const Bytes& image, uint8_t block, uint8_t mode) {
  Bytes data(image.begin() + block * kDriveBlockSize,
             image.begin() + (block + 1) * kDriveBlockSize);
  return Send(bus, 0, 2, WriteBufferCdb(mode, block), kDriveBlockSize, data);
}

constexpr const char* kOneDrive = R"({"adapters":[{"ha":0,"targets":[{"id":2%s}]}]})";
std::string OneDrive(const std::string& extra) {
  std::string s = kOneDrive;
  return s.replace(s.find("%s"), 2, extra);
}

TEST(SimDownload, StoreSaveReprogramPowerCycleAndNewVersion) {
  auto bus = Load(OneDrive(R"(,"reprogram_commands":2)"));
  const std::string old_version = bus->Drive(0, 2)->version;
  Bytes image = MakeImage("2.00 (2004/01/01) ");
  for (uint8_t b = 0; b < 15; ++b) ASSERT_EQ(SendBlock(*bus, image, b, 4).status, 1);
  auto mid = *bus->Drive(0, 2);
  EXPECT_EQ(mid.blocks_received, 15u);
  EXPECT_FALSE(mid.received[15]);
  EXPECT_EQ(mid.save_count, 0u);
  EXPECT_EQ(mid.flash[kFirmwareVersionOffset + 13], static_cast<uint8_t>(old_version[0]));

  ASSERT_EQ(SendBlock(*bus, image, 15, 5).status, 1);
  auto saved = *bus->Drive(0, 2);
  EXPECT_EQ(saved.save_count, 1u);
  EXPECT_EQ(saved.staging, image);
  EXPECT_EQ(saved.flash, image);
  EXPECT_EQ(saved.version, old_version);  // still running the old firmware

  std::vector<std::tuple<uint8_t, uint8_t, uint8_t>> answers;
  for (int i = 0; i < 4; ++i) {
    Result r = Send(*bus, 0, 2, kInquiry58, 58);
    answers.emplace_back(r.key, r.asc, r.ascq);
  }
  EXPECT_EQ(answers[0], std::tuple(2, 0x04, 0x01));
  EXPECT_EQ(answers[1], std::tuple(2, 0x04, 0x01));
  EXPECT_EQ(answers[2], std::tuple(6, 0x29, 0x00));
  EXPECT_EQ(answers[3], std::tuple(0, 0, 0));
  EXPECT_EQ(bus->Drive(0, 2)->version, "2.00 (2004/01/01) ");
  EXPECT_EQ(bus->Drive(0, 2)->power_cycles, 1u);

  auto log = bus->Log();
  EXPECT_EQ(log[3].data_out,
            Bytes(image.begin() + 3 * kDriveBlockSize, image.begin() + 4 * kDriveBlockSize));
  EXPECT_EQ(log[3].cdb.size(), 10u);
  EXPECT_TRUE(log[16].data_out.empty());  // INQUIRY carries no data out
}

TEST(SimDownload, UnsavedBlocksAreLostOnPowerCycle) {
  auto bus = Load(OneDrive(""));
  Bytes image = MakeImage("9.99 (2099/01/01) ");
  ASSERT_EQ(SendBlock(*bus, image, 0, 4).status, 1);
  EXPECT_TRUE(bus->PowerCycle(0, 2));
  EXPECT_FALSE(bus->PowerCycle(0, 3));
  ASSERT_EQ(SendBlock(*bus, image, 1, 4).status, 4);  // unit attention after power-on
  ASSERT_EQ(SendBlock(*bus, image, 1, 5).status, 1);
  auto d = *bus->Drive(0, 2);
  EXPECT_EQ(d.flash[kFirmwareVersionOffset], 'Q');       // block 0 never committed
  EXPECT_NE(d.flash[kFirmwareVersionOffset + 13], '9');  // old tag still in place
  EXPECT_TRUE(std::equal(d.flash.begin() + kDriveBlockSize, d.flash.begin() + 2 * kDriveBlockSize,
                         image.begin() + kDriveBlockSize));
}

TEST(SimDownload, WithoutAutomaticPowerCycleVersionChangesOnlyOnPowerCycle) {
  auto bus = Load(OneDrive(R"(,"power_cycle_after_save":false,"reprogram_commands":1)"));
  Bytes image = MakeImage("3.00 (2005/02/02) ");
  ASSERT_EQ(SendBlock(*bus, image, 0, 5).status, 1);
  EXPECT_EQ(Send(*bus, 0, 2, kTur, 0).key, 2);
  EXPECT_EQ(Send(*bus, 0, 2, kTur, 0).status, 1);  // no unit attention
  EXPECT_NE(bus->Drive(0, 2)->version, "3.00 (2005/02/02) ");
  bus->PowerCycle(0, 2);
  EXPECT_EQ(bus->Drive(0, 2)->version, "3.00 (2005/02/02) ");
}

struct WriteBufferCase {
  const char* name;
  std::string extra;  // target keys
  Bytes cdb;
  uint32_t buf_len;
  uint8_t status, ha_stat, asc, ascq;
};

void PrintTo(const WriteBufferCase& c, std::ostream* os) {
  *os << c.name;
}

class SimWriteBuffer : public ::testing::TestWithParam<WriteBufferCase> {};

TEST_P(SimWriteBuffer, RefusedAndNothingStored) {
  const auto& c = GetParam();
  auto bus = Load(OneDrive(c.extra));
  Result r = Send(*bus, 0, 2, c.cdb, c.buf_len);
  EXPECT_EQ(std::tuple(r.status, r.ha_stat, r.asc, r.ascq),
            std::tuple(c.status, c.ha_stat, c.asc, c.ascq));
  EXPECT_EQ(bus->Drive(0, 2)->blocks_received, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimWriteBuffer,
    ::testing::Values(
        WriteBufferCase{"Customizing", R"(,"refuse_download":"customizing")", WriteBufferCdb(4, 0),
                        kDriveBlockSize, 4, 0, 0x24, 0x90},
        WriteBufferCase{"Rpc", R"(,"refuse_download":"rpc")", WriteBufferCdb(5, 15),
                        kDriveBlockSize, 4, 0, 0x24, 0x91},
        WriteBufferCase{"ShortLength", "", WriteBufferCdb(4, 0, 16383), 16383, 4, 0, 0x24, 0},
        WriteBufferCase{"BlockSixteen", "", WriteBufferCdb(4, 16), kDriveBlockSize, 4, 0, 0x24, 0},
        WriteBufferCase{"Mode2", "", WriteBufferCdb(2, 0), kDriveBlockSize, 4, 0, 0x24, 0},
        WriteBufferCase{"Underrun", "", WriteBufferCdb(4, 0), 100, 4, 0x12, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Scenario files

struct JsonErrorCase {
  const char* name;
  const char* json;
  const char* message;  // expected part of the error text
};

void PrintTo(const JsonErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class SimScenarioError : public ::testing::TestWithParam<JsonErrorCase> {};

TEST_P(SimScenarioError, RejectedWithClearMessage) {
  std::string error;
  EXPECT_EQ(SimBus::FromJsonText(GetParam().json, &error), nullptr);
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, SimScenarioError,
    ::testing::Values(
        JsonErrorCase{"Syntax", "{\"adapters\": [", "not valid JSON"},
        JsonErrorCase{"NotObject", "[]", "scenario: expected an object"},
        JsonErrorCase{"UnknownKey", R"({"adapter":[]})", "unknown key 'adapter'"},
        JsonErrorCase{"NotNumber", R"({"manager_status":"one"})", "manager_status: 'one'"},
        JsonErrorCase{"Negative", R"({"manager_status":-1})", "out of range"},
        JsonErrorCase{"Float", R"({"manager_status":1.5})", "expected an integer"},
        JsonErrorCase{"HaRange", R"({"adapters":[{"ha":"0x8"}]})", "adapters[0].ha: value 8"},
        JsonErrorCase{"TwiceHa", R"({"adapters":[{"ha":0},{"ha":0}]})", "listed twice"},
        JsonErrorCase{"OwnId", R"({"adapters":[{"ha":0,"targets":[{"id":7}]}]})", "own SCSI ID"},
        JsonErrorCase{"Vendor", R"({"adapters":[{"ha":0,"targets":[{"id":1,
            "inquiry":{"vendor":"NINECHARS"}}]}]})",
                      "inquiry.vendor"},
        JsonErrorCase{"OddHex", R"({"adapters":[{"ha":0,"targets":[{"id":1,
            "memory":{"0x7FE0":"CCD"}}]}]})",
                      "memory.0x7FE0: odd number"},
        JsonErrorCase{"Refuse", R"({"adapters":[{"ha":0,"targets":[{"id":1,
            "refuse_download":true}]}]})",
                      "refuse_download"},
        JsonErrorCase{"PendingForEver", R"({"faults":[{"srb_status":0}]})", "never_complete"},
        JsonErrorCase{"AsyncType", R"({"completion":{"async":"yes"}})", "completion.async"},
        // Nesting is refused before it costs memory (a few hundred thousand
        // levels once took gigabytes).
        JsonErrorCase{
            "TooDeep",
            R"({"faults":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})",
            "nested deeper than 32 levels"},
        JsonErrorCase{"MountedText", R"({"adapters":[{"ha":0,"targets":[{"id":1,
            "mounted":"/media/cdrom"}]}]})",
                      "targets[0].mounted: expected an array of strings"},
        JsonErrorCase{"MountedNumber", R"({"adapters":[{"ha":0,"targets":[{"id":1,
            "mounted":["/a",2]}]}]})",
                      "targets[0].mounted[1]: expected a non-empty string"},
        JsonErrorCase{"MountedEmpty", R"({"adapters":[{"ha":0,"targets":[{"id":1,
            "mounted":[""]}]}]})",
                      "mounted[0]: expected a non-empty string"},
        JsonErrorCase{"InUse", R"({"adapters":[{"ha":0,"targets":[{"id":1,"in_use":1}]}]})",
                      "targets[0].in_use: expected true or false"},
        // A number in a string is the number alone, without blanks around it.
        JsonErrorCase{"IdLeadingBlank", R"({"adapters":[{"ha":0,"targets":[{"id":" 2"}]}]})",
                      "targets[0].id: ' 2' is not a number"},
        JsonErrorCase{"HaTrailingBlank", R"({"adapters":[{"ha":"0 "}]})",
                      "adapters[0].ha: '0 ' is not a number"}),
    [](const auto& info) { return std::string(info.param.name); });

// Scenario paths and texts that are refused: each makes a file (or something
// else) at a fresh path; the message names the problem and quotes little.
namespace fs = std::filesystem;

struct FileErrorCase {
  const char* name;
  std::function<void(const fs::path& path)> make;
  const char* message;
  bool fifo = false;  // needs a FIFO, which not every file system has
};

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(SimScenario, RefusedFilesAndTextsComeBackAsShortMessages) {
  const std::string huge(15u << 20, 'x');
  const FileErrorCase cases[] = {
      {"Fifo", [](const fs::path& p) { ASSERT_TRUE(test::MakeFifo(p)); }, "is not a regular file",
       true},
      {"Directory", [](const fs::path& p) { std::filesystem::create_directory(p); },
       "is not a regular file"},
      {"Larger",
       [](const fs::path& p) {
         WriteText(p, "{}");
         std::filesystem::resize_file(p, kMaxScenarioFileBytes + 1);
       },
       "larger than 16 MiB"},
      {"DuplicateKey",
       [](const fs::path& p) {
         WriteText(p, R"({"adapters":[{"ha":0,"targets":[{"id":2,"id":3}]}]})");
       },
       "adapters[0].targets[0]: duplicate key 'id'"},
      {"DuplicateTopKey",
       [](const fs::path& p) { WriteText(p, R"({"manager_status":1,"manager_status":2})"); },
       "scenario: duplicate key 'manager_status'"},
      {"HugeNumberText",
       [&](const fs::path& p) { WriteText(p, R"({"manager_status":")" + huge + R"("})"); },
       "manager_status: 'xxxx"},
      {"HugeKey", [&](const fs::path& p) { WriteText(p, R"({")" + huge + R"(":1})"); },
       "unknown key 'xxxx"},
      {"HugeUnterminated", [&](const fs::path& p) { WriteText(p, R"({"a":")" + huge); },
       "not valid JSON"},
  };
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qx-scenario-" + std::to_string(test::ProcessId()));
  std::filesystem::create_directories(dir);
  for (const FileErrorCase& c : cases) {
    if (c.fifo && !test::HasFifos()) continue;
    const std::string path = os::Utf8FromPath(dir / c.name);
    c.make(dir / c.name);
    std::string error;
    EXPECT_EQ(SimBus::FromJsonFile(path, &error), nullptr) << c.name;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error.substr(0, 300);
    EXPECT_LT(error.size(), path.size() + 250) << c.name << ": " << error.substr(0, 300);
  }
  std::filesystem::remove_all(dir);
}

// An executor timeout cancels a slow request; the worker must not touch the
// cancelled entry afterwards, neither when another request wakes it nor when
// the bus goes (ASan finds the slip).
TEST(SimAsync, TimedOutRequestIsCancelledCleanly) {
  InstallAspiManager(Load(R"({"adapters":[{"ha":0,"targets":[
      {"id":2,"delay_ms":600000},{"id":3,"delay_ms":0}]}]})"));
  ResetTransportState();
  SelectedHaId = 0;
  const Cdb inquiry{0x12, 0, 0, 0, 0x3A, 0};
  ExecTimeout = std::chrono::milliseconds(20);
  SelectedTargetId = 2;
  EXPECT_EQ(ExecScsiCmd("Inquiry", 58, inquiry, 6), SS_ERR);
  EXPECT_EQ(LastHaStat, kHaStatTimeout);
  ExecTimeout = kDefaultExecTimeout;
  SelectedTargetId = 3;
  EXPECT_EQ(ExecScsiCmd("Inquiry", 58, inquiry, 6), SS_COMP);
  InstallAspiManager(nullptr);
  ResetTransportState();
}

// ---------------------------------------------------------------------------
// Mount points and reservation

TEST(SimReserve, MountPointsAndRefusalsAsTheScenarioSays) {
  auto bus = Load(R"({"adapters":[{"ha":0,"targets":[
      {"id":1},
      {"id":2,"mounted":["/media/cdrom","/mnt/a b"]},
      {"id":3,"in_use":true},
      {"id":4,"in_use":false,"mounted":[]}]}]})");
  ASSERT_NE(bus, nullptr);
  const struct {
    uint8_t id;
    std::vector<std::string> mounted;
    std::optional<std::string> refusal;
  } cases[] = {
      {1, {}, std::nullopt},
      {2,
       {"/media/cdrom", "/mnt/a b"},
       "the device at adapter 0 target 2 LUN 0 is mounted at /media/cdrom, /mnt/a b"},
      {3, {}, "the device at adapter 0 target 3 LUN 0 is open in another program"},
      {4, {}, std::nullopt},
      {5, {}, "no device at adapter 0 target 5 LUN 0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bus->MountPoints(0, c.id, 0), c.mounted) << +c.id;
    EXPECT_EQ(bus->Reserve(0, c.id, 0), c.refusal) << +c.id;
    EXPECT_EQ(bus->Reserved(0, c.id), !c.refusal) << +c.id;
    bus->Release();
    EXPECT_FALSE(bus->Reserved(0, c.id)) << +c.id;
  }
  EXPECT_EQ(bus->Reserve(1, 1, 0), "no device at adapter 1 target 1 LUN 0");
}

TEST(SimReserve, TheLogShowsWhichCommandsRanReserved) {
  auto bus =
      Load(R"({"adapters":[{"ha":0,"targets":[{"id":1},{"id":2},{"id":3,"in_use":true}]}]})");
  ASSERT_NE(bus, nullptr);
  Send(*bus, 0, 1, kTur, 0);
  ASSERT_EQ(bus->Reserve(0, 1, 0), std::nullopt);
  EXPECT_EQ(bus->Reserve(0, 1, 0), std::nullopt) << "ours already";
  Send(*bus, 0, 1, kTur, 0);
  Send(*bus, 0, 2, kTur, 0);
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_FALSE(bus->Reserved(0, 1)) << "one device at a time";
  Send(*bus, 0, 1, kTur, 0);
  Send(*bus, 0, 2, kTur, 0);
  EXPECT_TRUE(bus->Reserve(0, 3, 0).has_value());
  EXPECT_FALSE(bus->Reserved(0, 2)) << "a refused Reserve holds nothing";
  Send(*bus, 0, 2, kTur, 0);
  std::vector<std::pair<uint8_t, bool>> got;
  for (const LogEntry& e : bus->Log()) got.emplace_back(e.target, e.reserved);
  EXPECT_EQ(got, (std::vector<std::pair<uint8_t, bool>>{
                     {1, false}, {1, true}, {2, false}, {1, false}, {2, true}, {2, false}}));
}

TEST(SimScenario, MissingFileIsReported) {
  std::string error;
  EXPECT_EQ(SimBus::FromJsonFile("/nonexistent/x.json", &error), nullptr);
  EXPECT_NE(error.find("cannot open scenario file"), std::string::npos) << error;
}

TEST(SimScenario, ExamplesLoadAndDefaultEqualsBuiltIn) {
  std::filesystem::path dir = std::filesystem::path(QX_SOURCE_DIR) / "examples/scenarios";
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string error;
    EXPECT_NE(SimBus::FromJsonFile(os::Utf8FromPath(entry.path()), &error), nullptr) << error;
    ++count;
  }
  EXPECT_GE(count, 4);
  std::ifstream in(dir / "default.json");
  EXPECT_EQ(nlohmann::json::parse(in), nlohmann::json::parse(SimBus::BuiltInScenarioJson()));
}

}  // namespace
}  // namespace qx::sim
