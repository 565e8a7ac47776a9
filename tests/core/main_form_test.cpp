#include "ui/main_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "aspi/manager.h"
#include "aspi/trace.h"
#include "aspi/transport_state.h"
#include "download/release.h"
#include "tests/support/sim_form_test.h"
#include "transport/sim/sim_bus.h"
#include "ui/debug_form.h"

namespace qx {
namespace {

const std::string kReleases = std::string(QX_SOURCE_DIR) + "/examples/releases/";

std::string Drive(int id, const std::string& extra = "") {
  return R"({"id": )" + std::to_string(id) +
         R"(, "inquiry": {"vendor": "AMBERVLT", "product": "QX-R4410", "revision": "1.10",
            "vendor_specific": " 2003-05-12"})" +
         extra + "}";
}

// One adapter (0) with a QX-R4410 at ID 2, plus whatever `extra` adds to the drive.
std::string OneDrive(const std::string& driveExtra = "", const std::string& faults = "[]") {
  return R"({"adapters": [{"ha": 0, "scsi_id": 7, "identifier": "SIM-HA0", "targets": [)" +
         Drive(2, driveExtra) + R"(]}], "faults": )" + faults + "}";
}

class MainFormTest : public SimFormTest {
 protected:
  void Use(const std::string& json) { UseBus(json); }
  void Start() {
    StartForm();
    form->BlockPause = [this] { ++pauses; };
  }
  // Scans and selects the release `name` from the examples.
  void Prepare(const std::string& name) {
    form->Scsi_Scan_Click();
    form->FirmwareDir = kReleases;
    form->File1.SetPath(kReleases);
    auto& items = form->File1.Items();
    auto it = std::find(items.begin(), items.end(), name);
    ASSERT_NE(it, items.end()) << name;
    form->File1.SetListIndex(static_cast<int>(it - items.begin()));
    ASSERT_EQ(form->Label4.Caption, name);
    bus->ClearLog();
    ws.boxes.clear();
  }
  std::vector<sim::LogEntry> Sent(uint8_t opcode) {
    std::vector<sim::LogEntry> out;
    for (auto& e : bus->Log()) {
      if (e.opcode() == opcode) out.push_back(e);
    }
    return out;
  }
  void ExpectIdle() {
    EXPECT_TRUE(form->ComboHA.Enabled);
    EXPECT_TRUE(form->ComboID.Enabled);
    EXPECT_TRUE(form->Command1.Enabled);
    EXPECT_TRUE(form->File1.Enabled);
    EXPECT_FALSE(form->Tyusi.Enabled);
    EXPECT_EQ(form->MousePointer, 0);
  }

  int pauses = 0;
};

TEST_F(MainFormTest, LoadRestoresPositionsAndNonNumbersReadAsZero) {
  Use(OneDrive());
  struct Case {
    const char* ha;
    const char* id;
    int16_t expectHa, expectId;
  };
  const Case cases[] = {{nullptr, nullptr, 0, 0},
                        {"1", "3", 1, 3},
                        {"x1", "", 0, 0},
                        {" 2", "-1", 2, -1},
                        {"99999", "1.5", 0, 0}};
  for (const auto& c : cases) {
    settings.values.clear();
    if (c.ha) settings.SaveSetting("DUDUrevorod", "Startup", "Ha", c.ha);
    if (c.id) settings.SaveSetting("DUDUrevorod", "Startup", "ID", c.id);
    Start();
    EXPECT_EQ(form->OLD_HaINDX, c.expectHa);
    EXPECT_EQ(form->OLD_IdINDX, c.expectId);
    EXPECT_EQ(SelectedHaId, 50);
    EXPECT_EQ(SelectedTargetId, 50);
    EXPECT_EQ(form->AbortRequested, 0);
    EXPECT_EQ(form->File1.Pattern(), "*.OUB");
    // The current directory with the system's separator after it.
    EXPECT_EQ(form->FirmwareDir.back(),
              static_cast<char>(std::filesystem::path::preferred_separator));
    EXPECT_EQ(form->ComboHA.ListCount(), 0);
  }
  EXPECT_TRUE(bus->Log().empty());  // start-up sends nothing
}

