// The reservation of a drive on the SCSI pass-through backend: the unshared
// open, the lock of the volume on its disc, the refusals, the commands through
// the held handle, and its release.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "spti_fake.h"
#include "transport/spti/spti_bus.h"

namespace qx::spti {
namespace {

using testing::Caps;
using testing::FakeSystem;
using testing::InquiryData;
using Bytes = std::vector<uint8_t>;

const std::wstring kCdRom = L"\\\\.\\CdRom0";
const std::wstring kPort = L"\\\\.\\Scsi0:";
const std::wstring kF = L"\\\\.\\F:";
const std::wstring kM = L"\\\\.\\M:";

// As in spti_bus_test.cpp: adapter 0 = port 0 bus 0 with CdRom0 (letter D:) at
// target 2 and an unclaimed unit at target 3 reached through \\.\Scsi0:;
// adapter 1 = wine's letter F: at target 0; adapter 2 = M: without an address.
class SptiReserve : public ::testing::Test {
 protected:
  void SetUp() override { Build(); }
  void TearDown() override { ResetTransportState(); }
  // A fresh system and bus (a table of cases starts each one afresh).
  void Build() {
    ResetTransportState();
    bus.reset();
    sys = std::make_shared<FakeSystem>();
    sys->Node(kPort).inquiry_data = InquiryData(
        {7}, {{0, 2, 0, true, "QX      R4410"}, {0, 3, 0, false, "ACME    PROCESSOR", 3}});
    auto& cd = sys->Node(kCdRom, {0, 0, 2, 0});
    cd.caps = Caps(65536, 17, 1);
    cd.number = DeviceNumber{FILE_DEVICE_CD_ROM, 0};
    sys->drive_types[L'D'] = DRIVE_CDROM;
    sys->Node(L"\\\\.\\D:", {0, 0, 2, 0});
    sys->Node(kF, {2, 0, 0, 0}).caps = Caps(32768, 8, 0x1000);
    auto& m = sys->Node(kM);
    m.number = DeviceNumber{FILE_DEVICE_DISK, 1};
    bus = std::make_shared<SptiBus>(sys);
    sys->ioctls.clear();
    sys->ioctl_handles.clear();
    sys->ioctl_threads.clear();
    sys->opens.clear();
    sys->open_modes.clear();
  }
  SRB_ExecSCSICmd Block(uint8_t ha, uint8_t target, const Bytes& cdb, uint32_t len) {
    SRB_ExecSCSICmd s{};
    s.SRB_Cmd = SC_EXEC_SCSI_CMD;
    s.SRB_HaId = ha;
    s.SRB_Target = target;
    s.SRB_BufLen = len;
    s.SRB_SenseLen = kSenseLen;
    s.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    std::memcpy(s.CDBByte, cdb.data(), cdb.size());
    return s;
  }
  static uint8_t Wait(const SRB_ExecSCSICmd& s) {
    while (LoadSrbStatus(&s) == SS_PENDING) std::this_thread::yield();
    return LoadSrbStatus(&s);
  }
  int32_t Send(uint8_t ha, uint8_t target, const Bytes& cdb, uint32_t len = 0) {
    auto s = Block(ha, target, cdb, len);
    const int32_t r = bus->BCSendASPI32Command(&s, buf.data());
    return r == SS_PENDING ? Wait(s) : r;
  }
  // The codes of the ioctls sent on `h`, in order.
  std::vector<DWORD> CodesOn(HANDLE h) const {
    std::vector<DWORD> codes;
    for (size_t i = 0; i < sys->ioctls.size(); ++i) {
      if (sys->ioctl_handles[i] == h) codes.push_back(sys->ioctls[i].second);
    }
    return codes;
  }

