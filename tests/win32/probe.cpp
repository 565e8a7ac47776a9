// Reads the Win32 windows of a running qxflash from outside, the way an
// automation tool does: it finds them by class, walks their children and
// reads each with ordinary window messages (WM_GETTEXT, CB_GETLBTEXT,
// LB_GETTEXT, ...), which the system carries across processes. It sends no
// input; the tests click with xdotool at the screen positions it reports.
//
//   win32_probe dump                     every window and control, one per line
//   win32_probe wait MS TEXT [TEXT...]   waits up to MS milliseconds for a line
//                                        that holds every TEXT, prints it; exit 1
//                                        when none came
//   win32_probe session-end              sends WM_QUERYENDSESSION to the main
//                                        window, prints its answer and the reason
//                                        it gave the system for a refusal
//   win32_probe close                    posts WM_CLOSE to the main window
//   win32_probe names                    the name a screen reader gives each control of
//                                        the main window (the name the window gave the
//                                        system's annotation service, which it also
//                                        keeps in a window property; else accName):
//                                        `accessible name=N text="T"` per control
//   win32_probe drop PATH                drops the file PATH on the main window, as
//                                        Explorer does (WM_DROPFILES)
//   win32_probe listen MS                for MS milliseconds, what a screen reader is
//                                        told of the program's controls: one line
//                                        `event=name|description|value control=N text="T"`
//                                        per name, description or value change
//
// Lines: `window class=C title="T" rect=L,T,R,B visible=V enabled=E` for each
// top-level window of the program's classes and each message box (#32770),
// then `control name=N id=I class=C text="T" rect=... visible=V enabled=E`
// for its children (` focused=1` on the one with the keyboard focus), combo and list boxes with
// `count=N sel=S items="A|B"` (list boxes then ` top=T shown=V`: the first row in view and
// how many rows show), progress bars with `pos=P max=M`, list views with `rows=N`. Texts
// are UTF-8 with \r, \n, \t, \\, \" and \| escaped; rectangles are screen pixels.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <oleacc.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui/win32/control_ids.h"

namespace {

constexpr UINT kTimeoutMs = 2000;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string Escaped(const std::wstring& text) {
  std::string out;
  for (char c : Utf8(text)) {
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '|':
        out += "\\|";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

LRESULT Ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, kTimeoutMs,
                           &result)) {
    return -1;
  }
  return static_cast<LRESULT>(result);
}

std::wstring ClassOf(HWND window);

std::wstring Text(HWND window) {
  // Statics, buttons and top-level windows keep their text with the system,
  // which gives it without a message to their busy thread (a thread waiting
  // for the drive answers messages only between its 16 ms checks).
  const std::wstring window_class = ClassOf(window);
  if (window_class == L"Static" || window_class == L"Button" || GetParent(window) == nullptr) {
    wchar_t text[2048] = {};
    const int n = GetWindowTextW(window, text, 2048);
    return std::wstring(text, n > 0 ? static_cast<size_t>(n) : 0);
  }
  const LRESULT n = Ask(window, WM_GETTEXTLENGTH, 0, 0);
  if (n <= 0) return {};
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  const LRESULT got = Ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::string Rect(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  char text[64];
  std::snprintf(text, sizeof text, "%ld,%ld,%ld,%ld", r.left, r.top, r.right, r.bottom);
  return text;
}

// The items of a combo box or list box.
std::string Items(HWND window, bool combo) {
  const LRESULT count = Ask(window, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0);
  const LRESULT selection = Ask(window, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0);
  std::string out =
      " count=" + std::to_string(count) + " sel=" + std::to_string(selection) + " items=\"";
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT n = Ask(window, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, i, 0);
    std::wstring item(n > 0 ? static_cast<size_t>(n) + 1 : 1, L'\0');
    Ask(window, combo ? CB_GETLBTEXT : LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()));
    item.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (i > 0) out += "|";
    out += Escaped(item);
  }
  return out + "\"";
}

