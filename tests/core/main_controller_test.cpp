// The main window's behaviour, once for both windows: what the controller
// publishes and asks of its view while the operator rescans, chooses,
// downloads, aborts, closes, and while stops arrive from outside.
#include "ui/main_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "aspi/manager.h"
#include "aspi/transport_state.h"
#include "tests/support/recording_window_system.h"
#include "transport/sim/sim_bus.h"
#include "ui/colours.h"

namespace qx {
namespace {

const std::string kReleases = std::string(QX_SOURCE_DIR) + "/examples/releases";

// Records what the controller shows and asks for.
struct FakeView : MainView {
  void Apply(const ViewState& s) override {
    states.push_back(s);
    for (const auto& a : s.announcements) said.push_back(a.text);
    if (s.focus) focus.push_back(*s.focus);
    if (on_apply) on_apply(s);
  }
  void PaintNow(ControlId id) override { painted.push_back(id); }
  void PostClose() override { ++closes; }
  void AnswerOpenBox() override { ++answered; }
  void ShowHistory(const std::string& path) override { histories.push_back(path); }
  void ReloadHistory() override { ++reloads; }

  const ViewState& Last() const { return states.back(); }
  std::vector<ViewState> states;
  std::vector<std::string> said;
  std::vector<ControlId> focus;
  std::vector<ControlId> painted;
  std::vector<std::string> histories;
  int closes = 0, answered = 0, reloads = 0;
  std::function<void(const ViewState&)> on_apply;
};

// A window system that can act while a box is open.
struct BoxWindowSystem : RecordingWindowSystem {
  int MsgBox(const std::string& text, int style, const std::string& title) override {
    if (on_box) on_box(text);
    return RecordingWindowSystem::MsgBox(text, style, title);
  }
  std::function<void(const std::string&)> on_box;
};

class MainControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    bus = sim::SimBus::BuiltIn();
    InstallAspiManager(bus);
    form.BlockPause = [] {};
    form.Form_Load();
    form.SetFirmwareDir(kReleases);
    controller.Attach(&view);
  }
  void TearDown() override {
    controller.Attach(nullptr);
    InstallAspiManager(nullptr);
    ResetProcessState();
  }
  // Rescans and chooses `file` in the file list.
  void Ready(const std::string& file = "QXR4410_ALL.OUB") {
    controller.Rescan();
    const auto& items = form.File1.Items();
    const auto it = std::find(items.begin(), items.end(), file);
    ASSERT_NE(it, items.end());
    controller.ChooseFile(static_cast<int>(it - items.begin()));
  }
  int Writes() const {
    int n = 0;
    for (const auto& e : bus->Log()) n += e.opcode() == 0x3B ? 1 : 0;
    return n;
  }

  BoxWindowSystem ws;
  ScopedWindowSystem scoped{&ws};
  std::shared_ptr<sim::SimBus> bus;
  MemorySettingsStore settings;
  MainForm form{settings};
  MainController controller{form, nullptr, "QX-R4410 Firmware Download", "Transport: sim",
                            &settings};
  FakeView view;
};

// Which controls take input while idle and while blocks go out, and where
// the keyboard focus goes at the start and the end of a download.
TEST_F(MainControllerTest, EnableAndFocusRulesFollowTheDownload) {
  Ready();
  struct Expect {
    ControlId id;
    bool idle, busy;
  };
  const Expect rules[] = {
      {ControlId::kTyusi, false, true},    {ControlId::kCommand1, true, false},
      {ControlId::kComboHA, true, false},  {ControlId::kComboID, true, false},
      {ControlId::kFile1, true, false},    {ControlId::kScsiScan, true, false},
      {ControlId::kSCSIMode, true, true},  {ControlId::kHistory, true, true},
      {ControlId::kProgress, false, true},
  };
  for (const auto& r : rules) EXPECT_EQ(view.Last()[r.id].enabled, r.idle) << ObjectName(r.id);
  std::optional<ViewState> busy;
  ws.on_do_events = [&](int n) {
    if (n == 2) busy = view.Last();
  };
  controller.Download();
  ASSERT_TRUE(busy);
  for (const auto& r : rules) EXPECT_EQ((*busy)[r.id].enabled, r.busy) << ObjectName(r.id);
  EXPECT_EQ((*busy)[ControlId::kText1].text, "Download Start !!");
  for (const auto& r : rules) EXPECT_EQ(view.Last()[r.id].enabled, r.idle) << ObjectName(r.id);
  EXPECT_EQ(view.focus, (std::vector{ControlId::kTyusi, ControlId::kFile1}));
  EXPECT_EQ(view.Last().progress.text, "16 / 16 blocks");
  EXPECT_EQ(view.reloads, 1);
}

