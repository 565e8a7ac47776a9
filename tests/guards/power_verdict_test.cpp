// JudgePower: what the power state means for a download.
#include <gtest/gtest.h>

#include <string>

#include "platform/power.h"

namespace {

using qx::os::JudgePower;
using qx::os::PowerState;

struct Row {
  const char* name;
  PowerState state;
  const char* refusal;  // nullptr: none
  const char* note;     // nullptr: none
};

const Row kRows[] = {
    {"nothing known", {false, false, -1}, nullptr, nullptr},
    {"unknown, whatever the fields say", {false, true, 5}, nullptr, nullptr},
    {"mains, no battery", {true, false, -1}, nullptr, nullptr},
    {"mains, battery nearly empty", {true, false, 3}, nullptr, nullptr},
    {"battery empty",
     {true, true, 0},
     "The battery is at 0 %: connect the charger before writing firmware (at least 30 % on "
     "battery).",
     nullptr},
    {"battery at 22 %",
     {true, true, 22},
     "The battery is at 22 %: connect the charger before writing firmware (at least 30 % on "
     "battery).",
     nullptr},
    {"battery one short of the least",
     {true, true, 29},
     "The battery is at 29 %: connect the charger before writing firmware (at least 30 % on "
     "battery).",
     nullptr},
    {"battery at the least", {true, true, 30}, nullptr, "The machine runs on battery (30 %)."},
    {"battery at 64 %", {true, true, 64}, nullptr, "The machine runs on battery (64 %)."},
    {"battery full", {true, true, 100}, nullptr, "The machine runs on battery (100 %)."},
    {"battery, charge unknown",
     {true, true, -1},
     nullptr,
     "The machine runs on battery (charge unknown): connect the charger to be safe."},
    {"asked, but no answer",
     {false, false, -1, "no UPower on the system bus"},
     nullptr,
     "The power supply is not known (no UPower on the system bus): make sure the machine runs "
     "on mains power."},
};

TEST(JudgePower, Table) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    const qx::os::PowerVerdict verdict = JudgePower(row.state);
    EXPECT_EQ(verdict.refusal.value_or("(none)"), row.refusal ? row.refusal : "(none)");
    EXPECT_EQ(verdict.note.value_or("(none)"), row.note ? row.note : "(none)");
  }
}

TEST(JudgePower, TheLeastIsThirtyPercent) {
  EXPECT_EQ(qx::os::kMinBatteryPercent, 30);
  // Every charge below refuses, every charge from it on lets the download start.
  for (int percent = 0; percent <= 100; ++percent) {
    SCOPED_TRACE(percent);
    const qx::os::PowerVerdict verdict = JudgePower({true, true, percent});
    EXPECT_EQ(verdict.refusal.has_value(), percent < qx::os::kMinBatteryPercent);
    EXPECT_NE(verdict.refusal.has_value(), verdict.note.has_value());
  }
}

}  // namespace
