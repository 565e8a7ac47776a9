// The power seam on Windows: the machine kept from sleeping with
// SetThreadExecutionState, and the battery from GetSystemPowerStatus.
//
// An execution state belongs to the thread that sets it and lasts until that
// thread sets another or ends. So the state is held by a thread of the
// inhibitor's own, which sets it, waits until the inhibitor goes, and gives it
// back: whichever thread makes or destroys the inhibitor, the state is the
// inhibitor's alone, and the state of the caller's thread (the window's, where
// the download runs) is never touched.
#include "platform/power_windows.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

namespace qx::os {

namespace {

// The system stays awake; where the power policy allows away mode, a sleep the
// user asks for (lid, sleep key, Start menu) becomes away mode instead.
constexpr EXECUTION_STATE kAwake = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_AWAYMODE_REQUIRED;
// Without away mode, for systems that refuse it.
constexpr EXECUTION_STATE kAwakeNoAwayMode = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;

class ExecutionStateHold final : public SleepInhibitor {
 public:
  ExecutionStateHold() = default;
  ~ExecutionStateHold() override {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Starts the holding thread; false when it could not start or the system
  // refused the state.
  bool Start() {
    std::promise<bool> set;
    std::future<bool> was_set = set.get_future();
    try {
      // The promise lives on the thread: it is still in use there when the
      // answer wakes this one.
      thread_ = std::thread([this, set = std::move(set)]() mutable { Hold(set); });
    } catch (const std::system_error&) {
      return false;
    }
    return was_set.get();
  }

 private:
  void Hold(std::promise<bool>& set) {
    EXECUTION_STATE before = SetThreadExecutionState(kAwake);
    if (before == 0) before = SetThreadExecutionState(kAwakeNoAwayMode);
    set.set_value(before != 0);
    if (before == 0) return;
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return done_; });
    lock.unlock();
    SetThreadExecutionState(ES_CONTINUOUS);
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<SleepInhibitor> InhibitSleep(const std::string& /*who*/, const std::string& /*why*/,
                                             std::string* unavailable) {
  // SetThreadExecutionState takes no names: who and why are not shown.
  auto hold = std::make_unique<ExecutionStateHold>();
  if (!hold->Start()) {
    if (unavailable != nullptr) {
      *unavailable =
          "the system's sleep could not be held off (Windows refused SetThreadExecutionState): "
          "keep the machine awake and on mains power yourself";
    }
    return nullptr;
  }
  if (unavailable != nullptr) unavailable->clear();
  return hold;
}

PowerState PowerStateFromStatus(const SYSTEM_POWER_STATUS& status) {
  constexpr BYTE kUnknown = 255;
  constexpr BYTE kNoBattery = 128;
  PowerState state;
  if (status.BatteryFlag != kUnknown && (status.BatteryFlag & kNoBattery) != 0) {
    state.known = true;  // on mains: there is nothing else to run on
    return state;
  }
  if (status.ACLineStatus != 0 && status.ACLineStatus != 1) return state;
  state.known = true;
  state.on_battery = status.ACLineStatus == 0;
  if (status.BatteryLifePercent <= 100) state.percent = status.BatteryLifePercent;
  return state;
}

PowerState ReadPowerState() {
  SYSTEM_POWER_STATUS status{};
  if (!GetSystemPowerStatus(&status)) return {};
  return PowerStateFromStatus(status);
}

}  // namespace qx::os
