// The SCSI pass-through device layer against scripted DeviceIoControl answers:
// the request structure, alignment, the buffered fallback, what an answer and a
// Windows error come to, verification, and the unshared open and volume lock
// of a held node.
#include "transport/spti/spti_devices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <new>
#include <optional>

#include "aspi/transport_state.h"
#include "spti_fake.h"
#include "tests/support/exec_command.h"
#include "transport/spti/spti_mapping.h"

namespace qx::spti {
namespace {

using passthrough::Category;
using passthrough::Device;
using passthrough::Node;
using passthrough::Share;
using testing::Caps;
using testing::FakeSystem;
using testing::InquiryData;
using Bytes = std::vector<uint8_t>;

const std::wstring kCdRom = L"\\\\.\\CdRom0";
const std::wstring kPort = L"\\\\.\\Scsi0:";
const std::wstring kF = L"\\\\.\\F:";
const std::wstring kM = L"\\\\.\\M:";
constexpr DWORD kAddress = IOCTL_SCSI_GET_ADDRESS;
constexpr DWORD kNumber = IOCTL_STORAGE_GET_DEVICE_NUMBER;
constexpr DWORD kListing = IOCTL_SCSI_GET_INQUIRY_DATA;
constexpr DWORD kLock = FSCTL_LOCK_VOLUME;
constexpr DWORD kUnlock = FSCTL_UNLOCK_VOLUME;
constexpr DWORD kDirect = IOCTL_SCSI_PASS_THROUGH_DIRECT;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Narrowed(const std::wstring& path) {
  return std::string(path.begin(), path.end());
}

// The bus's data buffer, aligned as SptiDevices asks.
struct Buffer {
  Buffer() : data(static_cast<uint8_t*>(::operator new[](kDataBufSize, kAlign))) {}
  ~Buffer() { ::operator delete[](data, kAlign); }
  static constexpr std::align_val_t kAlign{kBufferAlignment};
  uint8_t* data;
};

// CdRom0 at 0:0:2:0 (also letter D:); an unclaimed unit at 0:0:3:0 reached
// through \\.\Scsi0:; F: at 2:0:0:0 (wine's letter of /dev/srN); M: without
// an address (wine's letter of /dev/sgN).
class SptiDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(); }
  void Build() {
    sys = std::make_shared<FakeSystem>();
    sys->Node(kPort).inquiry_data = InquiryData(
        {7}, {{0, 2, 0, true, "QX      R4410"}, {0, 3, 0, false, "ACME    PROCESSOR", 3}});
    sys->Node(kPort).caps = Caps(65536, 0, 0);
    auto& cd = sys->Node(kCdRom, {0, 0, 2, 0});
    cd.caps = Caps(65536, 17, 1);
    cd.number = DeviceNumber{FILE_DEVICE_CD_ROM, 0};
    sys->drive_types[L'D'] = DRIVE_CDROM;
    sys->Node(L"\\\\.\\D:", {0, 0, 2, 0});
    sys->Node(kF, {2, 0, 0, 0}).caps = Caps(32768, 8, 0x1000);
    auto& m = sys->Node(kM);
    m.number = DeviceNumber{FILE_DEVICE_DISK, 1};
    m.caps = Caps(32768, 8, 0x1000);
    devices = MakeSptiDevices(sys);
    scan = devices->Enumerate();
    sys->ioctls.clear();
    sys->ioctl_handles.clear();
    sys->opens.clear();
    sys->open_modes.clear();
  }
  const Device& Dev(const std::wstring& path) const {
    const std::string node = Narrowed(path);
    return *std::find_if(scan.devices.begin(), scan.devices.end(),
                         [&](const Device& d) { return d.node == node; });
  }
  std::unique_ptr<Node> Open(const std::wstring& path, Share share = Share::kShared) {
    auto opened = devices->Open(Dev(path), share, 16384);
    EXPECT_TRUE(opened.node) << opened.failure.hint;
    return std::move(opened.node);
  }
  passthrough::TransferResult Transfer(const std::wstring& path, const Bytes& cdb,
                                       uint32_t length) {
    return Open(path)->Transfer(qx::testing::CommandFor(cdb, length), buf.data);
  }
  // The codes of the ioctls sent on `h`, in order.
  std::vector<DWORD> CodesOn(HANDLE h) const {
    std::vector<DWORD> codes;
    for (size_t i = 0; i < sys->ioctls.size(); ++i) {
      if (sys->ioctl_handles[i] == h) codes.push_back(sys->ioctls[i].second);
    }
    return codes;
  }
  testing::FakeAnswer& Answer(const std::wstring& path) { return sys->nodes[path].answer; }