// Abort or a stop from outside during a download: acknowledged at once
// (Abort disabled, the notice painted and said), the block in flight
// completes and no other goes; a stop then closes the window.
struct StopCase {
  const char* name;
  bool stop;
  const char* notice;
  int closes;
};
class MainControllerStopTest : public MainControllerTest,
                               public ::testing::WithParamInterface<StopCase> {};

TEST_P(MainControllerStopTest, AcknowledgedAtOnceAndSeenBeforeTheNextBlock) {
  const StopCase& c = GetParam();
  Ready();
  bus->ClearLog();
  std::optional<ViewState> acknowledged;
  ws.on_do_events = [&](int n) {
    if (n != 4) return;
    c.stop ? controller.StopRequested() : controller.Abort();
    acknowledged = view.Last();
  };
  controller.Download();
  ASSERT_TRUE(acknowledged);
  EXPECT_FALSE((*acknowledged)[ControlId::kTyusi].enabled);
  EXPECT_EQ((*acknowledged)[ControlId::kAbortNotice].text, c.notice);
  EXPECT_TRUE((*acknowledged)[ControlId::kAbortNotice].visible);
  EXPECT_NE(std::find(view.painted.begin(), view.painted.end(), ControlId::kAbortNotice),
            view.painted.end());
  EXPECT_EQ(Writes(), 3);
  EXPECT_EQ(view.Last()[ControlId::kText1].text, "Abort By User");
  EXPECT_FALSE(view.Last()[ControlId::kAbortNotice].visible);
  EXPECT_EQ(view.closes, c.closes);
  EXPECT_NE(std::find(view.said.begin(), view.said.end(), c.notice), view.said.end());
  ASSERT_FALSE(view.said.empty());
  EXPECT_EQ(view.said.back().rfind("Download aborted before block 3: 3 of 16 blocks sent", 0), 0u)
      << view.said.back();
}

