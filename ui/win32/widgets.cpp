#include "ui/win32/widgets.h"

#include <commctrl.h>

#include <algorithm>

#include "ui/win32/fonts.h"
#include "ui/win32/text.h"

namespace qx::win32 {

namespace {

constexpr int kNoticePadding = 5;

std::wstring ItemText(HWND view, bool combo, size_t index) {
  const LRESULT n = SendMessageW(view, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, index, 0);
  std::wstring text(n > 0 ? static_cast<size_t>(n) + 1 : 1, L'\0');
  SendMessageW(view, combo ? CB_GETLBTEXT : LB_GETTEXT, index,
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

bool IsCombo(HWND view) {
  wchar_t name[16] = {};
  GetClassNameW(view, name, 16);
  return _wcsicmp(name, WC_COMBOBOXW) == 0;
}

LRESULT CALLBACK ProgressTextProc(HWND bar, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                  DWORD_PTR data) {
  const LRESULT result = DefSubclassProc(bar, message, wparam, lparam);
  const auto& progress = *reinterpret_cast<const ProgressState*>(data);
  if (message != WM_PAINT || progress.text.empty()) return result;
  const std::wstring text = FromModel(progress.text);
  RECT area;
  GetClientRect(bar, &area);
  const LONG split =
      area.left + MulDiv(area.right - area.left, progress.value, std::max(progress.maximum, 1));
  const struct {
    RECT clip;
    int back, fore;
  } parts[] = {{{area.left, area.top, split, area.bottom}, COLOR_HIGHLIGHT, COLOR_HIGHLIGHTTEXT},
               {{split, area.top, area.right, area.bottom}, COLOR_BTNFACE, COLOR_BTNTEXT}};
  HDC dc = GetDC(bar);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(bar, WM_GETFONT, 0, 0)));
  SetBkMode(dc, TRANSPARENT);
  for (const auto& part : parts) {
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, part.clip.left, part.clip.top, part.clip.right, part.clip.bottom);
    SetTextColor(dc, ToColorref(ReadableOn(SystemColour(part.back), SystemColour(part.fore))));
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    RestoreDC(dc, saved);
  }
  SelectObject(dc, old);
  ReleaseDC(bar, dc);
  return result;
}

}  // namespace

std::wstring WindowText(HWND window) {
  const int n = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(window, text.data(), n + 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

bool SetText(HWND window, const std::wstring& text) {
  if (WindowText(window) == text) return false;
  SetWindowTextW(window, text.c_str());
  return true;
}

void ApplyList(HWND view, const std::vector<std::string>& items, int index) {
  const bool combo = IsCombo(view);
  bool same = SendMessageW(view, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0) ==
              static_cast<LRESULT>(items.size());
  for (size_t i = 0; same && i < items.size(); ++i)
    same = ItemText(view, combo, i) == OneLine(items[i]);
  if (!same) {
    SendMessageW(view, WM_SETREDRAW, FALSE, 0);
    SendMessageW(view, combo ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
    for (const auto& item : items) {
      SendMessageW(view, combo ? CB_ADDSTRING : LB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(OneLine(item).c_str()));
    }
    SendMessageW(view, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(view, nullptr, TRUE);
  }
  if (SendMessageW(view, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0) != index) {
    SendMessageW(view, combo ? CB_SETCURSEL : LB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
}

void ScrollIntoView(HWND list, int index) {
  RECT client;
  GetClientRect(list, &client);
  const auto row = static_cast<int>(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0));
  const int rows = std::max(1, row > 0 ? static_cast<int>(client.bottom) / row : 1);
  const auto top = static_cast<int>(SendMessageW(list, LB_GETTOPINDEX, 0, 0));
  if (index < top) {
    SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
  } else if (index >= top + rows) {
    SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(index - rows + 1), 0);
  }
}

bool ApplyMenuItem(HMENU menu, UINT item, bool by_position, const std::wstring& caption,
                   bool enabled) {
  wchar_t current[128] = {};
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_STRING | MIIM_STATE;
  info.dwTypeData = current;
  info.cch = 127;
  GetMenuItemInfoW(menu, item, by_position, &info);
  const bool was_enabled = (info.fState & MFS_DISABLED) == 0;
  if (caption == current && was_enabled == enabled) return false;
  MENUITEMINFOW change{};
  change.cbSize = sizeof change;
  change.fMask = MIIM_STRING | MIIM_STATE;
  change.fState = enabled ? MFS_ENABLED : MFS_DISABLED;
  change.dwTypeData = const_cast<wchar_t*>(caption.c_str());
  SetMenuItemInfoW(menu, item, by_position, &change);
  return true;
}

Rgb SystemColour(int index) {
  const COLORREF c = GetSysColor(index);
  return {GetRValue(c), GetGValue(c), GetBValue(c)};
}

PanelColours NoticeColours(Role role) {
  const Rgb face = SystemColour(COLOR_BTNFACE);
  const Rgb back = NoticeBackground(role, face);
  return {ToColorref(back), ToColorref(RoleColour(role, back)), ToColorref(RoleColour(role, face))};
}

void DrawNotice(HDC dc, const RECT& area, const std::wstring& text, const PanelColours& colours,
                HFONT font, UINT dpi, UINT format) {
  HBRUSH background = CreateSolidBrush(colours.background);
  FillRect(dc, &area, background);
  DeleteObject(background);
  HBRUSH border = CreateSolidBrush(colours.border);
  FrameRect(dc, &area, border);
  DeleteObject(border);
  RECT inner = area;
  InflateRect(&inner, -Scale(kNoticePadding, dpi), -Scale(kNoticePadding - 2, dpi));
  HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, colours.text);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &inner, format | DT_NOPREFIX);
  SelectObject(dc, old);
}

int TextWidth(HWND window, HFONT font, const std::wstring& text) {
  RECT area{};
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, DT_CALCRECT | DT_SINGLELINE);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return area.right;
}

int NoticeHeight(HWND window, const std::wstring& text, HFONT font, UINT dpi, int width) {
  RECT area{0, 0, width - 2 * Scale(kNoticePadding, dpi), 0};
  HDC dc = GetDC(window);
  HGDIOBJ old = SelectObject(dc, font);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
            DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return area.bottom + 2 * Scale(kNoticePadding - 2, dpi);
}

void DrawProgressText(HWND bar, const ProgressState* progress) {
  SetWindowSubclass(bar, ProgressTextProc, 1, reinterpret_cast<DWORD_PTR>(progress));
}

void EndProgressText(HWND bar) {
  RemoveWindowSubclass(bar, ProgressTextProc, 1);
}

void Placer::operator()(HWND window, int x, int y, int width, int height) {
  moves_ = DeferWindowPos(moves_, window, nullptr, x, y, width < 0 ? 0 : width,
                          height < 0 ? 0 : height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
}

}  // namespace qx::win32
