// The map of a system's devices onto host adapters 0-7 and target IDs, and its notes.
#include "transport/passthrough/topology.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_devices.h"

namespace qx::passthrough {
namespace {

using testing::FakeDevice;
using Strings = std::vector<std::string>;

Bus B(uint32_t host, uint32_t bus, const std::string& name, const std::string& detail) {
  Bus b;
  b.host = host;
  b.bus = bus;
  b.name = b.identifier = name;
  b.unique = b.detail = detail;
  return b;
}

// Linux-like: one bus a host, "hostN", its driver as the detail.
std::vector<Bus> Hosts(const std::vector<std::pair<uint32_t, std::string>>& hosts) {
  std::vector<Bus> out;
  for (const auto& [h, driver] : hosts) out.push_back(B(h, 0, "host" + std::to_string(h), driver));
  return out;
}

// Where each device landed: "ha:target:lun name".
Strings Layout(const Topology& t) {
  Strings out;
  for (size_t ha = 0; ha < t.adapters.size(); ++ha) {
    for (const Placed& p : t.adapters[ha].devices) {
      out.push_back(std::to_string(ha) + ":" + std::to_string(p.target) + ":" +
                    std::to_string(p.lun) + " " + p.device.name);
    }
  }
  return out;
}

Strings Names(const Topology& t) {
  Strings out;
  for (const Adapter& a : t.adapters) out.push_back(a.bus.name);
  return out;
}

TEST(Map, BusesWithGapsBecomeConsecutiveAdaptersWithTheirOwnTargetIds) {
  Scan scan;
  scan.buses = Hosts({{0, "sym53c8xx"}, {2, "scsi_debug"}, {5, "ahci"}});
  scan.devices = {
      FakeDevice("sg0", Address{0, 0, 2, 0}), FakeDevice("sg1", Address{0, 0, 5, 0}),
      FakeDevice("sg4", Address{5, 0, 0, 0}), FakeDevice("sg8", Address{0, 1, 1, 0}),
      FakeDevice("sg9", Address{0, 0, 9, 0}), FakeDevice("sg10", Address{2, 0, 300, 0})};
  const Topology t = Map(scan, "hosts");
  EXPECT_EQ(Names(t), (Strings{"host0", "host2", "host5"}));
  EXPECT_EQ(Layout(t), (Strings{"0:2:0 sg0", "0:5:0 sg1", "0:9:0 sg9", "2:0:0 sg4"}));
  EXPECT_EQ(t.Find(0, 9, 0)->device.name, "sg9");
  EXPECT_EQ(t.Find(2, 0, 0)->device.name, "sg4");
  for (auto [ha, target, lun] :
       {std::tuple<int, int, int>{0, 1, 0}, {0, 2, 1}, {1, 0, 0}, {3, 0, 0}}) {
    EXPECT_EQ(t.Find(ha, target, lun), nullptr) << ha << ":" << target << ":" << lun;
  }
  EXPECT_EQ(t.notes, (Strings{"sg8 (0:1:1:0) on adapter 0 (host0) is on channel 1 and is not "
                              "shown: only channel 0 is mapped",
                              "sg9 (0:0:9:0) on adapter 0 (host0) has target ID 9: the bus scan "
                              "probes target IDs 0-7 only",
                              "sg10 (2:0:300:0) on adapter 1 (host2) has a target ID or LUN above "
                              "255 and is not shown"}));
}

// AHCI has one host per port (and Windows one bus): empty ones must not crowd a drive out.
TEST(Map, MoreThanEightBusesKeepThoseWithDevicesFirst) {
  std::vector<std::pair<uint32_t, std::string>> ten;
  for (uint32_t h = 0; h < 10; ++h) ten.push_back({h, h == 9 ? "usb-storage" : "ahci"});
  std::vector<Bus> port;
  for (uint32_t b = 0; b < 10; ++b)
    port.push_back(B(0, b, "port 0 bus " + std::to_string(b), "unknown bus"));
  port.push_back(B(1, 0, "port 1 bus 0", "unknown bus"));
  const struct {
    const char* what;
    std::vector<Bus> buses;
    std::vector<Device> devices;
    const char* adapters;
    Strings names;
    Strings layout;
    Strings notes;
  } cases[] = {
      {"drives on hosts 3 and 9",
       Hosts(ten),
       {FakeDevice("sg0", Address{3, 0, 0, 0}), FakeDevice("sg1", Address{9, 0, 0, 0})},
       "hosts",
       {"host0", "host1", "host2", "host3", "host4", "host5", "host6", "host9"},
       {"3:0:0 sg0", "7:0:0 sg1"},
       {"More than eight SCSI hosts: adapters 0-7 show host0, host1, host2, host3, host4, host5, "
        "host6, host9; not shown: host7 (ahci) host8 (ahci)"}},
      {"no drives: the first eight",
       Hosts(ten),
       {},
       "hosts",
       {"host0", "host1", "host2", "host3", "host4", "host5", "host6", "host7"},
       {},
       {"More than eight SCSI hosts: adapters 0-7 show host0, host1, host2, host3, host4, host5, "
        "host6, host7; not shown: host8 (ahci) host9 (usb-storage)"}},
      {"a host left out is listed with its devices, other channels too",
       Hosts(ten),
       {FakeDevice("sg0", Address{0, 0, 2, 0}), FakeDevice("sg1", Address{1, 0, 0, 0}),
        FakeDevice("sg2", Address{0, 1, 4, 0}), FakeDevice("sg3", Address{4, 0, 0, 0}),
        FakeDevice("sg4", Address{8, 1, 0, 0})},
       "hosts",
       {"host0", "host1", "host2", "host3", "host4", "host5", "host6", "host7"},
       {"0:2:0 sg0", "1:0:0 sg1", "4:0:0 sg3"},
       {"More than eight SCSI hosts: adapters 0-7 show host0, host1, host2, host3, host4, host5, "
        "host6, host7; not shown: host8 (ahci, sg4) host9 (usb-storage)",
        "sg2 (0:1:4:0) on adapter 0 (host0) is on channel 1 and is not shown: only channel 0 is "
        "mapped"}},
      {"buses of one port",
       port,
       {FakeDevice("\\\\.\\CdRom0", Address{0, 9, 0, 0}),
        FakeDevice("\\\\.\\CdRom1", Address{1, 0, 1, 0})},
       "buses",
       {"port 0 bus 0", "port 0 bus 1", "port 0 bus 2", "port 0 bus 3", "port 0 bus 4",
        "port 0 bus 5", "port 0 bus 9", "port 1 bus 0"},
       {"6:0:0 \\\\.\\CdRom0", "7:1:0 \\\\.\\CdRom1"},
       {"More than eight SCSI buses: adapters 0-7 show port 0 bus 0, port 0 bus 1, port 0 bus 2, "
        "port 0 bus 3, port 0 bus 4, port 0 bus 5, port 0 bus 9, port 1 bus 0; not shown: port 0 "
        "bus 6 (unknown bus) port 0 bus 7 (unknown bus) port 0 bus 8 (unknown bus)"}},
  };
  for (const auto& c : cases) {
    Scan scan;
    scan.buses = c.buses;
    scan.devices = c.devices;
    const Topology t = Map(scan, c.adapters);
    EXPECT_EQ(Names(t), c.names) << c.what;
    EXPECT_EQ(t.notes, c.notes) << c.what;
    EXPECT_EQ(Layout(t), c.layout) << c.what;
  }
}

TEST(Map, DevicesWithoutAnAddressShareOneAdapterInTheOrderFound) {
  Scan scan;
  scan.buses = {B(2, 0, "port 2 bus 0", "SATA")};
  scan.devices = {FakeDevice("\\\\.\\CdRom3", Address{2, 0, 0, 0})};
  const char* letters = "MNOPQRSTU";
  for (const char* l = letters; *l != '\0'; ++l) {
    scan.devices.push_back(
        FakeDevice(std::string("\\\\.\\") + *l + ":", std::nullopt, *l == 'M' ? "QX R4410" : ""));
  }
  const Topology t = Map(scan, "buses");
  ASSERT_EQ(t.adapters.size(), 2u);
  EXPECT_EQ(t.adapters[1].bus.identifier, "no SCSI address");
  EXPECT_EQ(t.adapters[1].bus.unique, "device nodes");
  EXPECT_EQ(t.adapters[1].bus.initiator, 7);
  EXPECT_EQ(t.adapters[1].devices.size(), 8u);
  EXPECT_EQ(t.Find(1, 7, 0)->device.name, "\\\\.\\T:");
  EXPECT_EQ(t.notes,
            (Strings{"\\\\.\\U: answers no SCSI address and is not shown: target IDs 0-7 of the "
                     "adapter for such devices are taken",
                     "adapter 1 holds the devices that answer no SCSI address, at target IDs in "
                     "the order found: 0 \\\\.\\M: (QX R4410) 1 \\\\.\\N: 2 \\\\.\\O: 3 \\\\.\\P: "
                     "4 \\\\.\\Q: 5 \\\\.\\R: 6 \\\\.\\S: 7 \\\\.\\T:; a drive may show there and "
                     "at its address too"}));
}

// The system's notes first, then the map's in the order it meets what they
// say, then the system's closing ones; one a line.
TEST(Map, NotesComeInTheOrderTheMapMeetsThem) {
  Scan scan;
  scan.notes = {"the system's"};
  scan.final_notes = {"the system's last"};
  scan.buses = {B(0, 0, "host0", "ahci")};
  scan.devices = {FakeDevice("sg9", Address{0, 0, 9, 0}), FakeDevice("X", std::nullopt)};
  const Topology t = Map(scan, "hosts");
  EXPECT_EQ(t.Warning(),
            "the system's\n"
            "sg9 (0:0:9:0) on adapter 0 (host0) has target ID 9: the bus scan probes target IDs "
            "0-7 only\n"
            "adapter 1 holds the devices that answer no SCSI address, at target IDs in the order "
            "found: 0 X; a drive may show there and at its address too\n"
            "the system's last");
  EXPECT_EQ(Map(Scan{}, "hosts").Warning(), "");
}

// What the system says of a device before it is picked (a node this user may
// only read) is noted with the device's place, addressed or not.
TEST(Map, ACautionIsNotedWithTheDevicesPlace) {
  Scan scan;
  scan.buses = {B(0, 0, "host0", "sym53c8xx")};
  Device ro = FakeDevice("sg1", Address{0, 0, 5, 0});
  ro.caution = "is open for reading only";
  Device loose = FakeDevice("X", std::nullopt);
  loose.caution = "is locked";
  scan.devices = {FakeDevice("sg0", Address{0, 0, 2, 0}), ro, loose};
  const Topology t = Map(scan, "hosts");
  EXPECT_EQ(t.notes, (Strings{"sg1 (0:0:5:0) on adapter 0 (host0) is open for reading only",
                              "adapter 1 holds the devices that answer no SCSI address, at "
                              "target IDs in the order found: 0 X; a drive may show there and "
                              "at its address too",
                              "X at target ID 0 on adapter 1 is locked"}));
  EXPECT_EQ(Layout(t), (Strings{"0:2:0 sg0", "0:5:0 sg1", "1:0:0 X"}));
}

}  // namespace
}  // namespace qx::passthrough
