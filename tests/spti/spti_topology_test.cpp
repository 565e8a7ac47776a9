// Enumeration of the SCSI pass-through backend against a fake system: the three
// ways Windows shows its devices (port listings, class nodes, drive letters as
// under wine), the mapping limits and the notes.
#include "transport/spti/spti_topology.h"

#include <gtest/gtest.h>

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

// Where each device landed: "ha:target:lun node".
std::vector<std::string> Layout(const Topology& t) {
  std::vector<std::string> out;
  for (size_t ha = 0; ha < t.adapters.size(); ++ha) {
    for (const SptiDevice& d : t.adapters[ha].devices) {
      out.push_back(std::to_string(ha) + ":" + std::to_string(d.target) + ":" +
                    std::to_string(d.lun) + " " + d.node);
    }
  }
  return out;
}

std::vector<std::string> Adapters(const Topology& t) {
  std::vector<std::string> out;
  for (const Adapter& a : t.adapters) {
    out.push_back(a.identifier + " / " + a.unique + " / " + std::to_string(a.scsi_id));
  }
  return out;
}

TEST(SptiInquiryData, FollowsEachBusChainWithinTheAnswer) {
  Bytes data = InquiryData({7, 6}, {{0, 2, 0, true, "QEMU    QEMU CD-ROM", 5},
                                    {1, 4, 1, false, "VENDOR  SCANNER", 6},
                                    {0, 5, 0, true, "QEMU    QEMU HARDDISK", 0}});
  PortListing l = ParseInquiryData(data.data(), data.size());
  ASSERT_EQ(l.buses.size(), 2u);
  EXPECT_EQ(l.buses[1].initiator, 6);
  ASSERT_EQ(l.units.size(), 3u);
  EXPECT_EQ(l.units[1].target, 5) << "bus 0's chain first";
  EXPECT_EQ(l.units[2].path, 1);
  EXPECT_EQ(l.units[2].lun, 1);
  EXPECT_FALSE(l.units[2].claimed);
  EXPECT_EQ(l.units[2].type, 6);
  EXPECT_EQ(std::string(l.units[0].identity.begin(), l.units[0].identity.end()),
            "QEMU    QEMU CD-ROM     ");

  // A chain that loops, or leaves the answer, ends there; qualifier 3 is no device.
  Bytes loop = InquiryData({7}, {{0, 1, 0}, {0, 2, 0}});
  auto* bus =
      reinterpret_cast<SCSI_BUS_DATA*>(loop.data() + offsetof(SCSI_ADAPTER_BUS_INFO, BusData));
  auto* second = reinterpret_cast<SCSI_INQUIRY_DATA*>(loop.data() + bus->InquiryDataOffset);
  auto* third = reinterpret_cast<SCSI_INQUIRY_DATA*>(loop.data() + second->NextInquiryDataOffset);
  third->NextInquiryDataOffset = bus->InquiryDataOffset;
  bus->NumberOfLogicalUnits = 50;
  EXPECT_EQ(ParseInquiryData(loop.data(), loop.size()).units.size(), 2u);
  third->NextInquiryDataOffset = 100000;
  EXPECT_EQ(ParseInquiryData(loop.data(), loop.size()).units.size(), 2u);
  EXPECT_EQ(ParseInquiryData(loop.data(), 30).units.size(), 0u);
  third->InquiryData[0] = 0x7F;
  EXPECT_EQ(ParseInquiryData(loop.data(), loop.size()).units.size(), 1u);
  EXPECT_TRUE(ParseInquiryData(loop.data(), 0).buses.empty());
}