  std::shared_ptr<FakeSystem> sys;
  std::shared_ptr<passthrough::Devices> devices;
  passthrough::Scan scan;
  Buffer buf;
  const Bytes tur{0, 0, 0, 0, 0, 0};
  const Bytes inquiry{0x12, 0, 0, 0, 0x3A, 0};
  const Bytes write_buffer{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0};
};

TEST_F(SptiDevicesTest, TheCommandBecomesOnePassThroughOnTheNode) {
  const struct {
    std::wstring node;
    Bytes cdb;
    uint32_t len;
    UCHAR data_in;
    ULONG length;
    UCHAR path_id, target_id;
  } cases[] = {
      {kCdRom, inquiry, 58, SCSI_IOCTL_DATA_IN, 58, 0, 2},
      {kCdRom, write_buffer, 16384, SCSI_IOCTL_DATA_OUT, 16384, 0, 2},
      {kPort, tur, 0, SCSI_IOCTL_DATA_UNSPECIFIED, 0, 0, 3},
      {kF, {0, 0, 0, 0, 0, 0xC0}, 8, SCSI_IOCTL_DATA_UNSPECIFIED, 0, 0, 0},
      {kF,
       {0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0},
       4,
       SCSI_IOCTL_DATA_UNSPECIFIED,
       0,
       0,
       0},
      {kM, {0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0}, 5, SCSI_IOCTL_DATA_IN, 5, 0, 0},
  };
  for (const auto& c : cases) {
    sys->seen.clear();
    std::fill(buf.data, buf.data + 16384, 0xA5);
    EXPECT_EQ(Transfer(c.node, c.cdb, c.len).category, Category::kGood);
    ASSERT_EQ(sys->seen.size(), 1u);
    const testing::Seen& io = sys->seen[0];
    EXPECT_EQ(io.code, kDirect);
    EXPECT_EQ(io.path, c.node);
    EXPECT_EQ(io.cdb, c.cdb);
    EXPECT_EQ(io.data_in, c.data_in) << int{c.cdb[0]};
    EXPECT_EQ(io.length, c.length);
    EXPECT_EQ(io.timeout, 300u);
    EXPECT_EQ(io.sense_len, kSenseBytes);
    EXPECT_EQ(io.path_id, c.path_id);
    EXPECT_EQ(io.target_id, c.target_id);
    EXPECT_EQ(io.data_buffer, c.length == 0 ? nullptr : buf.data) << "the buffer it was given";
    if (c.data_in == SCSI_IOCTL_DATA_OUT) {
      EXPECT_EQ(io.data_out, Bytes(16384, 0xA5));
    }
  }
  EXPECT_EQ(sys->last_access, DWORD{GENERIC_READ | GENERIC_WRITE});
  EXPECT_TRUE(std::all_of(sys->open_modes.begin(), sys->open_modes.end(),
                          [](const OpenMode& m) { return m == kSharedOpen; }));
  EXPECT_TRUE(sys->open_handles.empty()) << "closed with the node";
}

