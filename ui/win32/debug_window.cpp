#include "ui/win32/debug_window.h"

#include <commctrl.h>

#include "ui/debug_form.h"
#include "ui/win32/control_ids.h"
#include "ui/win32/resources/resource.h"
#include "ui/win32/text.h"
#include "ui/win32/win32_window_system.h"

namespace qx::win32 {

namespace {

constexpr UINT_PTR kRedrawTimer = 1;

std::wstring ItemText(HWND list, int index) {
  const LRESULT n = SendMessageW(list, LB_GETTEXTLEN, index, 0);
  if (n <= 0) return {};
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(n));
  return text;
}

// Shows a model text in a one-line box; an unchanged text is left alone.
void RenderLine(HWND view, const std::string& text) {
  const std::wstring line = OneLine(text);
  const int n = GetWindowTextLengthW(view);
  std::wstring current(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(view, current.data(), n + 1);
  current.resize(static_cast<size_t>(n));
  if (current != line) SetWindowTextW(view, line.c_str());
}

}  // namespace

DebugWindow::DebugWindow(DebugForm& form, Win32WindowSystem& window_system)
    : form_(form), window_system_(window_system) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass<DebugWindow>(kDebugClass, LoadIconW(instance, MAKEINTRESOURCEW(QX_ICON_APP)));

  const std::wstring title = FromModel(form_.Caption);
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kDebugClass, title.c_str(),
                          WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this);
  dpi_ = GetDpiForWindow(hwnd_);
  fonts_ = std::make_unique<Fonts>(dpi_);
  auto child = [this, instance](const wchar_t* window_class, int id, DWORD style, DWORD ex_style,
                                const wchar_t* text) {
    return CreateWindowExW(ex_style, window_class, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                           hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                           nullptr);
  };
  list_ = child(
      WC_LISTBOXW, kIdAspiRet,
      LBS_EXTENDEDSEL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP,
      WS_EX_CLIENTEDGE, L"");
  text1_ = child(WC_EDITW, kIdDebugText1, ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP,
                 WS_EX_CLIENTEDGE, L"");
  text2_ = child(WC_EDITW, kIdDebugText2, ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP,
                 WS_EX_CLIENTEDGE, L"");
  dump_data_ = child(WC_BUTTONW, kIdDumpData, BS_PUSHBUTTON | WS_TABSTOP, 0, L"&DataBuf");
  dump_image_ = child(WC_BUTTONW, kIdDumpImage, BS_PUSHBUTTON | WS_TABSTOP, 0, L"&ImageBuf");
  ApplyFonts();
  SetWindowPos(hwnd_, nullptr, 0, 0, Scale(620, dpi_), Scale(520, dpi_),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  window_system_.AddWindow(hwnd_);

  form_.on_line = [this](const std::string& line) { AddLine(line); };
  form_.on_clear = [this] {
    SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    longest_ = 0;
    SendMessageW(list_, LB_SETHORIZONTALEXTENT, 0, 0);
  };
  Render();
}

DebugWindow::~DebugWindow() {
  form_.on_line = nullptr;
  form_.on_clear = nullptr;
  window_system_.RemoveWindow(hwnd_);
  DestroyWindow(hwnd_);
}

void DebugWindow::ApplyFonts() {
  for (HWND c = GetWindow(hwnd_, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->ui()), TRUE);
  }
  SendMessageW(list_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->fixed()), TRUE);
}

void DebugWindow::ShowAt(int x, int y) {
  SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
  Layout();
}

void DebugWindow::AddLine(const std::string& line) {
  // Lines come in runs (a record of a command, a dump of thousands): the list
  // is drawn again once a run is in, not after each line.
  if (!holding_redraw_) {
    SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    holding_redraw_ = true;
    SetTimer(hwnd_, kRedrawTimer, 40, nullptr);
  }
  const std::wstring text = FromModel(line);
  SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  if (static_cast<int>(text.size()) > longest_) {
    longest_ = static_cast<int>(text.size());
    HDC dc = GetDC(list_);
    HGDIOBJ old = SelectObject(dc, fonts_->fixed());
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(list_, dc);
    SendMessageW(list_, LB_SETHORIZONTALEXTENT, longest_ * metrics.tmAveCharWidth + 8, 0);
  }
}

void DebugWindow::DrawHeldLines() {
  if (!holding_redraw_) return;
  holding_redraw_ = false;
  KillTimer(hwnd_, kRedrawTimer);
  SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list_, nullptr, TRUE);
}

void DebugWindow::Render() {
  const auto& lines = form_.ASPI_Ret;
  const int count = static_cast<int>(lines.size());
  int shown = static_cast<int>(SendMessageW(list_, LB_GETCOUNT, 0, 0));
  // The list only grows between clears; rebuild only when it does not match.
  bool prefix = shown <= count;
  if (prefix && shown > 0) prefix = ItemText(list_, shown - 1) == FromModel(lines[shown - 1]);
  if (!prefix) {
    SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    longest_ = 0;
    shown = 0;
  }
  for (int i = shown; i < count; ++i) AddLine(lines[i]);
  DrawHeldLines();
  RenderLine(text1_, form_.Text1);
  RenderLine(text2_, form_.Text2);
}

void DebugWindow::RefreshList() {
  Render();
  RedrawWindow(list_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void DebugWindow::Layout() {
  RECT client;
  GetClientRect(hwnd_, &client);
  const int margin = Scale(9, dpi_);
  const int gap = Scale(6, dpi_);
  const int field = Scale(22, dpi_);
  const int button = Scale(80, dpi_);
  const int width = client.right - 2 * margin;
  const int bottom_top = client.bottom - margin - field;
  MoveWindow(list_, margin, margin, width, bottom_top - gap - margin, TRUE);
  const int texts_width = (width - 2 * button - 3 * gap) / 2;
  int x = margin;
  MoveWindow(text1_, x, bottom_top, texts_width, field, TRUE);
  x += texts_width + gap;
  MoveWindow(text2_, x, bottom_top, texts_width, field, TRUE);
  x += texts_width + gap;
  MoveWindow(dump_data_, x, bottom_top, button, field, TRUE);
  x += button + gap;
  MoveWindow(dump_image_, x, bottom_top, button, field, TRUE);
}

LRESULT DebugWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED) {
        if (LOWORD(wparam) == kIdDumpData && on_dump_data) on_dump_data();
        if (LOWORD(wparam) == kIdDumpImage && on_dump_image) on_dump_image();
      }
      return 0;
    case WM_TIMER:
      if (wparam == kRedrawTimer) DrawHeldLines();
      return 0;
    case WM_CLOSE:
      ShowWindow(hwnd_, SW_HIDE);
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wparam);
      ChangeDpi(hwnd_, dpi_, *reinterpret_cast<const RECT*>(lparam), fonts_,
                [this] { ApplyFonts(); });
      return 0;
    }
    default:
      break;
  }
  return DefDlgProcW(hwnd_, message, wparam, lparam);
}

}  // namespace qx::win32