// Windows with port drivers: every port lists its buses and units.
TEST(SptiTopology, PortsListTheirUnitsAndClassNodesCarryTheCommands) {
  FakeSystem sys;
  auto& port0 = sys.Node(L"\\\\.\\Scsi0:");
  port0.inquiry_data = InquiryData({7, 7}, {{0, 2, 0, true, "QEMU    QEMU CD-ROM"},
                                            {0, 3, 0, false, "ACME    PROCESSOR", 3},
                                            {0, 5, 0, true, "QEMU    QEMU HARDDISK", 0},
                                            {0, 6, 0, true, "ACME    TAPE", 1}});
  port0.caps = Caps(65536, 17, 3);
  // Port 1 is missing; port 2 is the next one (a removed adapter leaves a gap).
  auto& port2 = sys.Node(L"\\\\.\\Scsi2:");
  port2.inquiry_data = InquiryData({6}, {{0, 9, 0, false, "ACME    HIGH ID"}});
  STORAGE_ADAPTER_DESCRIPTOR sas{};
  sas.Version = sas.Size = sizeof sas;
  sas.BusType = BusTypeSas;
  sas.MaximumTransferLength = 1 << 20;
  port2.adapter = sas;
  auto& cd = sys.Node(L"\\\\.\\CdRom0", {0, 0, 2, 0});
  cd.caps = Caps(0x20000, 33, 1);
  cd.bus_type = BusTypeScsi;
  sys.Node(L"\\\\.\\PhysicalDrive0", {0, 0, 5, 0}).bus_type = BusTypeScsi;
  sys.drive_types[L'D'] = DRIVE_CDROM;
  sys.Node(L"\\\\.\\D:", {0, 0, 2, 0});
  sys.drive_types[L'C'] = DRIVE_FIXED;
  sys.Node(L"\\\\.\\C:", {0, 0, 5, 0});

  const Topology t = ReadTopology(sys);
  EXPECT_EQ(Adapters(t),
            (std::vector<std::string>{"port 0 bus 0 / SCSI / 7", "port 0 bus 1 / unknown bus / 7",
                                      "port 2 bus 0 / SAS / 6"}));
  EXPECT_EQ(Layout(t),
            (std::vector<std::string>{"0:2:0 \\\\.\\CdRom0", "0:3:0 \\\\.\\Scsi0:",
                                      "0:5:0 \\\\.\\PhysicalDrive0", "2:9:0 \\\\.\\Scsi2:"}));
  const SptiDevice* d = t.Find(0, 2, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->also, "D:") << "the letter of the same drive is the same device";
  EXPECT_EQ(d->kind, NodeKind::kCdRom);
  EXPECT_FALSE(d->identity) << "a class node is verified by its address";
  EXPECT_EQ(d->max_transfer, 0x20000u);
  EXPECT_EQ(d->alignment_mask, 1u);
  const SptiDevice* p = t.Find(0, 3, 0);
  EXPECT_EQ(p->kind, NodeKind::kPort) << "no class driver claimed it";
  EXPECT_EQ(p->max_transfer, 65536u) << "17 pages allow more than the 64 KiB limit";
  EXPECT_TRUE(p->identity);
  EXPECT_EQ(t.Find(2, 9, 0)->max_transfer, 1u << 20) << "the adapter descriptor";
  EXPECT_EQ(t.Find(0, 6, 0), nullptr);
  EXPECT_EQ(sys.Count(L"\\\\.\\D:", IOCTL_SCSI_GET_ADDRESS), 1u);
  EXPECT_EQ(sys.CountOn(L"\\\\.\\D:"), 1u) << "a duplicate is not asked anything more";
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\C:")) << "disk letters are the PhysicalDrive nodes";
  EXPECT_TRUE(sys.WasOpened(L"\\\\.\\Scsi31:"));
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\Scsi32:"));
  EXPECT_TRUE(sys.open_handles.empty()) << "every node is closed again";

  const std::string w = t.Warning();
  EXPECT_TRUE(Has(w, "\\\\.\\Scsi0: bus 0 target 6 LUN 0 (type 1, ACME    TAPE)")) << w;
  EXPECT_TRUE(Has(w, "\\\\.\\Scsi2: (2:0:9:0) on adapter 2 (port 2 bus 0) has target ID 9")) << w;
  EXPECT_EQ(std::count(w.begin(), w.end(), '\n'), 1) << w;
}