TEST_F(MainFormTest, UnloadSavesBothPositions) {
  Use(OneDrive());
  Start();
  form->OLD_HaINDX = 1;
  form->OLD_IdINDX = -1;
  form->Form_Unload();
  EXPECT_EQ(settings.GetSetting("DUDUrevorod", "Startup", "Ha", ""), "1");
  EXPECT_EQ(settings.GetSetting("DUDUrevorod", "Startup", "ID", ""), "-1");
}

TEST_F(MainFormTest, ScanOfTheBuiltInBusRestoresTheStoredPositions) {
  bus = sim::SimBus::BuiltIn();
  InstallAspiManager(bus);
  struct Case {
    const char* ha;
    const char* id;
    int haIndex, idIndex;
    uint8_t selHa, selId;
  };
  // Adapters 0 and 2 answer; adapter 2 holds targets 1 and 4.
  const Case cases[] = {{"1", "1", 1, 1, 2, 4}, {"5", "0", 1, 0, 2, 1}, {"0", "7", 0, 0, 0, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ha);
    ResetProcessState();
    settings.SaveSetting("DUDUrevorod", "Startup", "Ha", c.ha);
    settings.SaveSetting("DUDUrevorod", "Startup", "ID", c.id);
    Start();
    form->Scsi_Scan_Click();
    ASSERT_EQ(form->ComboHA.ListCount(), 2);
    EXPECT_EQ(form->ComboHA.Items()[0].substr(0, 2), "0:");
    EXPECT_EQ(form->ComboHA.Items()[1].substr(0, 2), "2:");
    EXPECT_EQ(form->ComboHA.ListIndex(), c.haIndex);
    EXPECT_EQ(form->OLD_HaINDX, c.haIndex);
    EXPECT_EQ(form->ComboID.ListIndex(), c.idIndex);
    EXPECT_EQ(form->OLD_IdINDX, c.idIndex);
    EXPECT_EQ(SelectedHaId, c.selHa);
    EXPECT_EQ(SelectedTargetId, c.selId);
    EXPECT_EQ(form->FWVer.Caption.substr(0, 3), " 1.");
    EXPECT_EQ(form->FWVer.Caption.size(), 19u);
    EXPECT_EQ(form->Text1.Text, "SCSI Rescan Complete ");
    EXPECT_EQ(ws.pointers.front(), 11);
    EXPECT_EQ(ws.pointers.back(), 0);
  }
}

TEST_F(MainFormTest, ScanFindingNothingKeepsOrResetsTheChoice) {
  // No adapter answers: an earlier choice of adapter 3 is kept, none becomes 10.
  Use(R"({"adapters": []})");
  Start();
  SelectedHaId = 3;
  SelectedTargetId = 50;
  form->Scsi_Scan_Click();
  EXPECT_EQ(form->ComboHA.ListCount(), 0);
  EXPECT_EQ(form->ComboHA.ListIndex(), -1);
  EXPECT_EQ(form->OLD_HaINDX, -1);
  EXPECT_EQ(SelectedHaId, 3);
  EXPECT_EQ(SelectedTargetId, 10);

  // An adapter without targets after an earlier target choice: the last probed ID stays.
  Use(R"({"adapters": [{"ha": 1, "targets": []}]})");
  SelectedHaId = 50;
  SelectedTargetId = 4;
  form->Scsi_Scan_Click();
  EXPECT_EQ(form->ComboHA.ListCount(), 1);
  EXPECT_EQ(form->ComboID.ListCount(), 0);
  EXPECT_EQ(form->ComboID.ListIndex(), -1);
  EXPECT_EQ(form->OLD_IdINDX, -1);
  EXPECT_EQ(SelectedHaId, 1);
  EXPECT_EQ(SelectedTargetId, 7);
}

TEST_F(MainFormTest, ProductNamesAreCleanedInPlace) {
  // "QXR" + 13 zero bytes, then 0x7F and 0x80 in a second device.
  std::string inquiry(96 * 3, '0');
  auto raw = [](std::vector<uint8_t> product) {
    std::string hex;
    std::vector<uint8_t> data(36, 0);
    data[0] = 5;
    data[4] = 31;
    for (size_t i = 0; i < 16; ++i) data[16 + i] = i < product.size() ? product[i] : 0;
    for (uint8_t b : data) {
      char h[4];
      std::snprintf(h, sizeof h, "%02X ", b);
      hex += h;
    }
    return hex;
  };
  Use(R"({"adapters": [{"ha": 0, "targets": [{"id": 0, "inquiry": {"raw": ")" +
      raw({'Q', 'X', 'R'}) + R"("}}, {"id": 1, "inquiry": {"raw": ")" +
      raw({'A', 0x7F, 0x80, 'B'}) + R"("}}]}]})");
  Start();
  form->Scsi_Scan_Click();
  EXPECT_EQ(form->DeviceNames[0][0], "0:QXR" + std::string(13, ' '));
  EXPECT_EQ(form->DeviceNames[0][1], "1:A\x7F B" + std::string(12, ' '));
  EXPECT_EQ(form->DeviceNames[0][2], "");
  // The last INQUIRY's data was cleaned in DataBuf itself... then reread by ComboID_Click.
  EXPECT_EQ(form->ComboID.Items(),
            (std::vector<std::string>{form->DeviceNames[0][0], form->DeviceNames[0][1]}));
}

