#include "ui/win32/history_window.h"

#include <commctrl.h>

#include <vector>

#include "history/history.h"
#include "ui/win32/control_ids.h"
#include "ui/win32/resources/resource.h"
#include "ui/win32/text.h"
#include "ui/win32/widgets.h"
#include "ui/win32/win32_window_system.h"

namespace qx::win32 {

namespace {

constexpr const wchar_t* kHeadings[HistoryWindow::kColumns] = {
    L"Time (UTC)", L"Transport", L"HA:ID",  L"Product",
    L"Release",    L"Outcome",   L"Blocks", L"Message / verification"};

std::wstring Trimmed(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L' ');
  if (first == std::wstring::npos) return {};
  return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// Blanks at both ends gone and each run of blanks inside made one.
std::wstring Simplified(const std::wstring& text) {
  std::wstring out;
  bool blank = false;
  for (wchar_t c : text) {
    if (c == L' ' || c == L'\t') {
      blank = !out.empty();
      continue;
    }
    if (blank) out.push_back(L' ');
    blank = false;
    out.push_back(c);
  }
  return out;
}

}  // namespace

HistoryWindow::HistoryWindow(std::string path, HWND owner, Win32WindowSystem& window_system)
    : path_(std::move(path)), window_system_(window_system) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass<HistoryWindow>(kHistoryClass,
                                     LoadIconW(instance, MAKEINTRESOURCEW(QX_ICON_APP)));

  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kHistoryClass, L"Download History",
                          WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, owner, nullptr, instance, this);
  dpi_ = GetDpiForWindow(hwnd_);
  fonts_ = std::make_unique<Fonts>(dpi_);
  auto child = [this, instance](const wchar_t* window_class, int id, DWORD style, DWORD ex_style,
                                const wchar_t* text) {
    HWND control = CreateWindowExW(
        ex_style, window_class, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, hwnd_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->ui()), FALSE);
    return control;
  };
  source_ = child(L"STATIC", kIdHistorySource, SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, L"");
  warnings_ = child(L"STATIC", kIdHistoryWarnings, SS_OWNERDRAW, 0, L"");
  table_ =
      child(WC_LISTVIEWW, kIdHistoryTable,
            LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP, WS_EX_CLIENTEDGE, L"");
  ListView_SetExtendedListViewStyle(table_,
                                    LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_LABELTIP);
  for (int column = 0; column < kColumns; ++column) {
    LVCOLUMNW heading{};
    heading.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    heading.pszText = const_cast<wchar_t*>(kHeadings[column]);
    heading.cx = Scale(100, dpi_);
    heading.iSubItem = column;
    ListView_InsertColumn(table_, column, &heading);
  }
  reload_ = child(WC_BUTTONW, kIdHistoryReload, BS_PUSHBUTTON | WS_TABSTOP, 0, L"&Reload");
  close_ = child(WC_BUTTONW, kIdHistoryClose, BS_PUSHBUTTON | WS_TABSTOP, 0, L"&Close");
  ShowWindow(warnings_, SW_HIDE);

  // Over its owner, a little down and to the right.
  RECT over{};
  GetWindowRect(owner, &over);
  SetWindowPos(hwnd_, nullptr, over.left + Scale(30, dpi_), over.top + Scale(30, dpi_),
               Scale(980, dpi_), Scale(360, dpi_), SWP_NOZORDER | SWP_NOACTIVATE);
  window_system_.AddWindow(hwnd_);
  Reload();
}

HistoryWindow::~HistoryWindow() {
  window_system_.RemoveWindow(hwnd_);
  DestroyWindow(hwnd_);
}

void HistoryWindow::Show() {
  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  SetFocus(table_);
}

