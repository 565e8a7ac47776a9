// The guards around a download: the kind of device, and stop requests that
// come while the drive is being prepared or while the last block goes out.
#include "ui/download_guards.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "aspi/manager.h"
#include "tests/support/sim_form_test.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
const std::string kReleases = std::string(QX_SOURCE_DIR) + "/examples/releases/";

TEST(DownloadGuards, OnlyACdDvdDeviceTakesTheFirmware) {
  struct Case {
    std::optional<uint8_t> peripheral;
    std::string refusal;  // empty: allowed
  };
  const Case cases[] = {
      {0x05, ""},
      {0x00, "target 2 is a disk (type 0), not a DVD drive"},
      {0x01, "target 2 is a tape drive (type 1), not a DVD drive"},
      {0x1F, "target 2 is a device of unknown type (type 31), not a DVD drive"},
      {0x07, "target 2 is an optical memory drive (type 7), not a DVD drive"},
      {0x0D, "target 2 is an enclosure (type 13), not a DVD drive"},
      {0x25, "target 2 has no device connected (peripheral qualifier 1), not a DVD drive"},
      {0x7F, "target 2 has no device connected (peripheral qualifier 3), not a DVD drive"},
      {std::nullopt, "The device type of target 2 is not known (its last INQUIRY failed)"},
  };
  for (const auto& c : cases) {
    const GuardVerdict v = TargetTypeVerdict(2, c.peripheral);
    EXPECT_EQ(v.refusal.has_value(), !c.refusal.empty()) << c.refusal;
    if (v.refusal) {
      EXPECT_EQ(v.refusal->substr(0, c.refusal.size()), c.refusal);
    }
  }
}

class DownloadGuardTest : public SimFormTest {
 protected:
  // A copy of a sample release whose model item is `model`, chosen in File1.
  void Release(const std::string& model) {
    std::ifstream in(kReleases + "QXR4410_A0.OUB", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t line2 = text.find("\r\n") + 2;
    text.replace(line2, text.find("\r\n", line2) - line2, model);
    std::ofstream(dir / "R.OUB", std::ios::binary) << text;
    fs::copy_file(kReleases + "QXR4410_A0.bin", dir / "R.bin",
                  fs::copy_options::overwrite_existing);
    form->FirmwareDir = dir.string() + "/";
    form->File1.SetPath(form->FirmwareDir);
    form->File1.SetListIndex(0);
  }
  // Opcodes the bus received since the scan.
  std::vector<uint8_t> SentSinceScan() {
    std::vector<uint8_t> ops;
    for (const auto& e : bus->Log()) ops.push_back(e.opcode());
    return ops;
  }
};

TEST_F(DownloadGuardTest, ADiskWhoseNameTheModelMatchesGetsNothing) {
  // The model item "S" is found in "SIMDISK": the model check passes, the
  // device type stops it before anything is sent.
  UseScanned(R"({"adapters": [{"ha": 0, "targets": [{"id": 5,
      "inquiry": {"type": 0, "vendor": "GENERIC", "product": "SIMDISK"}}]}]})");
  ASSERT_EQ(form->SelectTarget(0, 5), MainForm::Selection::kOk);
  Release("S");
  bus->ClearLog();
  const auto outcome = form->StartDownload();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->end, DownloadEnd::kRefused);
  EXPECT_EQ(outcome->message, "target 5 is a disk (type 0), not a DVD drive");
  EXPECT_TRUE(SentSinceScan().empty());
  ASSERT_EQ(ws.boxes.size(), 1u);  // the refusal, never the confirmation
  EXPECT_EQ(ws.boxes[0].style, kStyleCritical);
}

TEST_F(DownloadGuardTest, AStopIsSeenBeforeTheNextCommand) {
  struct Case {
    const char* name;
    int stopAt;  // DeliverStops call that brings the stop
    std::vector<uint8_t> commands;
    DownloadEnd end;
    bool too_late;
  };
  const Case cases[] = {
      // After the release is loaded, after the drive is taken, before the
      // vendor command, before TEST UNIT READY, after the last block.
      {"while the release loads", 1, {}, DownloadEnd::kAborted, false},
      {"while the drive is taken", 2, {}, DownloadEnd::kAborted, false},
      {"during the memory read", 3, {0xDF}, DownloadEnd::kAborted, false},
      {"during the vendor command", 4, {0xDF, 0xDF}, DownloadEnd::kAborted, false},
      {"during the last block", 5, {0xDF, 0xDF, 0x00, 0x3B, 0x3B}, DownloadEnd::kDone, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetProcessState();
    UseScanned(R"({"adapters": [{"ha": 0, "targets": [{"id": 2}]}]})");
    ASSERT_EQ(form->SelectTarget(0, 2), MainForm::Selection::kOk);
    Release("QX-R4410");
    bus->ClearLog();
    ws.deliver_stops_calls = 0;
    ws.on_deliver_stops = [&](int n) {
      if (n == c.stopAt) form->Tyusi_Click();
    };
    const auto outcome = form->StartDownload();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->end, c.end);
    EXPECT_EQ(outcome->stop_too_late, c.too_late);
    EXPECT_EQ(SentSinceScan(), c.commands);
    EXPECT_TRUE(form->Command1.Enabled);
  }
}

}  // namespace
}  // namespace qx
