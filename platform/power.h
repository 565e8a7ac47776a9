// The OS seam for the machine's power while firmware goes out: holding off
// sleep and shutdown, and reading whether the machine runs on battery. A
// download cut short by a suspended laptop or an empty battery leaves the
// drive without working firmware. One implementation file per system:
// power_linux.cpp (logind and UPower on the system bus), power_windows.cpp
// (the execution state and GetSystemPowerStatus), power_none.cpp (systems
// with neither: nothing is held, nothing is known).
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qx::os {

// ---------------------------------------------------------------------------
// Sleep and shutdown held off.

// Held while it lives: the system does not sleep or shut down (idle timer,
// lid, power or suspend key, a request from the desktop) until the object is
// destroyed. Not passed on to child processes. On Windows it holds off the
// idle sleep, and a sleep the user asks for only where the power policy allows
// away mode (the machine then keeps running with the screen dark); a shutdown
// reaches the program as a stop request (os::HandleStops) instead.
class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

 protected:
  SleepInhibitor() = default;
};

// Asks the system to hold off sleep and shutdown; `who` names the program
// ("qxflash"), `why` the job ("writing firmware to ..."), both UTF-8 and shown
// to the user by the system (a byte that is not UTF-8 shows as U+FFFD). Where
// the system cannot be asked or refuses (no service for it, a container, no
// permission, no answer within about two seconds), returns nullptr and sets
// *unavailable (when given) to one line saying so and what the operator must
// do instead. Never waits longer than that.
std::unique_ptr<SleepInhibitor> InhibitSleep(const std::string& who, const std::string& why,
                                             std::string* unavailable);

// ---------------------------------------------------------------------------
// Battery.

// What the system says about its power supply. `known` is false where it
// cannot say (no power service, no answer within about two seconds);
// `percent` is the battery's charge rounded down (0..100), -1 without a
// battery or where unknown.
struct PowerState {
  bool known = false;
  bool on_battery = false;
  int percent = -1;
  // Not known although the system was asked: why, in a few words ("UPower
  // answered OnBattery with a string"). Empty where there was nobody to ask.
  std::string unknown_why = {};
};
// Never fails: what cannot be read is left unknown.
PowerState ReadPowerState();

// The least charge a download may start with while the machine runs on battery.
inline constexpr int kMinBatteryPercent = 30;

// What the power state means for a download: a refusal (too little charge on
// battery: the download must not start) or a note for the operator (on
// battery with enough charge; unknown although the system was asked), or
// neither (on mains, no battery, nobody to ask).
struct PowerVerdict {
  std::optional<std::string> refusal;
  std::optional<std::string> note;
};
inline PowerVerdict JudgePower(const PowerState& state) {
  PowerVerdict verdict;
  if (!state.known && !state.unknown_why.empty()) {
    verdict.note = "The power supply is not known (" + state.unknown_why +
                   "): make sure the machine runs on mains power.";
  }
  if (!state.known || !state.on_battery) return verdict;
  if (state.percent < 0) {
    verdict.note = "The machine runs on battery (charge unknown): connect the charger to be safe.";
  } else if (state.percent < kMinBatteryPercent) {
    verdict.refusal = "The battery is at " + std::to_string(state.percent) +
                      " %: connect the charger before writing firmware (at least " +
                      std::to_string(kMinBatteryPercent) + " % on battery).";
  } else {
    verdict.note = "The machine runs on battery (" + std::to_string(state.percent) + " %).";
  }
  return verdict;
}

}  // namespace qx::os