TEST_F(MainFormTest, AdapterWithoutDevicesRaisesNoTargetClick) {
  Use(R"({"adapters": [{"ha": 0, "targets": []}]})");
  Start();
  form->Scsi_Scan_Click();
  bus->ClearLog();
  form->ComboHA.SetListIndex(0);
  EXPECT_EQ(form->ComboID.ListCount(), 0);
  EXPECT_TRUE(bus->Log().empty());  // no INQUIRY from ComboID_Click
}

TEST_F(MainFormTest, ErrDispShowsTheLastError) {
  Use(OneDrive());
  Start();
  ErrMsg = "";
  form->Err_disp();
  ASSERT_EQ(ws.boxes.size(), 1u);
  EXPECT_EQ(ws.boxes[0].text, "SCSI Error\r");
  EXPECT_EQ(ws.boxes[0].title, "QX-R4410 Ambervault Tool 2 2");
  EXPECT_EQ(ws.boxes[0].style, 48);
  EXPECT_EQ(form->Text1.Text, "");
}

TEST_F(MainFormTest, FullDownloadOfAllAreas) {
  Use(OneDrive());
  Start();
  Prepare("QXR4410_ALL.OUB");
  form->Command1_Click();
  const auto wb = Sent(0x3B);
  ASSERT_EQ(wb.size(), 16u);
  for (size_t b = 0; b < 16; ++b) {
    EXPECT_EQ(wb[b].cdb, (std::vector<uint8_t>{0x3B, static_cast<uint8_t>(b == 15 ? 5 : 4),
                                               static_cast<uint8_t>(b), 0, 0, 0, 0, 0x40, 0, 0}));
    EXPECT_EQ(wb[b].buf_len, 16384u);
  }
  EXPECT_EQ(pauses, 15);
  EXPECT_EQ(ws.do_events_calls, 16);
  // Preparation: memory read, the vendor command (word is not CC DD), TEST UNIT READY.
  const auto log = bus->Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0].cdb,
            (std::vector<uint8_t>{0xDF, 0, 0xE2, 0, 0, 0, 0x7F, 0xE0, 0, 0x7F, 0xE1, 0}));
  EXPECT_EQ(log[1].cdb, (std::vector<uint8_t>{0xDF, 0, 0xD7, 0, 0xE3, 0, 0x80, 0, 0, 0, 0, 0}));
  EXPECT_EQ(log[2].cdb, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0xC0}));
  ASSERT_EQ(ws.boxes.size(), 2u);
  EXPECT_EQ(ws.boxes[0].text, "Firmware Download Execute");
  EXPECT_EQ(ws.boxes[0].style, 33);
  EXPECT_EQ(ws.boxes[0].title, "QX-R4410 Ambervault Tool 2 ");
  EXPECT_EQ(ws.boxes[1].text,
            "2:QX-R4410        \r\n\r\nWait until all LED off.\r\n"
            "After all LED off ,turn Off drive & PC power.");
  EXPECT_EQ(ws.boxes[1].style, 48);
  EXPECT_EQ(ws.boxes[1].title, "QX-R4410 Ambervault Tool 2");
  EXPECT_EQ(form->Text1.Text, "");
  ExpectIdle();
  // The drive holds exactly the image.
  auto drive = bus->Drive(0, 2);
  ASSERT_TRUE(drive);
  EXPECT_TRUE(std::equal(drive->flash.begin(), drive->flash.end(), ImageBuf.begin()));
}