TEST_F(SptiDevicesTest, TimeoutIsWholeSecondsAtLeastOne) {
  for (auto [ms, want] : {std::pair<long long, ULONG>{0, 1},
                          {-5, 1},
                          {1, 1},
                          {1000, 1},
                          {1001, 2},
                          {4321, 5},
                          {300'000, 300},
                          {10'000'000'000'000LL, 0xFFFFFFFFu}}) {
    sys->seen.clear();
    const ExecCommand c = qx::testing::CommandFor(tur, 0, std::chrono::milliseconds(ms));
    Open(kCdRom)->Transfer(c, buf.data);
    EXPECT_EQ(sys->seen.at(0).timeout, want) << ms;
  }
}

TEST_F(SptiDevicesTest, DataBufferMeetsTheAlignmentMask) {
  Answer(kCdRom).data.assign(58, 0x41);
  for (ULONG mask : {0u, 1u, 0x1FFu, 0xFFFu, 0x1000u, 0xFFFFu, 0x1FFFFu}) {
    sys->nodes[kCdRom].caps = Caps(65536, 0, mask);
    scan = devices->Enumerate();
    sys->seen.clear();
    std::fill(buf.data, buf.data + 16384, 0x5A);
    EXPECT_EQ(Transfer(kCdRom, write_buffer, 16384).residual, 0u) << mask;
    std::fill(buf.data, buf.data + 58, 0);
    EXPECT_EQ(Transfer(kCdRom, inquiry, 58).residual, 0u) << mask;
    ASSERT_EQ(sys->seen.size(), 2u);
    for (const testing::Seen& io : sys->seen) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(io.data_buffer) & mask, 0u) << mask;
    }
    EXPECT_EQ(sys->seen[0].data_out, Bytes(16384, 0x5A)) << mask;
    EXPECT_EQ(Bytes(buf.data, buf.data + 58), Bytes(58, 0x41)) << mask;
  }
}

TEST_F(SptiDevicesTest, DirectRefusedFallsBackToBuffered) {
  for (DWORD refusal : {DWORD{ERROR_INVALID_FUNCTION}, DWORD{ERROR_NOT_SUPPORTED}}) {
    auto& a = Answer(kCdRom);
    a.direct_error = refusal;
    a.data = {5, 0x80, 2, 2, 0x21, 0, 0, 0, 'Q', 'X'};
    sys->seen.clear();
    std::fill(buf.data, buf.data + kDataBufSize, 0xEE);
    const passthrough::TransferResult r = Transfer(kCdRom, inquiry, 58);
    EXPECT_EQ(r.category, Category::kGood) << refusal;
    EXPECT_EQ(r.residual, 48u);
    ASSERT_EQ(sys->seen.size(), 2u);
    EXPECT_EQ(sys->seen[1].code, DWORD{IOCTL_SCSI_PASS_THROUGH});
    EXPECT_EQ(sys->seen[1].cdb, inquiry);
    EXPECT_EQ(sys->seen[1].length, 58u);
    EXPECT_EQ(sys->seen[1].timeout, 300u);
    EXPECT_EQ(buf.data[8], 'Q');
    EXPECT_EQ(buf.data[10], 0xEE) << "only what the device returned";

    std::fill(buf.data, buf.data + 16384, 0x3C);
    sys->seen.clear();
    EXPECT_EQ(Transfer(kCdRom, write_buffer, 16384).category, Category::kGood);
    EXPECT_EQ(sys->seen.at(1).data_out, Bytes(16384, 0x3C));
  }
  // A failure after the command may have reached the device is never resent.
  for (DWORD failure :
       {DWORD{ERROR_SEM_TIMEOUT}, DWORD{ERROR_IO_DEVICE}, DWORD{ERROR_INVALID_PARAMETER}}) {
    auto& a = Answer(kCdRom);
    a.direct_error = 0;
    a.error = failure;
    sys->seen.clear();
    EXPECT_EQ(Transfer(kCdRom, write_buffer, 16384).category, Category::kOsError);
    EXPECT_EQ(sys->seen.size(), 1u) << failure;
  }
  // Both forms refused: the driver takes no pass-through.
  Answer(kCdRom).error = ERROR_INVALID_FUNCTION;
  const passthrough::TransferResult r = Transfer(kCdRom, tur, 0);
  EXPECT_EQ(r.os.status, SS_FAILED_INIT);
  EXPECT_TRUE(Has(r.os.hint, "does not take SCSI pass-through requests")) << r.os.hint;
}

