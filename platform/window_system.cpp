#include "platform/window_system.h"

#include <sstream>

namespace qx {

std::string DescribeWait(const CommandWait& wait) {
  // Builder names carry padding ("WriteBuffer  15 "): one blank between words.
  std::istringstream words{std::string(wait.command)};
  std::string text;
  std::string last;
  for (std::string word; words >> word; last = word) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  if (wait.cdb.size() >= 3 && wait.cdb[0] == 0x3B) {
    const std::string id = std::to_string(wait.cdb[2]);
    if (last != id) text += (text.empty() ? "" : " ") + id;
    switch (wait.cdb[1] & 0x1F) {
      case 4:
        text += " (block)";
        break;
      case 5:
        text += " (saving)";
        break;
      default:
        text += " (mode " + std::to_string(wait.cdb[1] & 0x1F) + ")";
        break;
    }
  }
  if (text.empty()) text = "Command";
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait.elapsed).count();
  return text + " \u2013 " + std::to_string(seconds < 0 ? 0 : seconds) + " s";
}

const char* ControlName(Paint what) {
  return what == Paint::kStatusLine ? "Text1" : "ASPI_Ret";
}

int HeadlessWindowSystem::MsgBox(const std::string&, int style, const std::string&) {
  return style == kStyleQuestion ? kAnswerCancel : kAnswerOk;
}

namespace {
HeadlessWindowSystem g_headless;
WindowSystem* g_installed = &g_headless;
}  // namespace

WindowSystem& Ui() {
  return *g_installed;
}

void InstallWindowSystem(WindowSystem* ws) {
  g_installed = ws ? ws : &g_headless;
}

}  // namespace qx
