// Windows' power status read as the power seam's state, and the sleep
// inhibitor's life.
#include "platform/power_windows.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using qx::os::PowerState;

SYSTEM_POWER_STATUS Status(BYTE ac, BYTE flag, BYTE percent) {
  SYSTEM_POWER_STATUS s{};
  s.ACLineStatus = ac;
  s.BatteryFlag = flag;
  s.BatteryLifePercent = percent;
  s.BatteryLifeTime = static_cast<DWORD>(-1);
  s.BatteryFullLifeTime = static_cast<DWORD>(-1);
  return s;
}

TEST(WindowsPowerStatus, Table) {
  const struct {
    const char* name;
    SYSTEM_POWER_STATUS status;
    PowerState want;
  } rows[] = {
      {"on battery, high", Status(0, 1, 80), {true, true, 80}},
      {"on battery, low", Status(0, 2, 22), {true, true, 22}},
      {"on battery, critical and charging bits", Status(0, 4 | 8, 3), {true, true, 3}},
      {"on battery, empty", Status(0, 4, 0), {true, true, 0}},
      {"on battery, charge unknown", Status(0, 1, 255), {true, true, -1}},
      {"on battery, flag unknown", Status(0, 255, 45), {true, true, 45}},
      {"on mains, charging", Status(1, 8, 57), {true, false, 57}},
      {"on mains, full", Status(1, 1, 100), {true, false, 100}},
      {"on mains, charge unknown", Status(1, 255, 255), {true, false, -1}},
      {"no battery", Status(1, 128, 255), {true, false, -1}},
      {"no battery, whatever the line says", Status(0, 128, 255), {true, false, -1}},
      {"no battery, line unknown", Status(255, 128, 255), {true, false, -1}},
      {"line unknown", Status(255, 1, 60), {false, false, -1}},
      {"nothing known", Status(255, 255, 255), {false, false, -1}},
      {"a line status Windows does not name", Status(2, 1, 60), {false, false, -1}},
      {"a charge above 100", Status(0, 1, 101), {true, true, -1}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const PowerState got = qx::os::PowerStateFromStatus(row.status);
    EXPECT_EQ(got.known, row.want.known);
    EXPECT_EQ(got.on_battery, row.want.on_battery);
    EXPECT_EQ(got.percent, row.want.percent);
  }
}

TEST(WindowsPowerStatus, ReadsWithoutFailing) {
  const PowerState state = qx::os::ReadPowerState();
  EXPECT_GE(state.percent, -1);
  EXPECT_LE(state.percent, 100);
}

// The inhibitor holds the state on a thread of its own, so it may be made on
// one thread and destroyed on another; a second one after it is held again.
TEST(WindowsSleepInhibitor, HeldUntilDestroyedFromAnyThread) {
  std::string unavailable = "stale";
  auto inhibitor = qx::os::InhibitSleep("qxflash", "writing firmware to a drive", &unavailable);
  ASSERT_NE(inhibitor, nullptr) << unavailable;
  EXPECT_EQ(unavailable, "");
  std::thread other([&] { inhibitor.reset(); });
  other.join();
  EXPECT_EQ(inhibitor, nullptr);
  auto again = qx::os::InhibitSleep("qxflash", "again", nullptr);
  EXPECT_NE(again, nullptr);
}

}  // namespace