TEST_F(SptiDevicesTest, StatusAndWindowsErrorsBecomeTheResult) {
  const struct {
    const char* what;
    DWORD error;
    uint8_t status;
    size_t sense;
    Category category;
    uint8_t os_status, os_host;
    const char* hint;
  } cases[] = {
      {"good", 0, 0x00, 0, Category::kGood, 0, 0, ""},
      {"check condition", 0, 0x02, 40, Category::kSense, 0, 0, ""},
      {"check condition without sense", 0, 0x02, 0, Category::kStatus, 0, 0, ""},
      {"busy", 0, 0x08, 0, Category::kStatus, 0, 0, ""},
      {"reservation conflict", 0, 0x18, 0, Category::kStatus, 0, 0, ""},
      {"adapter timed out", ERROR_SEM_TIMEOUT, 0, 0, Category::kOsError, SS_ERR,
       HASTAT_COMMAND_TIMEOUT, "timed out"},
      {"adapter error", ERROR_IO_DEVICE, 0, 0, Category::kOsError, SS_ERR, HASTAT_PHASE_ERR,
       "reported an error"},
      {"selection timeout", ERROR_DEVICE_NOT_CONNECTED, 0, 0, Category::kOsError, SS_ERR,
       HASTAT_SEL_TO, "selection timeout"},
      {"bus reset", ERROR_BUS_RESET, 0, 0, Category::kOsError, SS_ERR, HASTAT_BUS_RESET,
       "bus reset"},
      {"aborted", ERROR_OPERATION_ABORTED, 0, 0, Category::kOsError, SS_ABORTED, 0, "aborted"},
      {"no memory", ERROR_NO_SYSTEM_RESOURCES, 0, 0, Category::kOsError, SS_ASPI_IS_BUSY, 0,
       "16384 bytes"},
      {"access denied", ERROR_ACCESS_DENIED, 0, 0, Category::kOsError, SS_SECURITY_VIOLATION, 0,
       "run qxflash as administrator"},
      {"unknown", 1234, 0, 0, Category::kOsError, SS_FAILED_INIT, 0, "Windows error 1234"},
  };
  for (const auto& c : cases) {
    auto& a = Answer(kCdRom);
    a = {};
    a.error = c.error;
    a.status = c.status;
    a.sense.assign(c.sense, 0x70);
    const passthrough::TransferResult r = Transfer(kCdRom, write_buffer, 16384);
    EXPECT_EQ(r.category, c.category) << c.what;
    EXPECT_EQ(r.scsi_status, c.error == 0 ? c.status : 0) << c.what;
    EXPECT_EQ(r.sense_len, std::min<size_t>(c.sense, kSenseBytes)) << "32 offered: " << c.what;
    EXPECT_EQ(r.os.status, c.os_status) << c.what;
    EXPECT_EQ(r.os.host_status, c.os_host) << c.what;
    EXPECT_EQ(r.os.error, static_cast<long>(c.error)) << c.what;
    EXPECT_TRUE(Has(r.os.hint, c.hint)) << c.what << ": " << r.os.hint;
  }
}

TEST_F(SptiDevicesTest, TransferredBytesGiveTheResidual) {
  const struct {
    std::wstring node;
    Bytes cdb;
    uint32_t len;
    size_t data;
    std::optional<ULONG> transferred;
    uint32_t residual;
  } cases[] = {
      {kCdRom, inquiry, 58, 5, std::nullopt, 53},
      {kCdRom, inquiry, 58, 58, std::nullopt, 0},
      {kCdRom, inquiry, 58, 58, 5000, 0},  // reported beyond the request: clamped
      {kF, write_buffer, 16384, 0, 16384 - 100, 100},
      {kF, inquiry, 58, 58, 36, 22},
  };
  for (const auto& c : cases) {
    Answer(c.node).data.assign(c.data, 0x41);
    Answer(c.node).transferred = c.transferred;
    EXPECT_EQ(Transfer(c.node, c.cdb, c.len).residual, c.residual) << c.len << " " << c.data;
  }
}

TEST_F(SptiDevicesTest, OpenAndVerifyErrorsBecomeFailures) {
  const struct {
    const char* where;
    DWORD error;
    uint8_t status, host_status;
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
    auto& n = sys->nodes[kCdRom];
    const testing::FakeNode keep = n;
    const std::string where = c.where;
    if (where == "open") n.open_error = c.error;
    if (where == "address") n.address.reset(), n.address_error = c.error;
    auto opened = devices->Open(Dev(kCdRom), Share::kShared, 58);
    const std::optional<passthrough::Failure> f =
        opened.node ? opened.node->Verify(58) : std::optional(opened.failure);
    opened.node.reset();
    ASSERT_TRUE(f) << where << " " << c.error;
    EXPECT_EQ(f->status, c.status) << where << " " << c.error;
    EXPECT_EQ(f->host_status, c.host_status) << where << " " << c.error;
    EXPECT_EQ(f->error, static_cast<long>(c.error));
    EXPECT_TRUE(Has(f->hint, c.hint)) << f->hint;
    EXPECT_TRUE(sys->seen.empty()) << "nothing was sent";
    EXPECT_TRUE(sys->open_handles.empty());
    n = keep;
  }
}