// Windows without port listings (or as an ordinary user): class nodes and letters.
TEST(SptiTopology, ClassNodesAndLettersGiveAddressesBusTypesAndNames) {
  FakeSystem sys;
  auto& atapi = sys.Node(L"\\\\.\\CdRom0", {1, 0, 0, 0});
  atapi.bus_type = BusTypeAtapi;
  atapi.number = DeviceNumber{FILE_DEVICE_CD_ROM, 0};
  // A USB bridge answers no SCSI address, but names the drive.
  auto& usb = sys.Node(L"\\\\.\\CdRom1");
  usb.bus_type = BusTypeUsb;
  usb.vendor = "QX";
  usb.product = "R4410";
  usb.number = DeviceNumber{FILE_DEVICE_CD_ROM, 1};
  usb.caps_error = ERROR_INVALID_FUNCTION;
  STORAGE_ADAPTER_DESCRIPTOR bridge{};
  bridge.Version = bridge.Size = sizeof bridge;
  bridge.MaximumTransferLength = 65536;
  bridge.MaximumPhysicalPages = 4;
  bridge.AlignmentMask = 0x1FF;
  usb.adapter = bridge;
  sys.Node(L"\\\\.\\CdRom3", {2, 0, 0, 0}).bus_type = BusTypeSata;  // CdRom2 was removed
  sys.Node(L"\\\\.\\PhysicalDrive0", {0, 0, 0, 0}).bus_type = BusTypeSata;
  // A disk that names nothing and has no address is no SCSI device.
  auto& odd = sys.Node(L"\\\\.\\PhysicalDrive1");
  odd.number = DeviceNumber{FILE_DEVICE_DISK, 1};
  sys.drive_types[L'E'] = DRIVE_CDROM;
  sys.Node(L"\\\\.\\E:").number = DeviceNumber{FILE_DEVICE_CD_ROM, 1};
  sys.drive_types[L'F'] = DRIVE_CDROM;
  sys.Node(L"\\\\.\\F:", {1, 0, 0, 0});
  sys.drive_types[L'G'] = DRIVE_REMOVABLE;
  sys.Node(L"\\\\.\\G:");

  const Topology t = ReadTopology(sys);
  EXPECT_EQ(Adapters(t), (std::vector<std::string>{
                             "port 0 bus 0 / SATA / 7", "port 1 bus 0 / ATAPI / 7",
                             "port 2 bus 0 / SATA / 7", "no SCSI address / device nodes / 7"}));
  EXPECT_EQ(Layout(t),
            (std::vector<std::string>{"0:0:0 \\\\.\\PhysicalDrive0", "1:0:0 \\\\.\\CdRom0",
                                      "2:0:0 \\\\.\\CdRom3", "3:0:0 \\\\.\\CdRom1"}));
  EXPECT_EQ(t.Find(1, 0, 0)->also, "F:");
  const SptiDevice* u = t.Find(3, 0, 0);
  EXPECT_EQ(u->also, "E:") << "a CD letter shares its CdRom node's device number";
  EXPECT_EQ(u->bus, "USB");
  EXPECT_EQ(u->max_transfer, 16384u) << "4 pages";
  EXPECT_EQ(u->alignment_mask, 0x1FFu);
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\G:"));
  const std::string w = t.Warning();
  EXPECT_TRUE(Has(w, "\\\\.\\PhysicalDrive1 answers no SCSI address and names no product")) << w;
  EXPECT_TRUE(Has(w, "adapter 3 holds the devices that answer no SCSI address")) << w;
  EXPECT_TRUE(Has(w, "0 \\\\.\\CdRom1 (QX R4410)")) << w;
}

// wine: no ports, no CdRom nodes; letters for /dev/srN answer an address,
// letters for /dev/sgN do not, and every letter has the same device number.
TEST(SptiTopology, LettersOnlyAsUnderWine) {
  FakeSystem sys;
  auto& mountmgr = sys.Node(L"\\\\.\\PhysicalDrive0");
  mountmgr.number = DeviceNumber{FILE_DEVICE_DISK, 0};
  mountmgr.bus_type = BusTypeScsi;  // and no product, no address
  sys.drive_types[L'C'] = DRIVE_FIXED;
  sys.drive_types[L'Z'] = DRIVE_FIXED;
  const struct {
    wchar_t letter;
    std::optional<ScsiAddress> address;
  } letters[] = {{L'D', ScsiAddress{2, 0, 2, 0}},
                 {L'E', ScsiAddress{2, 1, 0, 0}},
                 {L'F', ScsiAddress{2, 2, 0, 0}},
                 {L'M', std::nullopt},
                 {L'N', std::nullopt}};
  for (const auto& l : letters) {
    auto& n = sys.Node(std::wstring(L"\\\\.\\") + l.letter + L":");
    n.address = l.address;
    n.address_error = ERROR_NOT_SUPPORTED;
    n.number = DeviceNumber{FILE_DEVICE_DISK, 1};
    n.caps = Caps(32768, 8, 0x1000);
  }
  sys.Node(L"\\\\.\\O:").all_error = ERROR_INVALID_FUNCTION;  // past wine's fifth node

  const Topology t = ReadTopology(sys);
  EXPECT_EQ(Adapters(t),
            (std::vector<std::string>{
                "port 2 bus 0 / unknown bus / 7", "port 2 bus 1 / unknown bus / 7",
                "port 2 bus 2 / unknown bus / 7", "no SCSI address / device nodes / 7"}));
  EXPECT_EQ(Layout(t),
            (std::vector<std::string>{"0:2:0 \\\\.\\D:", "1:0:0 \\\\.\\E:", "2:0:0 \\\\.\\F:",
                                      "3:0:0 \\\\.\\M:", "3:1:0 \\\\.\\N:"}))
      << "equal device numbers do not make letters one device";
  EXPECT_EQ(t.Find(2, 0, 0)->max_transfer, 32768u);
  EXPECT_EQ(t.Find(2, 0, 0)->alignment_mask, 0x1000u);
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\C:"));
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\Z:"));
  for (const wchar_t* quiet : {L"\\\\.\\D:", L"\\\\.\\M:"}) {
    EXPECT_EQ(sys.Count(quiet, IOCTL_SCSI_PASS_THROUGH_DIRECT), 0u) << "the scan sends no command";
  }
  const std::string w = t.Warning();
  EXPECT_TRUE(Has(w, "\\\\.\\PhysicalDrive0 answers no SCSI address and names no product")) << w;
  EXPECT_TRUE(Has(w, "\\\\.\\O: takes no storage requests (ERROR_INVALID_FUNCTION)")) << w;
  EXPECT_TRUE(Has(w, "order found: 0 \\\\.\\M: 1 \\\\.\\N:;")) << w;
  EXPECT_EQ(std::count(w.begin(), w.end(), '\n'), 2) << w;
}

