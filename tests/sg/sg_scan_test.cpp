// The SCSI generic devices and hosts from a fake sysfs tree, and the bus that
// shows them as adapters.
#include "transport/sg/sg_scan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sg_fake.h"
#include "transport/passthrough/passthrough_bus.h"
#include "transport/sg/sg_devices.h"

namespace qx::sg {
namespace {

using passthrough::Address;
using testing::FakeSystem;
using testing::SysfsTree;
using Strings = std::vector<std::string>;

TEST(SgHctl, Parses) {
  EXPECT_EQ(ParseHctl("12:3:15:7"), (Address{12, 3, 15, 7}));
  EXPECT_EQ(ParseHctl("0:0:0:4294967296"), (Address{0, 0, 0, 1ull << 32}));
  for (const char* bad : {"0:0:2", "0:0:2:0:1", "0:-1:2:0", "a:0:2:0", "0::2:0", ""}) {
    EXPECT_FALSE(ParseHctl(bad).has_value()) << bad;
  }
}

class SgScan : public ::testing::Test {
 protected:
  passthrough::Scan Read() {
    FakeSystem sys(tree.root());
    sys.nodes = nodes;
    return ReadScan(sys);
  }
  // "hostN name identifier unique initiator" of each bus.
  Strings Buses() {
    Strings out;
    for (const auto& b : Read().buses) {
      out.push_back(std::to_string(b.host) + ":" + std::to_string(b.bus) + " " + b.name + " " +
                    b.identifier + " " + b.unique + " " + b.detail + " " +
                    std::to_string(b.initiator));
    }
    return out;
  }
  SysfsTree tree;
  std::map<std::string, testing::FakeNode> nodes;  // what this user may open
};

TEST_F(SgScan, EveryHostIsABusAndEveryNodeADeviceInNodeOrder) {
  tree.AddHost(5, "ahci\n");
  tree.AddHost(0, "sym53c8xx\n", "7\n");
  tree.AddHost(2, "scsi_debug\n");
  tree.AddSg(4, "5:0:0:0");
  tree.AddSg(1, "0:0:5:0");
  tree.AddSg(0, "0:0:2:0");
  tree.AddSg(7, "not-an-address");
  tree.AddSg(8, "0:1:1:0");
  tree.AddSg(9, "0:0:9:0");
  EXPECT_EQ(Buses(),
            (Strings{"0:0 host0 sym53c8xx host0 sym53c8xx 7",
                     "2:0 host2 scsi_debug host2 scsi_debug 7", "5:0 host5 ahci host5 ahci 7"}));
  const passthrough::Scan scan = Read();
  Strings devices;
  for (const auto& d : scan.devices) {
    devices.push_back(d.name + " " + d.node + " " + passthrough::AddressText(*d.address));
  }
  EXPECT_EQ(devices,
            (Strings{"sg0 /dev/sg0 0:0:2:0", "sg1 /dev/sg1 0:0:5:0", "sg4 /dev/sg4 5:0:0:0",
                     "sg8 /dev/sg8 0:1:1:0", "sg9 /dev/sg9 0:0:9:0"}));
  EXPECT_EQ(scan.notes, Strings{"sg7 has no SCSI address in sysfs and is not shown"});
  EXPECT_TRUE(scan.final_notes.empty());
}

TEST_F(SgScan, NothingFoundSuggestsTheDriver) {
  EXPECT_TRUE(Read().buses.empty());
  EXPECT_EQ(Read().notes,
            Strings{"no SCSI generic devices (/dev/sg*) found; load the sg driver: modprobe sg"});
  tree.AddSg(0, "4:0:1:0");  // a host sysfs does not list still maps
  EXPECT_EQ(Buses(), Strings{"4:0 host4 unknown host4 unknown 7"});
}

TEST_F(SgScan, HostIdOnlyWhenTheKernelGivesOne) {
  const std::pair<const char*, uint8_t> cases[] = {
      {"7\n", 7}, {"0\n", 0}, {"15\n", 15}, {"-1\n", 7}, {"16\n", 7}, {"junk", 7}, {"", 7}};
  for (const auto& [text, want] : cases) {
    tree.AddHost(0, "x", text);
    if (*text == '\0') std::filesystem::remove(tree.root() + kSysScsiHost + "/host0/this_id");
    EXPECT_EQ(Read().buses.at(0).initiator, want) << text;
  }
}

// A node this user may read but not write is cautioned in the scan, before
// it is picked; one it may write, or not even read, is not.
TEST_F(SgScan, ANodeThisUserMayOnlyReadIsCautioned) {
  tree.AddHost(0, "sym53c8xx\n");
  tree.AddSg(0, "0:0:2:0");
  tree.AddSg(1, "0:0:5:0");
  tree.AddSg(2, "0:0:6:0");
  nodes["/dev/sg0"].read_only = true;
  nodes["/dev/sg1"];  // read and write
  // sg2: not even readable (no node to open)
  Strings cautions;
  for (const auto& d : Read().devices) cautions.push_back(d.name + ": " + d.caution);
  EXPECT_EQ(cautions,
            (Strings{"sg0: is open for reading only: the kernel passes INQUIRY but refuses the "
                     "vendor commands and WRITE BUFFER; run as root or give your user read/write "
                     "access to /dev/sg0 before a download",
                     "sg1: ", "sg2: "}));
}

TEST_F(SgScan, TheBusShowsHostsAsAdaptersAndNodesAsTargets) {
  passthrough::PassThroughBus none(MakeSgDevices(std::make_shared<FakeSystem>(tree.root())));
  EXPECT_EQ(none.Notes(),
            "no SCSI generic devices (/dev/sg*) found; load the sg driver: modprobe sg");
  tree.AddHost(0, "sym53c8xx\n", "7\n");
  tree.AddSg(3, "0:0:2:0");
  passthrough::PassThroughBus bus(MakeSgDevices(std::make_shared<FakeSystem>(tree.root())));
  EXPECT_STREQ(bus.Name(), "SCSI generic");
  SRB_HAInquiry q{};
  q.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(bus.BCSendASPI32Command(&q, nullptr), SS_COMP);
  EXPECT_EQ(q.HA_SCSI_ID, 7);
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_ManagerId), "Linux SG_IO");
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Identifier), "sym53c8xx");
  EXPECT_STREQ(reinterpret_cast<const char*>(q.HA_Unique), "host0");
  q.SRB_HaId = 1;
  EXPECT_EQ(bus.BCSendASPI32Command(&q, nullptr), SS_INVALID_HA);
  EXPECT_EQ(bus.LastHint(), "no SCSI host behind adapter 1");
  const auto where = bus.DeviceLocation(0, 2, 0);
  EXPECT_EQ(where.address, "0:0:2:0");
  EXPECT_EQ(where.node, "/dev/sg3");
}

}  // namespace
}  // namespace qx::sg