TEST_F(SptiDevicesTest, ARenumberedDeviceFailsVerification) {
  const struct {
    const char* what;
    std::function<void(FakeSystem&)> change;
    std::wstring node;
    const char* hint;
  } cases[] = {
      {"CdRom0 is another drive now",
       [](FakeSystem& s) {
         s.nodes[kCdRom].address = Address{1, 0, 0, 0};
       },
       kCdRom, "\\\\.\\CdRom0 is now 1:0:0:0, not 0:0:2:0 as at the last scan; run SCSI Rescan"},
      {"M: is another device number now",
       [](FakeSystem& s) {
         s.nodes[kM].number = DeviceNumber{FILE_DEVICE_DISK, 4};
       },
       kM,
       "\\\\.\\M: is now device 4 of type 7, not device 1 of type 7 as at the last scan; run "
       "SCSI Rescan"},
      {"the port lists another unit",
       [](FakeSystem& s) {
         s.nodes[kPort].inquiry_data = InquiryData({7}, {{0, 3, 0, false, "OTHER   DEVICE"}});
       },
       kPort,
       "\\\\.\\Scsi0: bus 0 target 3 LUN 0 is now another device (or has a driver of its "
       "own), not ACME    PROCESSOR as at the last scan; run SCSI Rescan"},
      {"the port lists nothing there",
       [](FakeSystem& s) { s.nodes[kPort].inquiry_data = InquiryData({7}, {}); }, kPort,
       "\\\\.\\Scsi0: bus 0 target 3 LUN 0 no longer lists a device as at the last scan; run SCSI "
       "Rescan"},
      {"a class driver claimed it",
       [](FakeSystem& s) {
         s.nodes[kPort].inquiry_data = InquiryData({7}, {{0, 3, 0, true, "ACME    PROCESSOR", 3}});
       },
       kPort, "driver of its own"},
  };
  for (const auto& c : cases) {
    Build();
    c.change(*sys);
    const std::optional<passthrough::Failure> f = Open(c.node)->Verify(16384);
    ASSERT_TRUE(f) << c.what;
    EXPECT_EQ(f->status, SS_ERR) << c.what;
    EXPECT_EQ(f->host_status, HASTAT_SEL_TO) << c.what;
    EXPECT_TRUE(Has(f->hint, c.hint)) << c.what << ": " << f->hint;
    EXPECT_TRUE(sys->seen.empty()) << c.what;
  }
}

TEST_F(SptiDevicesTest, HeldUnsharedWithTheVolumeLockedUntilClosed) {
  const struct {
    const char* what;
    std::wstring path;
    std::vector<DWORD> held;  // the ioctls of the verification and hold
    bool locked;
  } cases[] = {
      {"a CdRom node (its letter's volume)", kCdRom, {kAddress, kLock}, true},
      {"a letter with an address (wine's /dev/srN)", kF, {kAddress, kLock}, true},
      {"a letter without one (wine's /dev/sgN)", kM, {kNumber, kLock}, true},
      {"a unit reached through its port: no volume", kPort, {kListing}, false},
  };
  for (const auto& c : cases) {
    Build();
    auto node = Open(c.path, Share::kExclusive);
    ASSERT_EQ(sys->opens, std::vector<std::wstring>{c.path}) << c.what;
    EXPECT_EQ(sys->open_modes.at(0), kExclusiveOpen) << c.what;
    EXPECT_EQ(sys->open_modes.at(0).share, 0u) << c.what;
    EXPECT_EQ(sys->last_access, DWORD{GENERIC_READ | GENERIC_WRITE}) << c.what;
    EXPECT_EQ(node->Verify(0), std::nullopt) << c.what;
    EXPECT_EQ(node->Hold(), std::nullopt) << c.what;
    const HANDLE held = sys->HandleOf(c.path);
    EXPECT_EQ(CodesOn(held), c.held) << c.what;
    EXPECT_EQ(sys->locked.count(held), c.locked ? 1u : 0u) << c.what;
    EXPECT_EQ(sys->Open(c.path, kDeviceAccess, kSharedOpen).error, DWORD{ERROR_SHARING_VIOLATION})
        << c.what << ": another program's open fails";
    node.reset();
    std::vector<DWORD> closed = c.held;
    if (c.locked) closed.push_back(kUnlock);
    EXPECT_EQ(CodesOn(held), closed) << c.what << ": unlocked, then closed";
    EXPECT_TRUE(sys->open_handles.empty()) << c.what;
    EXPECT_FALSE(sys->closed_locked) << c.what;
  }
}