void DescribeControl(HWND control, std::vector<std::string>& lines) {
  const int id = GetDlgCtrlID(control);
  const char* name = qx::win32::ControlNameOf(id);
  const std::wstring window_class = ClassOf(control);
  std::string line = "control name=" + std::string(name != nullptr ? name : "-") +
                     " id=" + std::to_string(id) + " class=" + Utf8(window_class) + " text=\"" +
                     Escaped(Text(control)) + "\" rect=" + Rect(control) +
                     " visible=" + (IsWindowVisible(control) ? "1" : "0") +
                     " enabled=" + (IsWindowEnabled(control) ? "1" : "0");
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(control, nullptr), &thread) &&
      thread.hwndFocus == control) {
    line += " focused=1";
  }
  if (window_class == L"ComboBox") line += Items(control, true);
  if (window_class == L"ListBox") {
    RECT client{};
    GetClientRect(control, &client);
    const LRESULT row = Ask(control, LB_GETITEMHEIGHT, 0, 0);
    line += Items(control, false) + " top=" + std::to_string(Ask(control, LB_GETTOPINDEX, 0, 0)) +
            " shown=" + std::to_string(row > 0 ? client.bottom / row : 0);
  }
  if (window_class == PROGRESS_CLASSW) {
    line += " pos=" + std::to_string(Ask(control, PBM_GETPOS, 0, 0)) +
            " max=" + std::to_string(Ask(control, PBM_GETRANGE, FALSE, 0));
  }
  if (window_class == WC_LISTVIEWW) {
    line += " rows=" + std::to_string(Ask(control, LVM_GETITEMCOUNT, 0, 0));
  }
  lines.push_back(line);
}

BOOL CALLBACK NoteChild(HWND child, LPARAM param) {
  DescribeControl(child, *reinterpret_cast<std::vector<std::string>*>(param));
  return TRUE;
}

BOOL CALLBACK NoteWindow(HWND window, LPARAM param) {
  const std::wstring window_class = ClassOf(window);
  const bool ours = window_class == qx::win32::kMainClass ||
                    window_class == qx::win32::kDebugClass ||
                    window_class == qx::win32::kHistoryClass;
  if (!ours && !(window_class == L"#32770" && IsWindowVisible(window))) return TRUE;
  auto& lines = *reinterpret_cast<std::vector<std::string>*>(param);
  lines.push_back("window class=" + Utf8(window_class) + " title=\"" + Escaped(Text(window)) +
                  "\" rect=" + Rect(window) + " visible=" + (IsWindowVisible(window) ? "1" : "0") +
                  " enabled=" + (IsWindowEnabled(window) ? "1" : "0"));
  EnumChildWindows(window, NoteChild, param);
  return TRUE;
}

std::vector<std::string> Dump() {
  std::vector<std::string> lines;
  EnumWindows(NoteWindow, reinterpret_cast<LPARAM>(&lines));
  return lines;
}

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG, DWORD, DWORD) {
  if (window == nullptr || object != OBJID_CLIENT) return;
  const char* kind = event == EVENT_OBJECT_NAMECHANGE          ? "name"
                     : event == EVENT_OBJECT_DESCRIPTIONCHANGE ? "description"
                                                               : "value";
  const char* name = qx::win32::ControlNameOf(GetDlgCtrlID(window));
  std::printf("event=%s control=%s text=\"%s\"\n", kind, name != nullptr ? name : "-",
              Escaped(Text(window)).c_str());
  std::fflush(stdout);
}

// The name, description and value changes of the main window's process,
// for `limit` milliseconds (an out-of-context hook: the events come as
// messages to this thread).
int Listen(DWORD limit) {
  const HWND main = FindWindowW(qx::win32::kMainClass, nullptr);
  DWORD process = 0;
  if (main == nullptr || GetWindowThreadProcessId(main, &process) == 0) return 1;
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr,
                                       OnEvent, process, 0, WINEVENT_OUTOFCONTEXT);
  if (hook == nullptr) return 1;
  std::printf("listening\n");
  std::fflush(stdout);
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < limit) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  UnhookWinEvent(hook);
  return 0;
}