TEST(SptiTopology, MoreThanEightBusesKeepThoseWithDevicesFirst) {
  FakeSystem sys;
  // Port 0 lists ten empty buses (one per SATA port), port 1 one bus with a drive.
  sys.Node(L"\\\\.\\Scsi0:").inquiry_data =
      InquiryData(std::vector<uint8_t>(10, 7), {{9, 0, 0, true, "QX      R4410"}});
  sys.Node(L"\\\\.\\Scsi1:").inquiry_data = InquiryData({7}, {{0, 1, 0, true, "QX      R4410"}});
  sys.Node(L"\\\\.\\CdRom0", {0, 9, 0, 0});
  sys.Node(L"\\\\.\\CdRom1", {1, 0, 1, 0});
  const Topology t = ReadTopology(sys);
  ASSERT_EQ(t.adapters.size(), 8u);
  EXPECT_EQ(t.adapters[6].identifier, "port 0 bus 9");
  EXPECT_EQ(t.adapters[7].identifier, "port 1 bus 0");
  EXPECT_EQ(t.Find(7, 1, 0)->node, "\\\\.\\CdRom1");
  EXPECT_TRUE(Has(t.Warning(),
                  "not shown: port 0 bus 6 (unknown bus) port 0 bus 7 (unknown bus) "
                  "port 0 bus 8 (unknown bus)"))
      << t.Warning();
}

TEST(SptiTopology, NinthDeviceWithoutAddressIsNotShown) {
  FakeSystem sys;
  for (wchar_t l = L'D'; l <= L'L'; ++l)
    sys.Node(std::wstring(L"\\\\.\\") + l + L":").caps = Caps(4096, 1, 0);
  const Topology t = ReadTopology(sys);
  ASSERT_EQ(t.adapters.size(), 1u);
  EXPECT_EQ(t.adapters[0].devices.size(), 8u);
  EXPECT_EQ(t.Find(0, 7, 0)->node, "\\\\.\\K:");
  EXPECT_TRUE(Has(t.Warning(), "\\\\.\\L: answers no SCSI address and is not shown"))
      << t.Warning();
}

TEST(SptiTopology, AccessDeniedAndNothingFoundSayWhatToDo) {
  FakeSystem none;
  Topology t = ReadTopology(none);
  EXPECT_TRUE(t.adapters.empty());
  EXPECT_TRUE(Has(t.Warning(), "no SCSI devices found")) << t.Warning();
  EXPECT_FALSE(t.access_denied);

  FakeSystem user;
  user.Node(L"\\\\.\\Scsi0:").open_error = ERROR_ACCESS_DENIED;
  user.Node(L"\\\\.\\CdRom0").open_error = ERROR_ACCESS_DENIED;
  user.Node(L"\\\\.\\PhysicalDrive0").open_error = ERROR_SHARING_VIOLATION;
  t = ReadTopology(user);
  EXPECT_TRUE(t.access_denied);
  EXPECT_TRUE(Has(t.Warning(),
                  "\\\\.\\Scsi0:, \\\\.\\CdRom0 refuse access: run qxflash as "
                  "administrator"))
      << t.Warning();
  EXPECT_TRUE(Has(t.Warning(), "\\\\.\\PhysicalDrive0 could not be opened")) << t.Warning();
  EXPECT_FALSE(Has(t.Warning(), "no SCSI devices found")) << t.Warning();
  EXPECT_EQ(user.last_access, DWORD{GENERIC_READ | GENERIC_WRITE});
}

}  // namespace
}  // namespace qx::spti