TEST_F(SptiDevicesTest, RefusalsNameTheDeviceOrTheLetter) {
  const struct {
    const char* what;
    std::wstring path;
    std::function<void(FakeSystem&)> arrange;
    std::string want;  // the refusal starts with it
  } cases[] = {
      {"open elsewhere", kCdRom,
       [](FakeSystem& s) { s.nodes[kCdRom].open_error = ERROR_SHARING_VIOLATION; },
       "\\\\.\\CdRom0 (D:) is open in another program (or files on its disc are)"},
      {"open elsewhere, a letter", kF,
       [](FakeSystem& s) { s.nodes[kF].open_error = ERROR_SHARING_VIOLATION; },
       "\\\\.\\F: is open in another program (or files on its disc are)"},
      {"no access", kCdRom, [](FakeSystem& s) { s.nodes[kCdRom].open_error = ERROR_ACCESS_DENIED; },
       "run qxflash as administrator"},
      {"files open on the disc", kCdRom,
       [](FakeSystem& s) { s.nodes[kCdRom].lock_error = ERROR_ACCESS_DENIED; },
       "D: is in use: files on its disc are open in other programs"},
      {"files open on a letter's disc", kF,
       [](FakeSystem& s) { s.nodes[kF].lock_error = ERROR_SHARING_VIOLATION; },
       "F: is in use: files on its disc are open in other programs"},
      {"the lock fails otherwise", kF,
       [](FakeSystem& s) { s.nodes[kF].lock_error = ERROR_IO_DEVICE; },
       "F: could not be locked for the download: "},
  };
  for (const auto& c : cases) {
    Build();
    c.arrange(*sys);
    auto opened = devices->Open(Dev(c.path), Share::kExclusive, 0);
    const std::optional<std::string> refused =
        opened.node ? opened.node->Hold() : std::optional(opened.failure.hint);
    opened.node.reset();
    ASSERT_TRUE(refused.has_value()) << c.what;
    EXPECT_EQ(refused->rfind(c.want, 0), 0u) << c.what << ": " << *refused;
    EXPECT_EQ(refused->find('\n'), std::string::npos) << c.what;
    EXPECT_TRUE(sys->open_handles.empty()) << c.what << ": nothing held";
    EXPECT_TRUE(sys->locked.empty()) << c.what;
    EXPECT_EQ(sys->Count(kCdRom, kUnlock) + sys->Count(kF, kUnlock), 0u) << c.what;
  }
}

TEST_F(SptiDevicesTest, AVolumeWithoutAFileSystemIsHeldUnlocked) {
  for (DWORD error : {DWORD{ERROR_INVALID_FUNCTION}, DWORD{ERROR_NOT_SUPPORTED}}) {
    Build();
    sys->nodes[kF].lock_error = error;
    auto node = Open(kF, Share::kExclusive);
    EXPECT_EQ(node->Hold(), std::nullopt) << error;
    const HANDLE held = sys->HandleOf(kF);
    EXPECT_TRUE(sys->locked.empty()) << error;
    node.reset();
    EXPECT_EQ(CodesOn(held), (std::vector<DWORD>{kLock})) << error << ": no unlock";
    EXPECT_TRUE(sys->open_handles.empty()) << error;
  }
}

TEST_F(SptiDevicesTest, MountPointsAreLeftToTheLock) {
  for (const Device& d : scan.devices) EXPECT_TRUE(devices->MountPoints(d).empty()) << d.node;
  EXPECT_TRUE(sys->opens.empty()) << "nothing is opened to answer";
  EXPECT_TRUE(sys->ioctls.empty());
}

}  // namespace
}  // namespace qx::spti