INSTANTIATE_TEST_SUITE_P(Stops, MainControllerStopTest,
                         ::testing::Values(StopCase{"Abort", false, MainController::kAbortText, 0},
                                           StopCase{"stop", true, MainController::kStopText, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// Closing the window: at once when idle (the selection saved), refused with
// a note while blocks go out, put off while a box is open. A stop while a
// box is open answers it and closes once the handler has returned.
TEST_F(MainControllerTest, CloseAndStopWaitForTheHandlers) {
  Ready();
  std::vector<bool> during_download;
  ws.on_do_events = [&](int n) {
    if (n <= 2) during_download.push_back(controller.CloseRequested());
  };
  controller.Download();
  EXPECT_EQ(during_download, (std::vector<bool>{false, false}));
  const std::string notes = view.Last()[ControlId::kNotes].text;
  EXPECT_EQ(notes.find(MainController::kCloseRefusedText),
            notes.rfind(MainController::kCloseRefusedText))
      << "said once: " << notes;
  EXPECT_TRUE(settings.values.empty());

  ws.on_do_events = nullptr;
  std::optional<bool> in_box;
  ws.on_box = [&](const std::string&) {
    if (!in_box) in_box = controller.CloseRequested();
  };
  ws.answers = {kAnswerCancel};
  controller.Download();
  EXPECT_EQ(in_box, false);
  EXPECT_EQ(view.closes, 1) << "closed once the confirmation was answered";

  ws.on_box = [&](const std::string&) { controller.StopRequested(); };
  ws.answers = {kAnswerCancel};
  controller.Download();
  EXPECT_EQ(view.answered, 1);
  EXPECT_EQ(view.closes, 2);

  ws.on_box = nullptr;
  controller.StopRequested();
  EXPECT_EQ(view.closes, 3);
  EXPECT_TRUE(controller.CloseRequested());
  EXPECT_EQ(settings.values.size(), 2u);
  EXPECT_FALSE(controller.CloseRequested()) << "closed already";
}

// The summary of the chosen release follows the file and the target, is made
// between handlers only, and says in its role whether the download would go.
TEST_F(MainControllerTest, ReleaseSummaryFollowsTheChoice) {
  struct Case {
    const char* file;
    const char* starts;
    Role role;
  };
  const Case cases[] = {
      {"QXR4410_A0.OUB", "Area 0: blocks 0-1 (2 of 16)", Role::kGood},
      {"BAD_CHECKSUM.OUB", "Download would stop: \"File CheckSum Error\"", Role::kError},
      {"BAD_NOIMAGE.OUB", "Download would stop:", Role::kError},
  };
  controller.Rescan();
  for (const auto& c : cases) {
    Ready(c.file);
    const ControlState& summary = view.Last()[ControlId::kReleaseSummary];
    EXPECT_EQ(summary.text.rfind(c.starts, 0), 0u) << summary.text;
    EXPECT_EQ(summary.role, c.role) << c.file;
    EXPECT_TRUE(summary.visible);
  }
  EXPECT_TRUE(bus->Log().empty() || Writes() == 0);
  // A finished download's count goes with the next choice.
  Ready("QXR4410_A2.OUB");
  controller.Download();
  EXPECT_EQ(view.Last().progress.text, "1 / 1 blocks");
  Ready("QXR4410_A0.OUB");
  EXPECT_EQ(view.Last().progress.text, "");
}

// What a screen reader hears: each new status line once, the wait line from
// the first second on, and an internal error as a box instead of a crash.
TEST_F(MainControllerTest, StatusWaitAndInternalErrors) {
  controller.Rescan();
  EXPECT_EQ(view.said, (std::vector<std::string>{"SCSI Rescan Executing", "SCSI Rescan Complete"}));
  const uint8_t cdb[6] = {0x12};
  const size_t applied = view.states.size();
  controller.Waiting({"Inquiry", cdb, std::chrono::milliseconds(400)});
  EXPECT_EQ(view.states.size(), applied);
  controller.Waiting({"Inquiry", cdb, std::chrono::milliseconds(2100)});
  EXPECT_EQ(view.Last()[ControlId::kWaitInfo].text, "Inquiry \u2013 2 s");
  controller.WaitEnded();
  EXPECT_EQ(view.Last()[ControlId::kWaitInfo].text, "");

  form.ComboHA.Click = [] { throw std::runtime_error("boom"); };
  controller.ChooseAdapter(0);
  ASSERT_FALSE(ws.boxes.empty());
  EXPECT_EQ(ws.boxes.back().text, "Internal error: boom");
  EXPECT_EQ(ws.boxes.back().style, kStyleCritical);
  EXPECT_TRUE(controller.CloseRequested()) << "no handler is left counted";
}

// A release from another folder is listed and chosen there as a click would
// choose it, and its folder remembered; anything else changes nothing but a
// note.
TEST_F(MainControllerTest, OpenReleaseFromAnotherFolder) {
  const std::filesystem::path other =
      std::filesystem::temp_directory_path() /
      ("qx-open-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(other);
  for (const char* f : {"QXR4410_A0.OUB", "QXR4410_A0.bin"}) {
    std::filesystem::copy_file(kReleases + "/" + f, other / f,
                               std::filesystem::copy_options::overwrite_existing);
  }
  std::ofstream(other / "notes.txt") << "not a release";
  Ready("QXR4410_ALL.OUB");
  struct Case {
    std::string path;
    const char* chosen;  // Label4 afterwards
    const char* note;    // the note's start, "" for none
  };
  const Case cases[] = {
      {(other / "notes.txt").string(), "QXR4410_ALL.OUB", "Not a release: "},
      {(other / "MISSING.OUB").string(), "QXR4410_ALL.OUB", "Cannot open the release "},
      {(other / "QXR4410_A0.OUB").string(), "QXR4410_A0.OUB", ""},
  };
  for (const auto& c : cases) {
    view.said.clear();
    controller.OpenRelease(c.path);
    EXPECT_EQ(form.Label4.Caption, c.chosen) << c.path;
    const std::string& notes = view.Last()[ControlId::kNotes].text;
    if (*c.note != 0) {
      EXPECT_NE(notes.find(c.note), std::string::npos) << notes;
    }
  }
  EXPECT_EQ(view.Last().files.items, (std::vector<std::string>{"QXR4410_A0.OUB"}));
  EXPECT_EQ(view.Last().files.index, 0);
  EXPECT_EQ(view.Last()[ControlId::kReleaseSummary].role, Role::kGood);
  EXPECT_EQ(MainController::RememberedFolder(settings), other.string());
  std::filesystem::remove_all(other);
  EXPECT_EQ(MainController::RememberedFolder(settings), "") << "a folder that went";
}

// "Check Drive and Release" rehearses the download without a question and
// without a write, and says in the notes what the download would do.
TEST_F(MainControllerTest, CheckDriveSaysWhatTheDownloadWouldDo) {
  Ready();
  ASSERT_TRUE(view.Last()[ControlId::kCheckDrive].enabled);
  const size_t boxes = ws.boxes.size();
  controller.CheckDrive();
  EXPECT_EQ(ws.boxes.size(), boxes);
  EXPECT_EQ(Writes(), 0);
  const ControlState& notes = view.Last()[ControlId::kNotes];
  EXPECT_NE(notes.text.find("Dry run of QXR4410_ALL.OUB on the drive at"), std::string::npos)
      << notes.text;
  EXPECT_NE(notes.text.find("the download would start"), std::string::npos);
  EXPECT_NE(notes.text.find("State word 0x1234 at 0x7FE0"), std::string::npos);
  // A rescan starts the notes afresh.
  controller.Rescan();
  EXPECT_EQ(view.Last()[ControlId::kNotes].text.find("Dry run"), std::string::npos);
}

// A bus that refused devices for want of rights (the SCSI pass-through of a
// program that is not elevated), otherwise the simulated one.
struct RefusingBus final : AspiManager {
  explicit RefusingBus(std::shared_ptr<sim::SimBus> bus, bool denied)
      : bus(std::move(bus)), denied(denied) {}
  uint32_t GetASPI32SupportInfo() override { return bus->GetASPI32SupportInfo(); }
  int32_t BCSendASPI32Command(void* srb, uint8_t* buffer) override {
    return bus->BCSendASPI32Command(srb, buffer);
  }
  void Cancel(void* srb) override { bus->Cancel(srb); }
  const char* Name() const override { return "refusing bus"; }
  bool AccessDenied() const override { return denied; }
  std::shared_ptr<sim::SimBus> bus;
  bool denied;
};

// The restart with an administrator's rights is offered only after a scan
// that was refused drives for them, and only where the window can start it;
// it carries the chosen release and drive, and closes this window only when
// the new one started.
TEST_F(MainControllerTest, RestartAsAdministratorAfterARefusedScan) {
  struct Case {
    const char* name;
    bool denied, seam, started;
    bool offered;
    int closes;
    const char* note;  // "" for none
  };
  const Case cases[] = {
      {"drives not refused", false, true, true, false, 0, ""},
      {"no way to restart", true, false, true, false, 0, ""},
      {"restarted", true, true, true, true, 1, ""},
      {"declined", true, true, false, true, 0, "was not started as administrator"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallAspiManager(std::make_shared<RefusingBus>(bus, c.denied));
    std::vector<std::vector<std::string>> calls;
    controller.restart_elevated = nullptr;
    if (c.seam) {
      controller.restart_elevated = [&](const std::vector<std::string>& args) {
        calls.push_back(args);
        return c.started;
      };
    }
    Ready("QXR4410_A0.OUB");
    EXPECT_EQ(view.Last()[ControlId::kRestartElevated].visible, c.offered);
    EXPECT_EQ(view.Last()[ControlId::kRestartElevated].text, "Restart as Administrator");
    view.closes = 0;
    controller.RestartElevated();
    EXPECT_EQ(calls.size(), c.offered ? 1u : 0u);
    EXPECT_EQ(view.closes, c.closes);
    if (*c.note != 0) {
      EXPECT_NE(view.Last()[ControlId::kNotes].text.find(c.note), std::string::npos);
    }
    if (!calls.empty()) {
      const std::string release = (std::filesystem::path(kReleases) / "QXR4410_A0.OUB").string();
      EXPECT_EQ(calls.front(),
                (std::vector<std::string>{"--drives", release, "--ha", std::to_string(SelectedHaId),
                                          "--id", std::to_string(SelectedTargetId)}));
    }
  }
}

// Without a release chosen the restart names the folder; the drive asked
// for at start is scanned for and chosen once the window shows.
TEST_F(MainControllerTest, RestartArgumentsAndTheDriveChosenAtStart) {
  EXPECT_EQ(controller.ElevatedRestartArguments(),
            (std::vector<std::string>{"--drives", "--dir", form.FirmwareDir}));
  controller.ChooseDriveWhenShown(2, 1);
  EXPECT_TRUE(view.Last().adapters.items.empty()) << "nothing scanned before the window shows";
  controller.WindowShown();
  ASSERT_GE(view.Last().targets.index, 0);
  EXPECT_EQ(view.Last().adapters.items[view.Last().adapters.index].rfind("2:", 0), 0u);
  EXPECT_EQ(view.Last().targets.items[view.Last().targets.index].rfind("1:", 0), 0u);
  EXPECT_EQ(SelectedHaId, 2);
  EXPECT_EQ(SelectedTargetId, 1);
  const auto args = controller.ElevatedRestartArguments();
  EXPECT_EQ(std::vector<std::string>(args.end() - 4, args.end()),
            (std::vector<std::string>{"--ha", "2", "--id", "1"}));
}

// Every part of the window has a name a screen reader can speak, and the
// access keys of one level differ.
TEST_F(MainControllerTest, EveryControlIsNamed) {
  Ready();
  for (size_t i = 0; i < kControlCount; ++i) {
    EXPECT_FALSE(view.Last().controls[i].name.empty()) << ObjectName(static_cast<ControlId>(i));
  }
  EXPECT_EQ(WithAccessKey("SCSI Rescan", 'R'), "SCSI &Rescan");
  EXPECT_EQ(WithAccessKey("History", 't'), "His&tory");
  EXPECT_EQ(WithAccessKey("A & B", 'B'), "A && &B");
  EXPECT_EQ(WithAccessKey("HA", 0), "HA");
}

TEST(OutcomeLine, SaysHowAConfirmedDownloadEnded) {
  struct Case {
    DownloadEnd end;
    bool confirmed;
    int block, sent;
    const char* line;  // "" for none
  };
  const Case cases[] = {
      {DownloadEnd::kDone, true, -1, 16,
       "Download finished: 16 of 16 blocks sent to D. Wait until all LEDs of the drive are off, "
       "then switch the drive and the PC off."},
      {DownloadEnd::kAborted, true, 3, 3,
       "Download aborted before block 3: 3 of 16 blocks sent to D. Download the release again "
       "before switching the drive off."},
      {DownloadEnd::kAborted, true, -1, 0, "Download aborted: no firmware block was sent to D."},
      {DownloadEnd::kBlockFailed, true, 5, 5,
       "Download failed at block 5: 5 of 16 blocks sent to D. Download the release again before "
       "switching the drive off."},
      {DownloadEnd::kRefused, true, -1, 0,
       "Download not started: nothing was sent to the drive (why)."},
      {DownloadEnd::kRefused, false, -1, 0, ""},
      {DownloadEnd::kCancelled, false, -1, 0, ""},
  };
  for (const auto& c : cases) {
    DownloadOutcome o;
    o.end = c.end;
    o.was_confirmed = c.confirmed;
    o.block = c.block;
    o.blocks_sent = c.sent;
    o.blocks_planned = 16;
    o.message = "why";
    EXPECT_EQ(OutcomeLine(o, "D").value_or(""), c.line) << ToString(c.end);
  }
}

TEST(Colours, EveryRoleReadsOnLightAndDarkBackgrounds) {
  const Rgb backgrounds[] = {{255, 255, 255}, {239, 239, 239}, {190, 190, 190}, {128, 128, 128},
                             {118, 118, 118}, {53, 53, 53},    {43, 43, 43},    {0, 0, 0}};
  for (const Rgb& back : backgrounds) {
    for (Role role : {Role::kPlain, Role::kInfo, Role::kGood, Role::kWarning, Role::kError}) {
      const Rgb text = RoleColour(role, back);
      EXPECT_GE(ContrastRatio(text, back), 4.5) << int(back.r) << " role " << int(role);
      const Rgb panel = NoticeBackground(role, back);
      EXPECT_GE(ContrastRatio(RoleColour(role, panel), panel), 4.5) << int(back.r);
    }
  }
  EXPECT_NEAR(ContrastRatio({0, 0, 0}, {255, 255, 255}), 21.0, 1e-9);
}

}  // namespace
}  // namespace qx
