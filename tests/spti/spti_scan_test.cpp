// Enumeration of the SCSI pass-through device layer against a fake system: the
// three ways Windows shows its devices (port listings, class nodes, drive
// letters as under wine), one device seen by several of them, and the notes;
// and the bus that shows them.
#include "transport/spti/spti_scan.h"

#include <gtest/gtest.h>

#include <any>
#include <memory>
#include <stdexcept>

#include "spti_fake.h"
#include "transport/passthrough/passthrough_bus.h"
#include "transport/spti/spti_devices.h"

namespace qx::spti {
namespace {

using passthrough::Device;
using passthrough::Scan;
using testing::Caps;
using testing::FakeSystem;
using testing::InquiryData;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

// "port:bus name / bus type / initiator" of each bus.
Strings Buses(const Scan& s) {
  Strings out;
  for (const passthrough::Bus& b : s.buses) {
    out.push_back(std::to_string(b.host) + ":" + std::to_string(b.bus) + " " + b.identifier +
                  " / " + b.unique + " / " + std::to_string(b.initiator));
  }
  return out;
}

// "address node (also)" of each device, "-" without an address.
Strings Devices(const Scan& s) {
  Strings out;
  for (const Device& d : s.devices) {
    out.push_back((d.address ? passthrough::AddressText(*d.address) : "-") + " " + d.node +
                  (d.also.empty() ? "" : " (" + d.also + ")"));
  }
  return out;
}

const Device& ByNode(const Scan& s, const std::string& node) {
  for (const Device& d : s.devices) {
    if (d.node == node) return d;
  }
  throw std::runtime_error("no device " + node);
}

const Reach& ReachOf(const Device& d) {
  return std::any_cast<const Reach&>(d.detail);
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
TEST(SptiScan, PortsListTheirUnitsAndClassNodesCarryTheCommands) {
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

  const Scan scan = ReadScan(sys);
  EXPECT_EQ(Buses(scan),
            (Strings{"0:0 port 0 bus 0 / SCSI / 7", "0:1 port 0 bus 1 / unknown bus / 7",
                     "2:0 port 2 bus 0 / SAS / 6"}));
  EXPECT_EQ(Devices(scan), (Strings{"0:0:2:0 \\\\.\\CdRom0 (D:)", "0:0:3:0 \\\\.\\Scsi0:",
                                    "0:0:5:0 \\\\.\\PhysicalDrive0", "2:0:9:0 \\\\.\\Scsi2:"}))
      << "the letter of the same drive is the same device";
  const Device& d = ByNode(scan, "\\\\.\\CdRom0");
  EXPECT_EQ(ReachOf(d).kind, NodeKind::kCdRom);
  EXPECT_FALSE(ReachOf(d).identity) << "a class node is verified by its address";
  EXPECT_EQ(d.max_transfer, 0x20000u);
  EXPECT_EQ(ReachOf(d).alignment_mask, 1u);
  const Device& p = ByNode(scan, "\\\\.\\Scsi0:");
  EXPECT_EQ(ReachOf(p).kind, NodeKind::kPort) << "no class driver claimed it";
  EXPECT_EQ(p.max_transfer, 65536u) << "17 pages allow more than the 64 KiB limit";
  EXPECT_TRUE(ReachOf(p).identity);
  EXPECT_EQ(p.product, "ACME    PROCESSOR");
  EXPECT_EQ(ByNode(scan, "\\\\.\\Scsi2:").max_transfer, 1u << 20) << "the adapter descriptor";
  EXPECT_EQ(sys.Count(L"\\\\.\\D:", IOCTL_SCSI_GET_ADDRESS), 1u);
  EXPECT_EQ(sys.CountOn(L"\\\\.\\D:"), 1u) << "a duplicate is not asked anything more";
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\C:")) << "disk letters are the PhysicalDrive nodes";
  EXPECT_TRUE(sys.WasOpened(L"\\\\.\\Scsi31:"));
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\Scsi32:"));
  EXPECT_TRUE(sys.open_handles.empty()) << "every node is closed again";
  EXPECT_EQ(scan.notes, Strings{"\\\\.\\Scsi0: bus 0 target 6 LUN 0 (type 1, ACME    TAPE) belongs "
                                "to a driver whose device node the scan does not open and is not "
                                "shown"});
}

// Windows without port listings (or as an ordinary user): class nodes and letters.
TEST(SptiScan, ClassNodesAndLettersGiveAddressesBusTypesAndNames) {
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

  const Scan scan = ReadScan(sys);
  EXPECT_EQ(Buses(scan), (Strings{"0:0 port 0 bus 0 / SATA / 7", "1:0 port 1 bus 0 / ATAPI / 7",
                                  "2:0 port 2 bus 0 / SATA / 7"}));
  EXPECT_EQ(Devices(scan), (Strings{"0:0:0:0 \\\\.\\PhysicalDrive0", "1:0:0:0 \\\\.\\CdRom0 (F:)",
                                    "2:0:0:0 \\\\.\\CdRom3", "- \\\\.\\CdRom1 (E:)"}))
      << "a CD letter shares its CdRom node's device number";
  const Device& u = ByNode(scan, "\\\\.\\CdRom1");
  EXPECT_EQ(u.product, "QX R4410");
  EXPECT_EQ(u.max_transfer, 16384u) << "4 pages";
  EXPECT_EQ(ReachOf(u).alignment_mask, 0x1FFu);
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\G:"));
  EXPECT_EQ(
      scan.notes,
      Strings{"\\\\.\\PhysicalDrive1 answers no SCSI address and names no product: not shown"});
}

// wine: no ports, no CdRom nodes; letters for /dev/srN answer an address,
// letters for /dev/sgN do not, and every letter has the same device number.
TEST(SptiScan, LettersOnlyAsUnderWine) {
  FakeSystem sys;
  auto& mountmgr = sys.Node(L"\\\\.\\PhysicalDrive0");
  mountmgr.number = DeviceNumber{FILE_DEVICE_DISK, 0};
  mountmgr.bus_type = BusTypeScsi;  // and no product, no address
  sys.drive_types[L'C'] = DRIVE_FIXED;
  sys.drive_types[L'Z'] = DRIVE_FIXED;
  const struct {
    wchar_t letter;
    std::optional<Address> address;
  } letters[] = {{L'D', Address{2, 0, 2, 0}},
                 {L'E', Address{2, 1, 0, 0}},
                 {L'F', Address{2, 2, 0, 0}},
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

  const Scan scan = ReadScan(sys);
  EXPECT_EQ(Buses(scan),
            (Strings{"2:0 port 2 bus 0 / unknown bus / 7", "2:1 port 2 bus 1 / unknown bus / 7",
                     "2:2 port 2 bus 2 / unknown bus / 7"}));
  EXPECT_EQ(Devices(scan), (Strings{"2:0:2:0 \\\\.\\D:", "2:1:0:0 \\\\.\\E:", "2:2:0:0 \\\\.\\F:",
                                    "- \\\\.\\M:", "- \\\\.\\N:"}))
      << "equal device numbers do not make letters one device";
  EXPECT_EQ(ByNode(scan, "\\\\.\\F:").max_transfer, 32768u);
  EXPECT_EQ(ReachOf(ByNode(scan, "\\\\.\\F:")).alignment_mask, 0x1000u);
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\C:"));
  EXPECT_FALSE(sys.WasOpened(L"\\\\.\\Z:"));
  for (const wchar_t* quiet : {L"\\\\.\\D:", L"\\\\.\\M:"}) {
    EXPECT_EQ(sys.Count(quiet, IOCTL_SCSI_PASS_THROUGH_DIRECT), 0u) << "the scan sends no command";
  }
  EXPECT_EQ(
      scan.notes,
      (Strings{"\\\\.\\PhysicalDrive0 answers no SCSI address and names no product: not shown",
               "\\\\.\\O: takes no storage requests (ERROR_INVALID_FUNCTION) and is not "
               "shown"}));
}

// Every bus a port lists is one (the map keeps eight); every letter without an
// address is a device of its own (the map shows eight).
TEST(SptiScan, EveryBusAndEveryDeviceIsListed) {
  FakeSystem sys;
  // Port 0 lists ten empty buses (one per SATA port), port 1 one bus with a drive.
  sys.Node(L"\\\\.\\Scsi0:").inquiry_data =
      InquiryData(std::vector<uint8_t>(10, 7), {{9, 0, 0, true, "QX      R4410"}});
  sys.Node(L"\\\\.\\Scsi1:").inquiry_data = InquiryData({7}, {{0, 1, 0, true, "QX      R4410"}});
  sys.Node(L"\\\\.\\CdRom0", {0, 9, 0, 0});
  sys.Node(L"\\\\.\\CdRom1", {1, 0, 1, 0});
  for (wchar_t l = L'D'; l <= L'L'; ++l)
    sys.Node(std::wstring(L"\\\\.\\") + l + L":").caps = Caps(4096, 1, 0);
  const Scan scan = ReadScan(sys);
  EXPECT_EQ(scan.buses.size(), 11u);
  EXPECT_EQ(Devices(scan), (Strings{"0:9:0:0 \\\\.\\CdRom0", "1:0:1:0 \\\\.\\CdRom1", "- \\\\.\\D:",
                                    "- \\\\.\\E:", "- \\\\.\\F:", "- \\\\.\\G:", "- \\\\.\\H:",
                                    "- \\\\.\\I:", "- \\\\.\\J:", "- \\\\.\\K:", "- \\\\.\\L:"}));
}

TEST(SptiScan, AccessDeniedAndNothingFoundSayWhatToDo) {
  FakeSystem none;
  Scan scan = ReadScan(none);
  EXPECT_TRUE(scan.buses.empty());
  EXPECT_EQ(scan.final_notes, Strings{"no SCSI devices found (tried \\\\.\\ScsiN:, \\\\.\\CdRomN, "
                                      "\\\\.\\PhysicalDriveN and the CD drive letters)"});
  EXPECT_EQ(scan.no_adapter_advice, "");
  EXPECT_FALSE(scan.access_denied);

  FakeSystem user;
  user.Node(L"\\\\.\\Scsi0:").open_error = ERROR_ACCESS_DENIED;
  user.Node(L"\\\\.\\CdRom0").open_error = ERROR_ACCESS_DENIED;
  user.Node(L"\\\\.\\PhysicalDrive0").open_error = ERROR_SHARING_VIOLATION;
  scan = ReadScan(user);
  EXPECT_EQ(scan.no_adapter_advice, "; run qxflash as administrator to see every device");
  EXPECT_TRUE(scan.access_denied) << "more rights would see more";
  EXPECT_EQ(scan.final_notes,
            Strings{"\\\\.\\Scsi0:, \\\\.\\CdRom0 refuse access: run qxflash as administrator"});
  ASSERT_EQ(scan.notes.size(), 1u);
  EXPECT_EQ(scan.notes[0].rfind("\\\\.\\PhysicalDrive0 could not be opened: ", 0), 0u)
      << scan.notes[0];
  EXPECT_EQ(user.last_access, DWORD{GENERIC_READ | GENERIC_WRITE});
}

// Adapter 0 = port 0 bus 0: CdRom0 at target 2 (also letter D:), an unclaimed
// unit at target 3 reached through \\.\Scsi0:; adapter 1 = port 2 bus 0
// (wine's letters): F: at target 0; adapter 2 = no SCSI address: M: at target 0.
TEST(SptiScan, TheBusShowsBusesAsAdaptersAndNodesAsTargets) {
  auto sys = std::make_shared<FakeSystem>();
  sys->Node(L"\\\\.\\Scsi0:").inquiry_data = InquiryData(
      {7}, {{0, 2, 0, true, "QX      R4410"}, {0, 3, 0, false, "ACME    PROCESSOR", 3}});
  sys->Node(L"\\\\.\\CdRom0", {0, 0, 2, 0});
  sys->drive_types[L'D'] = DRIVE_CDROM;
  sys->Node(L"\\\\.\\D:", {0, 0, 2, 0});
  sys->Node(L"\\\\.\\F:", {2, 0, 0, 0});
  sys->Node(L"\\\\.\\M:").number = DeviceNumber{FILE_DEVICE_DISK, 1};
  passthrough::PassThroughBus bus(MakeSptiDevices(sys));
  EXPECT_STREQ(bus.Name(), "SCSI pass-through");
  EXPECT_EQ(bus.GetASPI32SupportInfo(), 0x0103u);
  const struct {
    uint8_t ha;
    const char *identifier, *unique;
  } adapters[] = {{0, "port 0 bus 0", "unknown bus"},
                  {1, "port 2 bus 0", "unknown bus"},
                  {2, "no SCSI address", "device nodes"}};
  for (const auto& a : adapters) {
    SRB_HAInquiry q{};
    q.SRB_Cmd = SC_HA_INQUIRY;
    q.SRB_HaId = a.ha;
    EXPECT_EQ(bus.BCSendASPI32Command(&q, nullptr), SS_COMP);
    EXPECT_EQ(q.HA_SCSI_ID, 7);
    EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_ManagerId), "Windows SPTI");
    EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), a.identifier);
    EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Unique), a.unique);
  }
  SRB_HAInquiry q{};
  q.SRB_Cmd = SC_HA_INQUIRY;
  q.SRB_HaId = 200;
  EXPECT_EQ(bus.BCSendASPI32Command(&q, nullptr), SS_INVALID_HA);
  EXPECT_EQ(bus.LastHint(), "no SCSI bus behind adapter 200");
  const struct {
    uint8_t ha, target;
    std::string address, node;
  } cases[] = {{0, 2, "0:0:2:0", "\\\\.\\CdRom0 (D:)"},
               {0, 3, "0:0:3:0", "\\\\.\\Scsi0:"},
               {1, 0, "2:0:0:0", "\\\\.\\F:"},
               {2, 0, "", "\\\\.\\M:"}};
  for (const auto& c : cases) {
    const auto where = bus.DeviceLocation(c.ha, c.target, 0);
    EXPECT_EQ(where.address, c.address);
    EXPECT_EQ(where.node, c.node);
  }
}

}  // namespace
}  // namespace qx::spti
