// A scripted window system for tests and benchmarks: records every call and
// answers message boxes from a queue (OK when the queue is empty).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/window_system.h"

namespace qx {

struct RecordedBox {
  std::string text;
  int style = 0;
  std::string title;
  int answer = 0;
};

class RecordingWindowSystem : public WindowSystem {
 public:
  int MsgBox(const std::string& text, int style, const std::string& title) override {
    int answer = kAnswerOk;
    if (!answers.empty()) {
      answer = answers.front();
      answers.pop_front();
    }
    boxes.push_back({text, style, title, answer});
    events.push_back("msgbox");
    return answer;
  }
  void DoEvents() override {
    ++do_events_calls;
    events.push_back("doevents");
    if (on_do_events) on_do_events(do_events_calls);
  }
  void SetMousePointer(int pointer) override {
    pointers.push_back(pointer);
    events.push_back("pointer");
  }
  void Refresh(Paint what) override {
    refreshed.emplace_back(ControlName(what));
    events.push_back("refresh");
  }
  void KeepAlive(const CommandWait& wait) override {
    waits.push_back({std::string(wait.command), wait.elapsed});
  }
  void WaitEnded() override { ++wait_ended_calls; }
  void DeliverStops() override {
    ++deliver_stops_calls;
    if (on_deliver_stops) on_deliver_stops(deliver_stops_calls);
  }

  std::deque<int> answers;                    // scripted answers, oldest first
  std::function<void(int)> on_do_events;      // called with the running count
  std::function<void(int)> on_deliver_stops;  // where a stop from outside would arrive
  int deliver_stops_calls = 0;
  std::vector<RecordedBox> boxes;
  std::vector<int> pointers;
  std::vector<std::string> refreshed;
  std::vector<std::string> events;
  int do_events_calls = 0;
  // Every KeepAlive call: the command waited for and the time waited so far.
  // Not in `events`: how many there are depends on the drive's speed.
  struct Wait {
    std::string command;
    std::chrono::milliseconds elapsed;
  };
  std::vector<Wait> waits;
  int wait_ended_calls = 0;
};

// Installs a window system for the lifetime of a scope.
class ScopedWindowSystem {
 public:
  explicit ScopedWindowSystem(WindowSystem* ws) { InstallWindowSystem(ws); }
  ~ScopedWindowSystem() { InstallWindowSystem(nullptr); }
  ScopedWindowSystem(const ScopedWindowSystem&) = delete;
  ScopedWindowSystem& operator=(const ScopedWindowSystem&) = delete;
};

}  // namespace qx
