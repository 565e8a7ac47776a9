#include "ui/win32/fonts.h"

#include <cwchar>
#include <initializer_list>
#include <utility>

namespace qx::win32 {

namespace {

constexpr int kPointSize = 9;

int CALLBACK NoteFamily(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;  // one is enough
}

bool Installed(const wchar_t* family) {
  HDC dc = GetDC(nullptr);
  LOGFONTW want{};
  want.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(want.lfFaceName, family, LF_FACESIZE - 1);
  bool found = false;
  EnumFontFamiliesExW(dc, &want, NoteFamily, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

// The first of `families` that is installed; the first one when none is (the
// system then picks its nearest match).
const wchar_t* FirstInstalled(std::initializer_list<const wchar_t*> families) {
  for (const wchar_t* family : families) {
    if (Installed(family)) return family;
  }
  return *families.begin();
}

HFONT MakeFont(const wchar_t* family, UINT dpi, int weight, BYTE pitch) {
  LOGFONTW font{};
  font.lfHeight = -MulDiv(kPointSize, static_cast<int>(dpi), 72);
  font.lfWeight = weight;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = CLEARTYPE_QUALITY;
  font.lfPitchAndFamily = pitch;
  wcsncpy(font.lfFaceName, family, LF_FACESIZE - 1);
  return CreateFontIndirectW(&font);
}

}  // namespace

void Fonts::Make(UINT dpi) {
  static const wchar_t* const ui_family = FirstInstalled({L"Arial", L"Liberation Sans", L"Arimo"});
  static const wchar_t* const fixed_family =
      FirstInstalled({L"Courier New", L"Liberation Mono", L"Cousine", L"DejaVu Sans Mono"});
  ui_ = MakeFont(ui_family, dpi, FW_NORMAL, VARIABLE_PITCH | FF_SWISS);
  bold_ = MakeFont(ui_family, dpi, FW_BOLD, VARIABLE_PITCH | FF_SWISS);
  fixed_ = MakeFont(fixed_family, dpi, FW_NORMAL, FIXED_PITCH | FF_MODERN);
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, ui_);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  line_height_ = metrics.tmHeight;
}

void Fonts::Free() {
  for (HFONT* font : {&ui_, &bold_, &fixed_}) {
    if (*font != nullptr) DeleteObject(*font);
    *font = nullptr;
  }
}

void ChangeDpi(HWND window, UINT dpi, const RECT& suggested, std::unique_ptr<Fonts>& fonts,
               const std::function<void()>& apply) {
  auto old = std::exchange(fonts, std::make_unique<Fonts>(dpi));
  apply();
  old.reset();
  SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace qx::win32
