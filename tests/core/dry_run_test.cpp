// The dry run: every check of the download up to its first write, on the
// simulated bus, and the twin it records replaying the drive's answers.
#include "download/dry_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "aspi/manager.h"
#include "aspi/opcodes.h"
#include "aspi/recorder.h"
#include "tests/support/sim_form_test.h"
#include "transport/sim/sim_bus.h"
#include "transport/sim/twin.h"
#include "ui/main_form.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
const std::string kReleases = std::string(QX_SOURCE_DIR) + "/examples/releases/";

class DryRunTest : public SimFormTest {
 protected:
  // The bus of `json`, scanned, target `id` on adapter 0 chosen and the
  // release `file` chosen in File1.
  void Use(const std::string& json, int id = 2, const std::string& file = "QXR4410_ALL.OUB") {
    UseScanned(json);
    if (HasFatalFailure()) return;
    ASSERT_EQ(form->SelectTarget(0, id), MainForm::Selection::kOk);
    form->SetFirmwareDir(kReleases);
    ASSERT_TRUE(form->ChooseFileNamed(file));
    bus->ClearLog();
  }
  // Whether a command other than a reading one reached the drive.
  bool AnythingWritten() const {
    for (const auto& e : bus->Log()) {
      const bool memory_read = e.cdb[0] == op::kVendor && e.cdb[2] == op::kFnMemoryRead;
      if (!memory_read && e.cdb[0] != op::kInquiry && e.cdb[0] != op::kTestUnitReady) return true;
    }
    return false;
  }
};

TEST_F(DryRunTest, SaysWhatTheDownloadWouldDoAndWritesNothing) {
  struct Case {
    const char* name;
    std::string target;  // the target's keys beside "id": 2
    std::string faults;
    std::optional<DownloadEnd> end;  // nullopt: the download would start
    bool prepare;
    std::string step;  // the step that decides, or says the most
    std::string text;  // the start of its text
  };
  const Case cases[] = {
      {"a drive to prepare", "", "", std::nullopt, true, "state_word",
       "0x1234 at 0x7FE0: the download would first send"},
      {"a drive set for firmware", R"(, "memory": {"0x7FE0": "CC DD"})", "", std::nullopt, false,
       "state_word", "0xCCDD at 0x7FE0: the drive is set"},
      {"a disc mounted", R"(, "mounted": ["/media/cdrom"])", "", DownloadEnd::kRefused, false,
       "drive_work", "A file system from the drive at 0:2"},
      {"open in another program", R"(, "in_use": true)", "", DownloadEnd::kRefused, false,
       "drive_work", "the device at adapter 0 target 2 LUN 0 is open in another program"},
      {"the memory read refused by the drive", "",
       R"({"opcode": "0xDF", "sense": {"key": 5, "asc": "0x20"}})", std::nullopt, false,
       "state_word", "the drive refused the memory read"},
      {"the memory read lost by the adapter", "", R"({"opcode": "0xDF", "ha_status": "0x11"})",
       DownloadEnd::kPreparationFailed, false, "state_word", "MemoryRead"},
      {"TEST UNIT READY answered not ready", R"(, "not_ready": true)", "", std::nullopt, true,
       "test_unit_ready", "TestUnitReady"},
      {"TEST UNIT READY lost by the adapter", "", R"({"opcode": 0, "ha_status": "0x11"})",
       DownloadEnd::kPreparationFailed, true, "test_unit_ready", "TestUnitReady"},
      {"INQUIRY failed at the selection", "", R"({"id": 2, "opcode": "0x12", "nth": 2, "times": 0,
       "sense": {"key": 4, "asc": "0x44"}})",
       DownloadEnd::kRefused, false, "target", "The device type of target 2 is not known"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetProcessState();
    Use(R"({"adapters": [{"ha": 0, "targets": [{"id": 2)" + c.target + R"(}]}], "faults": [)" +
        c.faults + "]}");
    const auto report = form->DryRun();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->would_end, c.end);
    EXPECT_EQ(report->would_prepare, c.prepare);
    EXPECT_FALSE(AnythingWritten());
    EXPECT_TRUE(ws.boxes.empty());  // nothing is asked or shown
    const DryRunStep* step = nullptr;
    for (const auto& s : report->steps) {
      if (s.name == c.step) step = &s;
    }
    ASSERT_NE(step, nullptr);
    EXPECT_EQ(step->text.substr(0, std::string(c.text).size()), c.text) << step->text;
    // The blocks are said only when the download would start.
    const bool blocks_said = report->steps.back().name == "blocks";
    EXPECT_EQ(blocks_said, !c.end);
    if (!c.end) {
      EXPECT_EQ(report->blocks.size(), 16u);
      EXPECT_EQ(report->blocks.back().mode, 5);
    }
    if (!bus->Log().empty()) {
      EXPECT_FALSE(bus->Reserved(0, 2));  // the drive is given back
    }
  }
}

TEST_F(DryRunTest, ReleasesThatFailTheirChecksStopBeforeTheDrive) {
  struct Case {
    const char* file;
    int id;
    DownloadEnd end;
  };
  const Case cases[] = {
      {"BAD_CHECKSUM.OUB", 2, DownloadEnd::kLoadFailed},
      {"BAD_MAGIC.OUB", 2, DownloadEnd::kCheckFailed},
      {"QXR4410_ALL.OUB", 5, DownloadEnd::kCheckFailed},  // the model is not the disk's
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ResetProcessState();
    Use(R"({"adapters": [{"ha": 0, "targets": [{"id": 2}, {"id": 5, "kind": "generic",
        "inquiry": {"type": 0, "product": "SIMDISK"}}]}]})",
        c.id, c.file);
    const auto report = form->DryRun();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->would_end, c.end);
    EXPECT_TRUE(bus->Log().empty());
  }
}

TEST_F(DryRunTest, TheTwinReplaysTheDrivesAnswers) {
  // A drive with a unit attention, a busy first vendor command and a slow pace.
  const std::string original = R"json({"adapters": [{"ha": 0, "identifier": "REAL-HA",
      "targets": [{"id": 2, "unit_attention": true, "delay_ms": 3,
                   "inquiry": {"revision": "1.20", "vendor_specific": " (2004/01/01)"}},
                  {"id": 4, "memory": {"0x7FE0": "CC DD"}}]}],
      "faults": [{"id": 2, "opcode": "0xDF", "target_status": 8}]})json";
  sim::TwinRecorder recorder;
  InstallCommandRecorder(&recorder);
  Use(original);
  const auto recorded = form->DryRun();
  InstallCommandRecorder(nullptr);
  ASSERT_TRUE(recorded);
  const std::string twin = recorder.ScenarioJson(
      {.device = "the drive at 0:2", .transport = "test", .time = "now", .program = "test"});

  ResetProcessState();
  Use(twin);
  EXPECT_NE(bus->Notes().find("replays a recording of the drive at 0:2"), std::string::npos);
  const auto replayed = form->DryRun();
  ASSERT_TRUE(replayed);
  ASSERT_EQ(replayed->steps.size(), recorded->steps.size());
  for (size_t i = 0; i < recorded->steps.size(); ++i) {
    EXPECT_EQ(replayed->steps[i].verdict, recorded->steps[i].verdict);
    EXPECT_EQ(replayed->steps[i].text, recorded->steps[i].text);
  }
  EXPECT_EQ(replayed->would_end, recorded->would_end);
  EXPECT_EQ(TrimSpaces(form->FWVer.Caption), "1.20 (2004/01/01)");
}

}  // namespace
}  // namespace qx