  std::shared_ptr<FakeSystem> sys;
  std::shared_ptr<SptiBus> bus;
  std::array<uint8_t, kDataBufSize> buf{};
  const Bytes tur{0, 0, 0, 0, 0, 0};
  const Bytes write_buffer{0x3B, 5, 0, 0, 0, 0, 0, 0x40, 0, 0};
};

constexpr DWORD kAddress = IOCTL_SCSI_GET_ADDRESS;
constexpr DWORD kNumber = IOCTL_STORAGE_GET_DEVICE_NUMBER;
constexpr DWORD kListing = IOCTL_SCSI_GET_INQUIRY_DATA;
constexpr DWORD kLock = FSCTL_LOCK_VOLUME;
constexpr DWORD kUnlock = FSCTL_UNLOCK_VOLUME;

TEST_F(SptiReserve, OpensUnsharedChecksAndLocksTheVolumeUntilRelease) {
  const struct {
    const char* what;
    uint8_t ha, target;
    std::wstring path;
    std::vector<DWORD> reserve;  // the ioctls of Reserve on the held handle
    bool locked;
  } cases[] = {
      {"a CdRom node (its letter's volume)", 0, 2, kCdRom, {kAddress, kLock}, true},
      {"a letter with an address (wine's /dev/srN)", 1, 0, kF, {kAddress, kLock}, true},
      {"a letter without one (wine's /dev/sgN)", 2, 0, kM, {kNumber, kLock}, true},
      {"a unit reached through its port: no volume", 0, 3, kPort, {kListing}, false},
  };
  for (const auto& c : cases) {
    Build();
    EXPECT_EQ(bus->Reserve(c.ha, c.target, 0), std::nullopt) << c.what;
    ASSERT_EQ(sys->opens, std::vector<std::wstring>{c.path}) << c.what;
    EXPECT_EQ(sys->open_modes.at(0), kExclusiveOpen) << c.what;
    EXPECT_EQ(sys->open_modes.at(0).share, 0u) << c.what;
    EXPECT_EQ(sys->last_access, DWORD{GENERIC_READ | GENERIC_WRITE}) << c.what;
    const HANDLE held = sys->HandleOf(c.path);
    ASSERT_NE(held, nullptr) << c.what;
    EXPECT_EQ(CodesOn(held), c.reserve) << c.what;
    EXPECT_EQ(sys->locked.count(held), c.locked ? 1u : 0u) << c.what;
    EXPECT_EQ(sys->Open(c.path, kDeviceAccess, kSharedOpen).error, DWORD{ERROR_SHARING_VIOLATION})
        << c.what << ": another program's open fails";

    EXPECT_EQ(bus->Reserve(c.ha, c.target, 0), std::nullopt) << c.what << ": ours already";
    EXPECT_EQ(sys->OpensOf(c.path), 2u) << c.what << ": the other program's, no second of ours";
    bus->Release();
    std::vector<DWORD> released = c.reserve;
    if (c.locked) released.push_back(kUnlock);
    EXPECT_EQ(CodesOn(held), released) << c.what << ": unlocked, then closed";
    EXPECT_TRUE(sys->open_handles.empty()) << c.what;
    EXPECT_FALSE(sys->closed_locked) << c.what;
    bus->Release();  // nothing reserved: a no-op
  }
}

TEST_F(SptiReserve, RefusalsNameTheDeviceAndHoldNothing) {
  const struct {
    const char* what;
    uint8_t ha, target;
    std::function<void(FakeSystem&)> arrange;
    std::string want;  // the refusal starts with it
  } cases[] = {
      {"open elsewhere", 0, 2,
       [](FakeSystem& s) { s.nodes[kCdRom].open_error = ERROR_SHARING_VIOLATION; },
       "\\\\.\\CdRom0 (D:) is open in another program (or files on its disc are)"},
      {"open elsewhere, a letter", 1, 0,
       [](FakeSystem& s) { s.nodes[kF].open_error = ERROR_SHARING_VIOLATION; },
       "\\\\.\\F: is open in another program (or files on its disc are)"},
      {"no access", 0, 2, [](FakeSystem& s) { s.nodes[kCdRom].open_error = ERROR_ACCESS_DENIED; },
       "run qxflash as administrator"},
      {"files open on the disc", 0, 2,
       [](FakeSystem& s) { s.nodes[kCdRom].lock_error = ERROR_ACCESS_DENIED; },
       "D: is in use: files on its disc are open in other programs"},
      {"files open on a letter's disc", 1, 0,
       [](FakeSystem& s) { s.nodes[kF].lock_error = ERROR_SHARING_VIOLATION; },
       "F: is in use: files on its disc are open in other programs"},
      {"the lock fails otherwise", 1, 0,
       [](FakeSystem& s) { s.nodes[kF].lock_error = ERROR_IO_DEVICE; },
       "F: could not be locked for the download: "},
      {"renumbered", 0, 2,
       [](FakeSystem& s) {
         s.nodes[kCdRom].address = ScsiAddress{1, 0, 0, 0};
       },
       "\\\\.\\CdRom0 is now 1:0:0:0, not 0:0:2:0 as at the last scan; run SCSI Rescan"},
      {"no device", 0, 5, [](FakeSystem&) {}, "no device at adapter 0 target 5 LUN 0"},
  };
  for (const auto& c : cases) {
    Build();
    c.arrange(*sys);
    const std::optional<std::string> refused = bus->Reserve(c.ha, c.target, 0);
    ASSERT_TRUE(refused.has_value()) << c.what;
    EXPECT_EQ(refused->rfind(c.want, 0), 0u) << c.what << ": " << *refused;
    EXPECT_EQ(refused->find('\n'), std::string::npos) << c.what;
    EXPECT_TRUE(sys->open_handles.empty()) << c.what << ": nothing held";
    EXPECT_TRUE(sys->locked.empty()) << c.what;
    EXPECT_TRUE(sys->seen.empty()) << c.what << ": nothing sent";
    EXPECT_EQ(sys->Count(kCdRom, kUnlock) + sys->Count(kF, kUnlock), 0u) << c.what;
  }
}

TEST_F(SptiReserve, AVolumeWithoutAFileSystemIsHeldUnlocked) {
  for (DWORD error : {DWORD{ERROR_INVALID_FUNCTION}, DWORD{ERROR_NOT_SUPPORTED}}) {
    Build();
    sys->nodes[kF].lock_error = error;
    EXPECT_EQ(bus->Reserve(1, 0, 0), std::nullopt) << error;
    const HANDLE held = sys->HandleOf(kF);
    EXPECT_TRUE(sys->locked.empty()) << error;
    bus->Release();
    EXPECT_EQ(CodesOn(held), (std::vector<DWORD>{kAddress, kLock})) << error << ": no unlock";
    EXPECT_TRUE(sys->open_handles.empty()) << error;
  }
}

TEST_F(SptiReserve, CommandsGoThroughTheHeldHandleCheckedBeforeEach) {
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  const HANDLE held = sys->HandleOf(kCdRom);
  sys->ioctls.clear();
  sys->ioctl_handles.clear();
  sys->ioctl_threads.clear();
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  EXPECT_EQ(Send(0, 2, write_buffer, 16384), SS_COMP);
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  EXPECT_EQ(sys->OpensOf(kCdRom), 1u) << "no open of its own";
  ASSERT_EQ(sys->seen.size(), 3u);
  for (const auto& io : sys->seen) EXPECT_EQ(io.handle, held);
  const DWORD pass = IOCTL_SCSI_PASS_THROUGH_DIRECT;
  EXPECT_EQ(CodesOn(held), (std::vector<DWORD>{kAddress, pass, kAddress, pass, kAddress, pass}))
      << "checked before each command";
  const DWORD me = GetCurrentThreadId();
  EXPECT_EQ(sys->ioctl_threads[0], me) << "checked on the caller's thread";
  EXPECT_NE(sys->ioctl_threads[1], me) << "sent on the worker";
  EXPECT_EQ(sys->HandleOf(kCdRom), held) << "kept after the commands";
  EXPECT_EQ(sys->locked.count(held), 1u);

  // Another device meanwhile: opened shared and closed per command, as before.
  EXPECT_EQ(Send(1, 0, tur), SS_COMP);
  EXPECT_EQ(sys->open_modes.back(), kSharedOpen);
  EXPECT_EQ(sys->HandleOf(kF), nullptr);

  // The held device renumbered: refused before the command, and still held.
  sys->nodes[kCdRom].address = ScsiAddress{1, 0, 0, 0};
  EXPECT_EQ(Send(0, 2, write_buffer, 16384), SS_ERR);
  EXPECT_NE(bus->LastHint().find("run SCSI Rescan"), std::string::npos) << bus->LastHint();
  EXPECT_EQ(sys->seen.size(), 4u) << "only the other device's command was sent";
  EXPECT_EQ(sys->HandleOf(kCdRom), held);
  bus->Release();
  EXPECT_TRUE(sys->open_handles.empty());

  // Released: opened shared per command again.
  sys->nodes[kCdRom].address = ScsiAddress{0, 0, 2, 0};
  EXPECT_EQ(Send(0, 2, tur), SS_COMP);
  EXPECT_EQ(sys->OpensOf(kCdRom), 2u);
  EXPECT_EQ(sys->open_modes.back(), kSharedOpen);
  EXPECT_TRUE(sys->open_handles.empty());
}

TEST_F(SptiReserve, OneDeviceAtATime) {
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  const HANDLE cd = sys->HandleOf(kCdRom);
  ASSERT_EQ(bus->Reserve(1, 0, 0), std::nullopt);
  EXPECT_EQ(sys->HandleOf(kCdRom), nullptr) << "the first is given back";
  EXPECT_EQ(CodesOn(cd).back(), kUnlock);
  EXPECT_NE(sys->HandleOf(kF), nullptr);
  EXPECT_FALSE(sys->closed_locked);
}

TEST_F(SptiReserve, AHandleIsNotClosedUnderACommandInTheKernel) {
  ASSERT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  const HANDLE held = sys->HandleOf(kCdRom);
  sys->Hold();
  auto s = Block(0, 2, write_buffer, 16384);
  ASSERT_EQ(bus->BCSendASPI32Command(&s, buf.data()), SS_PENDING);
  sys->WaitInKernel();
  bus->Release();  // returns while the command is in the kernel
  EXPECT_EQ(sys->HandleOf(kCdRom), held) << "the command in the kernel still uses it";
  EXPECT_EQ(sys->locked.count(held), 1u) << "and the volume stays locked until it returns";
  // Reserved again meanwhile: the handle still open is taken back, not reopened
  // (an open would fail against it).
  EXPECT_EQ(bus->Reserve(0, 2, 0), std::nullopt);
  EXPECT_EQ(sys->OpensOf(kCdRom), 1u);
  bus->Release();
  sys->Release();
  EXPECT_EQ(Wait(s), SS_COMP);
  EXPECT_EQ(sys->HandleOf(kCdRom), nullptr) << "closed by the time the block shows the end";
  EXPECT_EQ(CodesOn(held).back(), kUnlock);
  EXPECT_FALSE(sys->closed_locked);
}

TEST_F(SptiReserve, DestructionReleases) {
  ASSERT_EQ(bus->Reserve(1, 0, 0), std::nullopt);
  const HANDLE held = sys->HandleOf(kF);
  // A command still in the kernel is waited for first.
  sys->Hold();
  auto s = Block(1, 0, tur, 0);
  ASSERT_EQ(bus->BCSendASPI32Command(&s, buf.data()), SS_PENDING);
  sys->WaitInKernel();
  std::thread destroy([&] { bus.reset(); });
  sys->Release();
  destroy.join();
  EXPECT_EQ(LoadSrbStatus(&s), SS_COMP);
  EXPECT_TRUE(sys->open_handles.empty());
  EXPECT_EQ(CodesOn(held).back(), kUnlock);
  EXPECT_FALSE(sys->closed_locked);
}

TEST_F(SptiReserve, MountPointsAreLeftToTheLock) {
  for (auto [ha, target] : {std::pair<uint8_t, uint8_t>{0, 2}, {1, 0}, {2, 0}, {0, 3}, {0, 5}}) {
    EXPECT_TRUE(bus->MountPoints(ha, target, 0).empty()) << +ha << ":" << +target;
  }
  EXPECT_TRUE(sys->opens.empty()) << "nothing is opened to answer";
  EXPECT_TRUE(sys->ioctls.empty());
}

}  // namespace
}  // namespace qx::spti
