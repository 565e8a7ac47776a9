#include "app/cli_console.h"

#include <iostream>
#include <nlohmann/json.hpp>

#include "app/cli_stop.h"
#include "platform/os.h"
#include "text/text.h"

namespace qx::cli {

int ConsoleWindowSystem::MsgBox(const std::string& text, int style, const std::string& title) {
  int answer = kAnswerOk;
  if (style == kStyleQuestion) answer = Confirm(text, title);
  reporter_.Box(text, style, title, answer);
  return answer;
}

void ConsoleWindowSystem::KeepAlive(const CommandWait& wait) {
  PollStop();
  const long long secs = wait.elapsed.count() / 1000;
  if (secs < 1 || secs == last_secs_) return;
  last_secs_ = secs;
  if (reporter_.json()) {
    reporter_.Json(
        {{"event", "waiting"}, {"command", TrimTrailingSpaces(wait.command)}, {"seconds", secs}});
  } else if (reporter_.live()) {
    reporter_.Live(DescribeWait(wait));
  }
}

void ConsoleWindowSystem::WaitEnded() {
  reporter_.EndLive();
  last_secs_ = 0;
}

void ConsoleWindowSystem::PollStop() {
  if ((PendingStop() != 0 || reporter_.failed()) && on_stop) on_stop();
}

int ConsoleWindowSystem::Confirm(const std::string& text, const std::string& title) {
  if (confirm_ == Options::Confirm::kYes) return kAnswerOk;
  if (confirm_ == Options::Confirm::kNo) return kAnswerCancel;
  if (!os::StdinIsTerminal()) {
    err_ << "qxflash: \"" << Printable(text)
         << "\" needs a confirmation and there is no terminal to ask; "
            "answering Cancel (use --yes to confirm)\n";
    return kAnswerCancel;
  }
  err_ << Printable(title) << ": " << Printable(text) << " [y/N] " << std::flush;
  std::string reply;
  if (!std::getline(std::cin, reply)) return kAnswerCancel;
  return (reply == "y" || reply == "Y" || reply == "yes") ? kAnswerOk : kAnswerCancel;
}

}  // namespace qx::cli
