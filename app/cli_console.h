// The window system of the command line: message boxes are printed and
// answered by policy (the confirmation asks on a terminal), waits show as a
// live line or `waiting` events, and a stop request or a broken output
// becomes an abort request at the next poll.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "app/cli.h"
#include "app/cli_output.h"
#include "platform/window_system.h"

namespace qx::cli {

class ConsoleWindowSystem : public WindowSystem {
 public:
  ConsoleWindowSystem(Reporter& reporter, std::ostream& err, Options::Confirm confirm)
      : reporter_(reporter), err_(err), confirm_(confirm) {}

  int MsgBox(const std::string& text, int style, const std::string& title) override;
  void DoEvents() override { PollStop(); }
  void SetMousePointer(int) override {}
  void Refresh(Paint) override {}
  // After a second of waiting: a live line on a terminal, a `waiting` event
  // about once a second with --json, nothing on a plain pipe.
  void KeepAlive(const CommandWait& wait) override;
  void WaitEnded() override;
  void DeliverStops() override { PollStop(); }

  // Called at a poll when a stop was requested or the output broke.
  std::function<void()> on_stop;

 private:
  void PollStop();
  int Confirm(const std::string& text, const std::string& title);

  Reporter& reporter_;
  std::ostream& err_;
  Options::Confirm confirm_;
  long long last_secs_ = 0;
};

}  // namespace qx::cli