// Each control's accessible name, as a screen reader asks for it.
int Names() {
  const HWND main = FindWindowW(qx::win32::kMainClass, nullptr);
  if (main == nullptr) return 1;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::vector<HWND> children;
  EnumChildWindows(
      main,
      [](HWND child, LPARAM param) {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    const char* name = qx::win32::ControlNameOf(GetDlgCtrlID(child));
    std::wstring accessible;
    IAccessible* object = nullptr;
    if (const auto atom = static_cast<ATOM>(
            reinterpret_cast<UINT_PTR>(GetPropW(child, qx::win32::kAccessibleNameProperty)))) {
      wchar_t text[256] = {};
      accessible.assign(text, GlobalGetAtomNameW(atom, text, 256));
    } else if (SUCCEEDED(AccessibleObjectFromWindow(child, static_cast<DWORD>(OBJID_CLIENT),
                                                    IID_IAccessible,
                                                    reinterpret_cast<void**>(&object)))) {
      VARIANT self;
      VariantInit(&self);
      self.vt = VT_I4;
      self.lVal = CHILDID_SELF;
      BSTR text = nullptr;
      if (SUCCEEDED(object->get_accName(self, &text)) && text != nullptr) {
        accessible = text;
        SysFreeString(text);
      }
      object->Release();
    }
    std::printf("accessible name=%s visible=%d text=\"%s\"\n", name != nullptr ? name : "-",
                IsWindowVisible(child) ? 1 : 0, Escaped(accessible).c_str());
  }
  CoUninitialize();
  return 0;
}

// Drops `path` on the main window as the shell does: WM_DROPFILES with a
// DROPFILES block in the window's process (fixed memory, which GlobalLock
// takes as it is: the handle of a block allocated GMEM_FIXED).
int Drop(const std::wstring& path) {
  const HWND main = FindWindowW(qx::win32::kMainClass, nullptr);
  DWORD process_id = 0;
  if (main == nullptr || GetWindowThreadProcessId(main, &process_id) == 0) return 1;
  std::vector<char> block(sizeof(DROPFILES) + (path.size() + 2) * sizeof(wchar_t), '\0');
  auto* drop = reinterpret_cast<DROPFILES*>(block.data());
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::copy(path.begin(), path.end(), reinterpret_cast<wchar_t*>(block.data() + sizeof(DROPFILES)));
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, process_id);
  if (process == nullptr) return 1;
  void* there =
      VirtualAllocEx(process, nullptr, block.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  const bool written =
      there != nullptr && WriteProcessMemory(process, there, block.data(), block.size(), nullptr);
  CloseHandle(process);
  return written && PostMessageW(main, WM_DROPFILES, reinterpret_cast<WPARAM>(there), 0) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "dump") {
    for (const auto& line : Dump()) std::printf("%s\n", line.c_str());
    return 0;
  }
  if (command == "wait" && argc >= 4) {
    const DWORD limit = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    const DWORD start = GetTickCount();
    do {
      for (const auto& line : Dump()) {
        bool all = true;
        for (int i = 3; all && i < argc; ++i) all = line.find(argv[i]) != std::string::npos;
        if (all) {
          std::printf("%s\n", line.c_str());
          return 0;
        }
      }
      Sleep(50);
    } while (GetTickCount() - start < limit);
    return 1;
  }
  // What the system would hear from the main window at log-off and shutdown.
  if (command == "session-end") {
    const HWND main = FindWindowW(qx::win32::kMainClass, nullptr);
    if (main == nullptr) return 1;
    const LRESULT answer = Ask(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    // Wine has no ShutdownBlockReasonQuery (calling it ends the process).
    std::string reason = "?";
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) {
      wchar_t text[512] = {};
      DWORD length = 512;
      reason = ShutdownBlockReasonQuery(main, text, &length) ? Escaped(text) : "";
    }
    std::printf("session-end answer=%ld reason=\"%s\"\n", static_cast<long>(answer),
                reason.c_str());
    return 0;
  }
  // Asks the main window to close, as its close button does.
  if (command == "close") {
    const HWND main = FindWindowW(qx::win32::kMainClass, nullptr);
    return main != nullptr && PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  if (command == "names") return Names();
  if (command == "drop" && argc >= 3) {
    const std::string path = argv[2];
    std::wstring wide(path.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, path.data(),
                                                        static_cast<int>(path.size()), wide.data(),
                                                        static_cast<int>(wide.size()))));
    return Drop(wide);
  }
  if (command == "listen" && argc >= 3) {
    return Listen(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  }
  std::fprintf(stderr,
               "usage: win32_probe dump | wait MS TEXT... | session-end | close | names | "
               "drop PATH | listen MS\n");
  return 2;
}
