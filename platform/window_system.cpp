#include "platform/window_system.h"

namespace qx {

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