TEST_F(MainFormTest, OnlyTheChosenAreasAreSent) {
  struct Case {
    const char* file;
    std::vector<int> ids;
  };
  const Case cases[] = {{"QXR4410_A0.OUB", {0, 1}},
                        {"QXR4410_A1.OUB", {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
                        {"QXR4410_A2.OUB", {15}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ResetProcessState();
    Use(OneDrive());
    Start();
    pauses = 0;
    Prepare(c.file);
    form->Command1_Click();
    const auto wb = Sent(0x3B);
    ASSERT_EQ(wb.size(), c.ids.size());
    for (size_t i = 0; i < wb.size(); ++i) {
      EXPECT_EQ(wb[i].cdb[2], c.ids[i]);
      EXPECT_EQ(wb[i].cdb[1], i + 1 == wb.size() ? 5 : 4);
      EXPECT_TRUE(std::equal(wb[i].data_out.begin(), wb[i].data_out.end(),
                             ImageBuf.begin() + c.ids[i] * 16384));
    }
    EXPECT_EQ(pauses, c.ids.back() == 15 ? static_cast<int>(c.ids.size()) - 1
                                         : static_cast<int>(c.ids.size()));
  }
}

TEST_F(MainFormTest, CancelSendsNothingAndASecondRunWorks) {
  Use(OneDrive());
  Start();
  Prepare("QXR4410_A0.OUB");
  ws.answers = {kAnswerCancel};
  form->Command1_Click();
  EXPECT_TRUE(bus->Log().empty());
  ExpectIdle();
  form->Command1_Click();
  EXPECT_EQ(Sent(0x3B).size(), 2u);
}

TEST_F(MainFormTest, ChecksEndBeforeAnythingIsSent) {
  struct Case {
    const char* file;
    const char* message;
    bool busyBefore;  // the release load runs after the confirmation
  };
  const Case cases[] = {
      {"BAD_MAGIC.OUB", "Parameter file version unmatch", false},
      {"BAD_VERSION3.OUB", "Parameter file version unmatch", false},
      {"BAD_MODEL.OUB", "Select 'QX-R4420'", false},
      {"BAD_CHECKSUM.OUB", "File CheckSum Error", true},
      {"BAD_NOAREA.OUB", "Program Error", true},
  };
  Use(OneDrive());
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Prepare(c.file);
    form->Command1_Click();
    EXPECT_TRUE(bus->Log().empty());
    ASSERT_FALSE(ws.boxes.empty());
    EXPECT_EQ(ws.boxes.back().text, c.message);
    EXPECT_EQ(ws.boxes.back().style, 16);
    EXPECT_EQ(ws.boxes.back().title, "QX-R4410 Ambervault Tool 2 ");
    EXPECT_EQ(ws.boxes.size(), c.busyBefore ? 2u : 1u);
    ExpectIdle();
  }
  // No file chosen: only the message.
  form->Label4.Caption = "   ";
  ws.boxes.clear();
  form->Text1.Text = "unchanged";
  form->Command1_Click();
  ASSERT_EQ(ws.boxes.size(), 1u);
  EXPECT_EQ(ws.boxes[0].text, "Set File Name");
  EXPECT_EQ(form->Text1.Text, "unchanged");
}

TEST_F(MainFormTest, MemoryWordDecidesTheVendorCommand) {
  struct Case {
    const char* word;
    bool diOut;
  };
  const Case cases[] = {{"CC DD", false}, {"DD CC", true}, {"00 00", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    ResetProcessState();
    Use(OneDrive(std::string(R"(, "memory": {"0x7FE0": ")") + c.word + R"("})"));
    Start();
    Prepare("QXR4410_A2.OUB");
    form->Command1_Click();
    size_t diOut = 0;
    for (auto& e : Sent(0xDF)) diOut += e.cdb[2] == 0xD7;
    EXPECT_EQ(diOut, c.diOut ? 1u : 0u);
    EXPECT_EQ(Sent(0x00).size(), 1u);
    EXPECT_EQ(Sent(0x3B).size(), 1u);
  }
}

TEST_F(MainFormTest, PreparationFailures) {
  struct Case {
    const char* name;
    const char* faults;
    bool stops;
    size_t diOut;
  };
  const Case cases[] = {
      {"memory read, adapter error", R"([{"opcode": "0xDF", "ha_status": "0x11"}])", true, 0},
      {"memory read, drive error", R"([{"opcode": "0xDF", "sense": {"key": 5, "asc": "0x20"}}])",
       false, 0},
      {"vendor command, adapter error", R"([{"opcode": "0xDF", "nth": 2, "ha_status": "0x0E"}])",
       true, 1},
      {"vendor command, drive error",
       R"([{"opcode": "0xDF", "nth": 2, "sense": {"key": 5, "asc": "0x24"}}])", false, 1},
      {"test unit ready, adapter error", R"([{"opcode": "0x00", "ha_status": "0x0F"}])", true, 1},
      {"test unit ready, not ready", R"([{"opcode": "0x00", "sense": {"key": 2, "asc": "0x3A"}}])",
       false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetProcessState();
    Use(OneDrive("", c.faults));
    Start();
    Prepare("QXR4410_A2.OUB");
    form->Command1_Click();
    size_t diOut = 0;
    for (auto& e : Sent(0xDF)) diOut += e.cdb[2] == 0xD7;
    EXPECT_EQ(diOut, c.diOut);
    EXPECT_EQ(Sent(0x3B).size(), c.stops ? 0u : 1u);
    if (c.stops) {
      ASSERT_EQ(ws.boxes.size(), 2u);
      EXPECT_EQ(ws.boxes[1].text, ErrMsg);
      EXPECT_EQ(ws.boxes[1].style, 16);
      EXPECT_EQ(ws.boxes[1].title, "QX-R4410 Ambervault Tool 2");
    }
    ExpectIdle();
  }
}

TEST_F(MainFormTest, WriteBufferFailures) {
  struct Case {
    const char* name;
    std::string scenario;
    size_t sent;
    std::string text;  // empty: the executor's text
    bool hostAdapter;
  };
  const Case cases[] = {
      {"unit attention once",
       OneDrive("", R"([{"opcode": "0x3B", "sense": {"key": 6, "asc": "0x29"}}])"), 17, "", false},
      {"customizing code", OneDrive(R"(, "refuse_download": "customizing")"), 1,
       "Error!\n   The Drive Can not up-date,becasue\n"
       "    because the customizing code is not corresponding.",
       false},
      {"rpc mode", OneDrive(R"(, "refuse_download": "rpc")"), 1,
       "Error!\n   The Drive Can not up-date,becasue\n"
       "    because the RPC mode is not corresponding.",
       false},
      {"other ascq",
       OneDrive("", R"([{"opcode": "0x3B", "sense": {"key": 5, "asc": "0x24", "ascq": "0x92"}}])"),
       1, "WriteBuffer  0  24(92)00:INVALID FIELD IN CDB", false},
      {"host adapter", OneDrive("", R"([{"opcode": "0x3B", "nth": 4, "ha_status": "0x0E"}])"), 4,
       "WriteBuffer  3 A bus reset was detected.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetProcessState();
    Use(c.scenario);
    Start();
    Prepare("QXR4410_ALL.OUB");
    form->Command1_Click();
    EXPECT_EQ(Sent(0x3B).size(), c.sent);
    if (c.text.empty()) {
      EXPECT_EQ(ws.boxes.back().style, 48);  // finished
      continue;
    }
    EXPECT_EQ(form->Text1.Text, c.text);
    EXPECT_EQ(ws.boxes.back().text, c.hostAdapter ? "HostAdaptrError!  \r\n" + c.text : c.text);
    EXPECT_EQ(ws.boxes.back().style, 16);
    EXPECT_EQ(ws.boxes.back().title, "QX-R4410 Ambervault Tool 2");
    ExpectIdle();
  }
}

TEST_F(MainFormTest, AbortDuringBlockFiveStopsBeforeBlockSix) {
  Use(OneDrive());
  Start();
  Prepare("QXR4410_ALL.OUB");
  ws.on_do_events = [this](int n) {
    if (n == 7) {
      EXPECT_TRUE(form->Tyusi.Enabled);
      EXPECT_FALSE(form->Command1.Enabled);
      EXPECT_FALSE(form->Scsi_Scan.Enabled);
      // Neither a rescan, another target nor a second download may start now.
      form->Scsi_Scan_Click();
      form->ComboHA.SetListIndex(0);
      form->ComboID_Click();
      form->Command1_Click();
      EXPECT_EQ(SelectedTargetId, 2);
      EXPECT_EQ(ws.boxes.size(), 1u);
      form->Tyusi_Click();
    }
  };
  form->Command1_Click();
  const auto wb = Sent(0x3B);
  ASSERT_EQ(wb.size(), 6u);
  EXPECT_EQ(wb.back().cdb[2], 5);
  EXPECT_EQ(form->Text1.Text, "Abort By User");
  EXPECT_EQ(ws.boxes.size(), 1u);  // the confirmation only
  ExpectIdle();
}

TEST_F(MainFormTest, OutcomeSaysHowTheDownloadEnded) {
  struct Case {
    const char* name;
    const char* release;  // nullptr: no file chosen
    std::string scenario;
    int answer;
    int abortAt;  // DoEvents call that presses Abort, 0 for none
    DownloadEnd end;
    int block, sent, planned;
    std::string message;
  };
  const std::string hostError = R"([{"opcode": "0x3B", "nth": 4, "ha_status": "0x0E"}])";
  const Case cases[] = {
      {"no file", nullptr, OneDrive(), 1, 0, DownloadEnd::kNoFile, -1, 0, 0, "Set File Name"},
      {"model", "BAD_MODEL.OUB", OneDrive(), 1, 0, DownloadEnd::kCheckFailed, -1, 0, 0, ""},
      {"cancel", "QXR4410_A0.OUB", OneDrive(), 2, 0, DownloadEnd::kCancelled, -1, 0, 0, ""},
      {"checksum", "BAD_CHECKSUM.OUB", OneDrive(), 1, 0, DownloadEnd::kLoadFailed, -1, 0, 0,
       "File CheckSum Error"},
      {"abort", "QXR4410_ALL.OUB", OneDrive(), 1, 3, DownloadEnd::kAborted, 2, 2, 16, ""},
      {"preparation", "QXR4410_A0.OUB",
       OneDrive("", R"([{"opcode": "0x00", "ha_status": "0x0F"}])"), 1, 0,
       DownloadEnd::kPreparationFailed, -1, 0, 2, ""},
      {"block", "QXR4410_ALL.OUB", OneDrive("", hostError), 1, 0, DownloadEnd::kBlockFailed, 3, 3,
       16, "HostAdaptrError!  \r\nWriteBuffer  3 A bus reset was detected."},
      {"done", "QXR4410_A0.OUB", OneDrive(), 1, 0, DownloadEnd::kDone, -1, 2, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetProcessState();
    Use(c.scenario);
    Start();
    if (c.release) Prepare(c.release);
    ws.answers = {c.answer};
    ws.on_do_events = [&](int n) {
      if (n == c.abortAt) form->Tyusi_Click();
    };
    const auto outcome = form->StartDownload();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->end, c.end);
    EXPECT_EQ(outcome->block, c.block);
    EXPECT_EQ(outcome->blocks_sent, c.sent);
    EXPECT_EQ(outcome->blocks_planned, c.planned);
    EXPECT_EQ(outcome->blocks_sent,
              static_cast<int>(Sent(0x3B).size()) - (c.end == DownloadEnd::kBlockFailed));
    if (!c.message.empty()) {
      EXPECT_EQ(outcome->message, c.message);
    }
    if (!ws.boxes.empty() && c.end != DownloadEnd::kCancelled && c.end != DownloadEnd::kAborted) {
      EXPECT_EQ(outcome->message, ws.boxes.back().text);
    }
    EXPECT_EQ(outcome->confirmed(), c.end > DownloadEnd::kCancelled);
  }
  form->Command1.Enabled = false;
  EXPECT_FALSE(form->StartDownload());
}

TEST_F(MainFormTest, SelectAndProbeTargetsByNumber) {
  Use(OneDrive());
  Start();
  form->Scsi_Scan_Click();
  EXPECT_EQ(form->SelectTarget(1, 2), MainForm::Selection::kNoAdapter);
  EXPECT_EQ(form->SelectTarget(0, 3), MainForm::Selection::kNoTarget);
  EXPECT_EQ(form->SelectTarget(0, 2), MainForm::Selection::kOk);
  EXPECT_EQ(form->ComboID.Text().substr(0, 2), "2:");
  EXPECT_EQ(form->ProbeTarget(0, 2), std::nullopt);
  const auto why = form->ProbeTarget(0, 5);
  ASSERT_TRUE(why);
  EXPECT_EQ(*why, ErrMsg);
  EXPECT_EQ(SelectedTargetId, 2);  // the probe leaves the selection alone
}

}  // namespace
}  // namespace qx