void HistoryWindow::Reload() {
  ListView_DeleteAllItems(table_);
  if (path_.empty()) {
    SetWindowTextW(source_, L"The download history is switched off (--no-history).");
    ShowWindow(warnings_, SW_HIDE);
    Layout();
    Name();
    return;
  }
  const history::Contents contents = history::Read(path_);
  const auto entries = history::Listing(contents.records);
  const std::wstring source =
      (contents.records.empty() ? std::wstring(L"No downloads recorded in ")
                                : std::to_wstring(entries.size()) + L" records in ") +
      FromModel(path_);
  SetWindowTextW(source_, source.c_str());
  std::wstring warnings;
  for (const auto& w : contents.warnings) {
    if (!warnings.empty()) warnings += L"\r\n";
    warnings += FromModel(w);
  }
  SetWindowTextW(warnings_, warnings.c_str());
  ShowWindow(warnings_, warnings.empty() ? SW_HIDE : SW_SHOWNA);

  SendMessageW(table_, WM_SETREDRAW, FALSE, 0);
  int row = 0;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it, ++row) {
    const history::Record& r = *it->record;
    const history::EntryWords words = history::Describe(*it, contents.records);
    const std::wstring cells[kColumns] = {
        FromModel(r.time),
        FromModel(r.drive.transport),
        std::to_wstring(r.drive.ha) + L":" + std::to_wstring(r.drive.target),
        Trimmed(OneLine(r.drive.product)),
        FromModel(r.release),
        FromModel(words.outcome),
        FromModel(words.blocks),
        Simplified(OneLine(words.text))};
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(cells[0].c_str());
    ListView_InsertItem(table_, &item);
    for (int column = 1; column < kColumns; ++column) {
      ListView_SetItemText(table_, row, column, const_cast<wchar_t*>(cells[column].c_str()));
    }
  }
  for (int column = 0; column < kColumns; ++column) {
    ListView_SetColumnWidth(table_, column,
                            column + 1 == kColumns ? LVSCW_AUTOSIZE_USEHEADER : LVSCW_AUTOSIZE);
    // An empty column is still as wide as its heading.
    const int heading = ListView_GetStringWidth(table_, kHeadings[column]) + Scale(16, dpi_);
    if (ListView_GetColumnWidth(table_, column) < heading) {
      ListView_SetColumnWidth(table_, column, heading);
    }
  }
  SendMessageW(table_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(table_, nullptr, TRUE);
  Layout();
  Name();
}

// The two lines above the table are named for what they are, their texts
// read as their values; the table is named as its label would.
void HistoryWindow::Name() {
  accessible_.Set(source_, AccessibleNames::kName, L"History file");
  accessible_.Set(source_, AccessibleNames::kValue, WindowText(source_));
  accessible_.Set(warnings_, AccessibleNames::kName, L"History warnings");
  accessible_.Set(warnings_, AccessibleNames::kValue, WindowText(warnings_));
  accessible_.Set(table_, AccessibleNames::kName, L"Downloads");
}

void HistoryWindow::Layout() {
  RECT client;
  GetClientRect(hwnd_, &client);
  const int margin = Scale(10, dpi_);
  const int line = fonts_->line_height();
  const int width = client.right - 2 * margin;
  int y = margin;
  MoveWindow(source_, margin, y, width, line + Scale(2, dpi_), TRUE);
  y += line + Scale(8, dpi_);
  if (IsWindowVisible(warnings_)) {
    int rows = 1;
    wchar_t text[4096];
    GetWindowTextW(warnings_, text, 4096);
    for (const wchar_t* c = text; *c != 0; ++c) rows += *c == L'\n';
    const int height = rows * line + Scale(8, dpi_);
    MoveWindow(warnings_, margin, y, width, height, TRUE);
    y += height + Scale(8, dpi_);
  }
  const int button_height = Scale(24, dpi_);
  const int button_width = Scale(90, dpi_);
  const int buttons_top = client.bottom - margin - button_height;
  MoveWindow(close_, client.right - margin - button_width, buttons_top, button_width, button_height,
             TRUE);
  MoveWindow(reload_, client.right - margin - 2 * button_width - Scale(8, dpi_), buttons_top,
             button_width, button_height, TRUE);
  MoveWindow(table_, margin, y, width, buttons_top - Scale(8, dpi_) - y, TRUE);
}

LRESULT HistoryWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kIdHistoryReload:
          Reload();
          return 0;
        case kIdHistoryClose:
        case IDCANCEL:  // Escape
          ShowWindow(hwnd_, SW_HIDE);
          return 0;
        default:
          return 0;
      }
    case WM_CLOSE:
      ShowWindow(hwnd_, SW_HIDE);
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_DRAWITEM: {
      const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
      DrawNotice(item.hDC, item.rcItem, WindowText(item.hwndItem), NoticeColours(Role::kWarning),
                 fonts_->ui(), dpi_, DT_LEFT);
      return TRUE;
    }
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wparam);
      ChangeDpi(hwnd_, dpi_, *reinterpret_cast<const RECT*>(lparam), fonts_, [this] {
        for (HWND c = GetWindow(hwnd_, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
          SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->ui()), TRUE);
        }
      });
      return 0;
    }
    default:
      break;
  }
  return DefDlgProcW(hwnd_, message, wparam, lparam);
}

}  // namespace qx::win32
