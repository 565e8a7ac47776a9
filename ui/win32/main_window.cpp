#include "ui/win32/main_window.h"

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <exception>

#include "aspi/manager.h"
#include "download/preview.h"
#include "history/history.h"
#include "ui/win32/control_ids.h"
#include "ui/win32/history_window.h"
#include "ui/win32/registry_settings_store.h"
#include "ui/win32/resources/resource.h"
#include "ui/win32/text.h"
#include "ui/win32/win32_window_system.h"
#include "ui/window_texts.h"

namespace qx::win32 {

namespace {

// Posted after the first WM_PAINT, so that scripts start once the window shows.
constexpr UINT kFirstPainted = WM_APP + 1;
// Posted when a stop that waited for the handlers may close the window now.
constexpr UINT kCloseNow = WM_APP + 2;

// The layout, in pixels at 96 DPI.
constexpr int kMargin = 10;
constexpr int kTop = 8;
constexpr int kGap = 8;
constexpr int kPadding = 10;
constexpr int kPictureWidth = 120;
constexpr int kPictureHeight = 96;
constexpr int kTargetPanelHeight = kPictureHeight + 2 * kPadding;
constexpr int kFieldHeight = 22;
constexpr int kButtonHeight = 24;
constexpr int kProgressHeight = 20;
constexpr int kNoticePadding = 5;
constexpr int kClientWidth = 530;
constexpr int kClientHeight = 540;
constexpr int kMinClientWidth = 460;
constexpr int kMinReleasePanel = 150;

// Colours of the tinted panels (the same as the Qt window's).
struct NoticeColours {
  COLORREF background, text, border;
};
constexpr NoticeColours kBannerSimulated{RGB(0xff, 0xd8, 0x4d), RGB(0x3a, 0x2e, 0x00),
                                         RGB(0xc9, 0xa4, 0x00)};
constexpr NoticeColours kScanNotes{RGB(0xe8, 0xf0, 0xfb), RGB(0x1c, 0x35, 0x58),
                                   RGB(0x9d, 0xb4, 0xd6)};
constexpr NoticeColours kHistoryNotes{RGB(0xea, 0xf6, 0xea), RGB(0x1d, 0x46, 0x20),
                                      RGB(0x9c, 0xc7, 0x9f)};
constexpr COLORREF kBannerPlain = RGB(0x4a, 0x4a, 0x4a);
constexpr COLORREF kGood = RGB(0x1d, 0x46, 0x20);
constexpr COLORREF kBad = RGB(0x8a, 0x1c, 0x00);

std::wstring WindowText(HWND window) {
  const int n = GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(window, text.data(), n + 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

// Sets a window's text unless it has it already (no flicker, no repaint).
void SetText(HWND window, const std::wstring& text) {
  if (WindowText(window) != text) SetWindowTextW(window, text.c_str());
}

// Blanks at both ends gone and each run of blanks inside made one.
std::wstring Simplified(const std::wstring& text) {
  std::wstring out;
  bool blank = false;
  for (wchar_t c : text) {
    if (std::iswspace(c)) {
      blank = !out.empty();
      continue;
    }
    if (blank) out.push_back(L' ');
    blank = false;
    out.push_back(c);
  }
  return out;
}

std::wstring Trimmed(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t\r\n");
  if (first == std::wstring::npos) return {};
  return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

std::wstring Joined(const std::vector<std::wstring>& lines) {
  std::wstring text;
  for (const auto& line : lines) {
    if (!text.empty()) text += L"\r\n";
    text += line;
  }
  return text;
}

// Mirrors a model list into a combo box or list box: its items (refilled
// only when they differ, so that position and scrolling stay), its position
// and whether it is enabled.
template <typename Model>
void RenderList(HWND view, const Model& model, bool combo) {
  const UINT count_message = combo ? CB_GETCOUNT : LB_GETCOUNT;
  const UINT length_message = combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN;
  const UINT text_message = combo ? CB_GETLBTEXT : LB_GETTEXT;
  const auto& items = model.Items();
  bool same = SendMessageW(view, count_message, 0, 0) == static_cast<LRESULT>(items.size());
  for (size_t i = 0; same && i < items.size(); ++i) {
    const LRESULT n = SendMessageW(view, length_message, i, 0);
    std::wstring text(n > 0 ? static_cast<size_t>(n) + 1 : 1, L'\0');
    SendMessageW(view, text_message, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    same = text == OneLine(items[i]);
  }
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
  const UINT get_selection = combo ? CB_GETCURSEL : LB_GETCURSEL;
  const UINT set_selection = combo ? CB_SETCURSEL : LB_SETCURSEL;
  if (SendMessageW(view, get_selection, 0, 0) != model.ListIndex()) {
    SendMessageW(view, set_selection, static_cast<WPARAM>(model.ListIndex()), 0);
  }
  if ((IsWindowEnabled(view) != FALSE) != model.Enabled) EnableWindow(view, model.Enabled);
}

// A menu item's caption and state, changed only where they differ; true when
// something changed (the menu bar is then drawn again).
bool RenderMenuItem(HMENU menu, UINT item, bool by_position, const std::wstring& caption,
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

void DrawNotice(HDC dc, const RECT& area, const std::wstring& text, const NoticeColours& colours,
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

// Draws the block count over the progress bar ("5 / 16 blocks").
LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                              DWORD_PTR data) {
  const LRESULT result = DefSubclassProc(window, message, wparam, lparam);
  if (message == WM_PAINT) {
    const auto* text = reinterpret_cast<const std::wstring*>(data);
    if (!text->empty()) {
      RECT area;
      GetClientRect(window, &area);
      HDC dc = GetDC(window);
      HGDIOBJ old =
          SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      DrawTextW(dc, text->c_str(), static_cast<int>(text->size()), &area,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
      SelectObject(dc, old);
      ReleaseDC(window, dc);
    }
  }
  return result;
}

}  // namespace

std::wstring WindowTitle(const std::string& caption, const std::string& transport, bool simulated) {
  return FromModel(WindowTitleText(caption, transport, simulated));
}

MainWindow::MainWindow(MainForm& form, Win32WindowSystem& window_system,
                       RegistrySettingsStore& placement, const std::string& transport,
                       bool simulated)
    : form_(form), window_system_(window_system), placement_(placement), simulated_(simulated) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  icon_big_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(QX_ICON_APP), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON),
                                            GetSystemMetrics(SM_CYICON), LR_SHARED));
  icon_small_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(QX_ICON_APP), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProcOf<MainWindow>;
  window_class.hInstance = instance;
  window_class.hIcon = icon_big_;
  window_class.hIconSm = icon_small_;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kMainClass;
  RegisterClassExW(&window_class);

  CreateMenus();
  const std::wstring title = WindowTitle(form_.Caption, transport, simulated);
  // WS_CLIPCHILDREN: the panels drawn by the window never paint over its controls.
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kMainClass, title.c_str(),
                          WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu_, instance, this);
  dpi_ = GetDpiForWindow(hwnd_);
  fonts_ = std::make_unique<Fonts>(dpi_);
  CreateControls();
  SetText(banner_, FromModel(BannerText(transport, simulated)));
  ApplyFonts();
  RECT frame{0, 0, Scale(kClientWidth, dpi_), Scale(kClientHeight, dpi_)};
  AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW, TRUE, WS_EX_CONTROLPARENT, dpi_);
  SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  window_system_.AddWindow(hwnd_);
  form_.on_event = [this](const MainEvent& e) { OnModelEvent(e); };
  Render();
}

MainWindow::~MainWindow() {
  form_.on_event = nullptr;
  if (history_) history_->on_warning = nullptr;
  history_window_.reset();
  window_system_.RemoveWindow(hwnd_);
  if (progress_ != nullptr) RemoveWindowSubclass(progress_, ProgressProc, 1);
  DestroyWindow(hwnd_);
  if (picture_ != nullptr) DestroyIcon(picture_);
}

void MainWindow::CreateMenus() {
  menu_ = CreateMenu();
  scsi_mode_ = CreatePopupMenu();
  AppendMenuW(scsi_mode_, MF_STRING, kIdScsiScan, L"");
  AppendMenuW(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(scsi_mode_), L"");
  // The history sits beside the defined menu, after it.
  AppendMenuW(menu_, MF_STRING, kIdHistory, L"&History");
}

HWND MainWindow::Child(const wchar_t* window_class, int id, DWORD style, DWORD ex_style) {
  return CreateWindowExW(ex_style, window_class, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                         hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         GetModuleHandleW(nullptr), nullptr);
}

// Top to bottom; Tab follows the order in which the controls are made.
void MainWindow::CreateControls() {
  banner_ = Child(L"STATIC", kIdBanner, SS_OWNERDRAW);
  image1_ = Child(L"STATIC", kIdImage1, SS_OWNERDRAW);
  label1_ = Child(L"STATIC", kIdLabel1, SS_LEFT | SS_NOPREFIX);
  combo_ha_ = Child(WC_COMBOBOXW, kIdComboHA, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP);
  label2_ = Child(L"STATIC", kIdLabel2, SS_LEFT);
  combo_id_ = Child(WC_COMBOBOXW, kIdComboID, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP);
  label3_[2] = Child(L"STATIC", kIdLabel3_2, SS_LEFT | SS_NOPREFIX);
  fwver_ = Child(L"STATIC", kIdFWVer, SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE,
                 WS_EX_STATICEDGE);
  scan_notes_ = Child(L"STATIC", kIdScanNotes, SS_OWNERDRAW);
  history_notes_ = Child(L"STATIC", kIdHistoryNotes, SS_OWNERDRAW);
  label3_[0] = Child(L"STATIC", kIdLabel3_0, SS_LEFT);
  file1_ = Child(WC_LISTBOXW, kIdFile1, LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP,
                 WS_EX_CLIENTEDGE);
  label3_[1] = Child(L"STATIC", kIdLabel3_1, SS_LEFT | SS_NOPREFIX);
  label4_ = Child(L"STATIC", kIdLabel4, SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE,
                  WS_EX_STATICEDGE);
  // Read only: what Download Start would find in the chosen release.
  release_summary_ = Child(L"STATIC", kIdReleaseSummary, SS_LEFT | SS_NOPREFIX);
  // Abort comes before Download Start in the Tab order. Neither is a default
  // button: Enter never starts a download.
  tyusi_ = Child(WC_BUTTONW, kIdTyusi, BS_PUSHBUTTON | WS_TABSTOP);
  command1_ = Child(WC_BUTTONW, kIdCommand1, BS_PUSHBUTTON | WS_TABSTOP);
  progress_ = Child(PROGRESS_CLASSW, kIdProgress, PBS_SMOOTH);
  SetWindowSubclass(progress_, ProgressProc, 1, reinterpret_cast<DWORD_PTR>(&progress_text_));
  wait_info_ = Child(L"STATIC", kIdWaitInfo, SS_LEFTNOWORDWRAP | SS_NOPREFIX);
  abort_notice_ = Child(L"STATIC", kIdAbortNotice, SS_RIGHT | SS_NOPREFIX);
  text1_ = Child(WC_EDITW, kIdText1, ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE);
  ShowWindow(scan_notes_, SW_HIDE);
  ShowWindow(history_notes_, SW_HIDE);
  ShowWindow(release_summary_, SW_HIDE);
  ShowWindow(abort_notice_, SW_HIDE);
  EnableWindow(progress_, FALSE);

  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = hwnd_;
  tool.uId = reinterpret_cast<UINT_PTR>(text1_);
  tool.lpszText = LPSTR_TEXTCALLBACKW;
  SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, Scale(600, dpi_));
}

void MainWindow::ApplyFonts() {
  for (HWND child = GetWindow(hwnd_, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->ui()), FALSE);
  }
  SendMessageW(combo_id_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->fixed()), FALSE);
  SendMessageW(abort_notice_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->bold()), FALSE);
  SendMessageW(tooltip_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->ui()), FALSE);
  if (picture_ != nullptr) DestroyIcon(picture_);
  const int side = Scale(kPictureHeight, dpi_);
  picture_ = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(QX_ICON_APP),
                                           IMAGE_ICON, side, side, LR_DEFAULTCOLOR));
}

int MainWindow::NoticeHeight(HWND notice, int width) const {
  const std::wstring text = WindowText(notice);
  RECT area{0, 0, width - 2 * Scale(kNoticePadding, dpi_), 0};
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, fonts_->ui());
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
            DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  return area.bottom + 2 * Scale(kNoticePadding - 2, dpi_);
}

// The moves of one layout pass, made together (DeferWindowPos) when Apply is
// called; a negative width or height is taken as none.
class MainWindow::Placer {
 public:
  explicit Placer(int count) : moves_(BeginDeferWindowPos(count)) {}
  void operator()(HWND window, int x, int y, int width, int height) {
    moves_ =
        DeferWindowPos(moves_, window, nullptr, x, y, width < 0 ? 0 : width,
                       height < 0 ? 0 : height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);
  }
  void Apply() { EndDeferWindowPos(moves_); }

 private:
  HDWP moves_;
};

// Top down: the banner, the target panel, the notices; bottom up: the status
// line, the activity line, the progress bar. The release panel takes the room
// between them. All controls move at once, then the window is drawn anew.
void MainWindow::Layout() {
  RECT client;
  GetClientRect(hwnd_, &client);
  const int left = Scale(kMargin, dpi_);
  const int width = client.right - 2 * left;
  Placer place(24);
  int y = LayoutBanner(place, left, width, Scale(kTop, dpi_));
  y = LayoutTargetPanel(place, left, width, y);
  y = LayoutNotices(place, left, width, y);
  const int progress_top = LayoutBottomArea(place, left, width, client.bottom);
  LayoutReleasePanel(place, left, width, y, progress_top - Scale(kGap, dpi_));
  place.Apply();
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// The banner across the top; returns where the next part starts (as do the
// target panel and the notices).
int MainWindow::LayoutBanner(Placer& place, int left, int width, int top) const {
  const int height = fonts_->line_height() + Scale(10, dpi_);
  place(banner_, left, top, width, height);
  return top + height + Scale(kGap, dpi_);
}

// Target: picture, adapter and target lists, firmware version.
int MainWindow::LayoutTargetPanel(Placer& place, int left, int width, int top) {
  auto s = [this](int value) { return Scale(value, dpi_); };
  const int line = fonts_->line_height();
  target_panel_ = RECT{left, top, left + width, top + s(kTargetPanelHeight)};
  const int inner_top = top + s(kPadding);
  place(image1_, left + s(kPadding), inner_top, s(kPictureWidth), s(kPictureHeight));
  const int labels_left = left + s(kPadding) + s(kPictureWidth) + s(kGap);
  const int lists_left = labels_left + s(24);
  const int lists_width = left + width - s(kPadding) - lists_left;
  const int label_offset = (s(kFieldHeight) - line) / 2;
  place(label1_, labels_left, inner_top + label_offset, s(22), line);
  place(combo_ha_, lists_left, inner_top, lists_width, s(220));
  place(label2_, labels_left, inner_top + s(28) + label_offset, s(22), line);
  place(combo_id_, lists_left, inner_top + s(28), lists_width, s(220));
  place(label3_[2], labels_left, inner_top + s(58), left + width - s(kPadding) - labels_left, line);
  place(fwver_, labels_left, inner_top + s(kPictureHeight) - s(kFieldHeight),
        left + width - s(kPadding) - labels_left, s(kFieldHeight));
  return target_panel_.bottom + s(kGap);
}

// The notices below the lists, only while they have something to say.
int MainWindow::LayoutNotices(Placer& place, int left, int width, int top) const {
  int y = top;
  for (HWND notice : {scan_notes_, history_notes_}) {
    if (!IsWindowVisible(notice)) continue;
    const int height = NoticeHeight(notice, width);
    place(notice, left, y, width, height);
    y += height + Scale(kGap, dpi_);
  }
  return y;
}

// From the bottom up: the status line, the activity line (the command waited
// for, the abort notice at its right end), the progress bar; returns the bar's
// top.
int MainWindow::LayoutBottomArea(Placer& place, int left, int width, int bottom) const {
  auto s = [this](int value) { return Scale(value, dpi_); };
  const int text1_top = bottom - s(kTop) - s(kFieldHeight);
  place(text1_, left, text1_top, width, s(kFieldHeight));
  const int activity_height = fonts_->line_height() + s(4);
  const int activity_top = text1_top - s(kGap) - activity_height;
  const int notice_width = AbortNoticeWidth(width);
  place(wait_info_, left, activity_top, width - notice_width - (notice_width > 0 ? s(12) : 0),
        activity_height);
  place(abort_notice_, left + width - notice_width, activity_top, notice_width, activity_height);
  const int progress_top = activity_top - s(kGap) - s(kProgressHeight);
  place(progress_, left, progress_top, width, s(kProgressHeight));
  return progress_top;
}

// The abort notice's text in its bold font, at most `width` wide; 0 while the
// notice is hidden.
int MainWindow::AbortNoticeWidth(int width) const {
  if (!IsWindowVisible(abort_notice_)) return 0;
  const std::wstring text = WindowText(abort_notice_);
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, fonts_->bold());
  SIZE extent{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  return std::min<int>(extent.cx + Scale(4, dpi_), width);
}

// Release: file list, chosen name, what the download would find, buttons;
// from panel_top down to panel_bottom, but never less than kMinReleasePanel
// high.
void MainWindow::LayoutReleasePanel(Placer& place, int left, int width, int panel_top,
                                    int panel_bottom) {
  auto s = [this](int value) { return Scale(value, dpi_); };
  const int line = fonts_->line_height();
  const int release_bottom = std::max(panel_bottom, panel_top + s(kMinReleasePanel));
  release_panel_ = RECT{left, panel_top, left + width, release_bottom};
  const int inner_left = left + s(kPadding);
  const int inner_width = width - 2 * s(kPadding);
  const int column = (inner_width - s(12)) / 2;
  const int top = panel_top + s(kPadding);
  const int bottom = release_bottom - s(kPadding);
  place(label3_[0], inner_left, top, column, line);
  place(file1_, inner_left, top + line + s(4), column, bottom - top - line - s(4));
  const int right = inner_left + column + s(12);
  const int right_width = inner_left + inner_width - right;
  place(label3_[1], right, top, right_width, line);
  place(label4_, right, top + line + s(4), right_width, s(kFieldHeight));
  const int buttons_top = bottom - s(kButtonHeight);
  const int button_width = (right_width - s(8)) / 2;
  place(command1_, right, buttons_top, button_width, s(kButtonHeight));
  place(tyusi_, right + button_width + s(8), buttons_top, right_width - button_width - s(8),
        s(kButtonHeight));
  const int summary_top = top + line + s(4) + s(kFieldHeight) + s(kGap);
  place(release_summary_, right, summary_top, right_width, buttons_top - s(kGap) - summary_top);
}

void MainWindow::Show(int show_command) {
  WINDOWPLACEMENT where{};
  where.length = sizeof where;
  bool restored = false;
  if (const auto saved = placement_.Read(L"Window", L"MAIN")) {
    int left = 0, top = 0, right = 0, bottom = 0, maximized = 0;
    if (swscanf(saved->c_str(), L"%d,%d,%d,%d,%d", &left, &top, &right, &bottom, &maximized) == 5 &&
        right > left && bottom > top) {
      // Only where a monitor shows it now.
      const RECT rect{left, top, right, bottom};
      if (MonitorFromRect(&rect, MONITOR_DEFAULTTONULL) != nullptr) {
        GetWindowPlacement(hwnd_, &where);
        where.rcNormalPosition = rect;
        where.showCmd = maximized != 0 ? SW_SHOWMAXIMIZED : show_command;
        SetWindowPlacement(hwnd_, &where);
        restored = true;
      }
    }
  }
  if (!restored) ShowWindow(hwnd_, show_command);
  Layout();
  UpdateWindow(hwnd_);
}

void MainWindow::SavePlacement() {
  WINDOWPLACEMENT where{};
  where.length = sizeof where;
  if (!GetWindowPlacement(hwnd_, &where)) return;
  const RECT& r = where.rcNormalPosition;
  wchar_t text[96];
  swprintf(text, 96, L"%ld,%ld,%ld,%ld,%d", r.left, r.top, r.right, r.bottom,
           where.showCmd == SW_SHOWMAXIMIZED ? 1 : 0);
  placement_.Write(L"Window", L"MAIN", text);
}

// Each group of messages goes to its handler; a message the handler leaves
// (nullopt) gets the default processing.
LRESULT MainWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  std::optional<LRESULT> result;
  switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
      result = OnControlMessage(message, wparam, lparam);
      break;
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_PAINT:
    case kFirstPainted:
      result = OnDrawMessage(message, wparam, lparam);
      break;
    case WM_SIZE:
    case WM_GETMINMAXINFO:
    case WM_DPICHANGED:
      result = OnSizeMessage(message, wparam, lparam);
      break;
    case WM_SETCURSOR:
    case WM_ACTIVATE:
    case WM_SETFOCUS:
    case WM_NEXTDLGCTL:
      result = OnFocusMessage(message, wparam, lparam);
      break;
    case kCloseNow:
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
      result = OnCloseMessage(message, wparam);
      break;
    default:
      break;
  }
  return result ? *result : DefWindowProcW(hwnd_, message, wparam, lparam);
}

// Commands from the controls and the menus; the tooltip asks for Text1's text.
std::optional<LRESULT> MainWindow::OnControlMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lparam);
      if (header->code == TTN_GETDISPINFOW && header->hwndFrom == tooltip_) {
        reinterpret_cast<NMTTDISPINFOW*>(lparam)->lpszText = text1_tip_.data();
        return 0;
      }
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

// The owner-drawn controls, the colours of the coloured texts, the panels'
// frames and the note that the window has painted once.
std::optional<LRESULT> MainWindow::OnDrawMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DRAWITEM:
      DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
      return TRUE;
    case WM_CTLCOLORSTATIC: {
      const auto control = reinterpret_cast<HWND>(lparam);
      if (control == abort_notice_ || control == release_summary_) {
        const auto dc = reinterpret_cast<HDC>(wparam);
        SetTextColor(dc, control == abort_notice_ || !summary_ok_ ? kBad : kGood);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      return std::nullopt;
    }
    case WM_PAINT:
      Paint();
      return 0;
    case kFirstPainted:
      if (on_first_painted) on_first_painted();
      return 0;
    default:
      return std::nullopt;
  }
}

// A new size (not minimized), the smallest size the window takes, a new DPI.
std::optional<LRESULT> MainWindow::OnSizeMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SIZE:
      if (wparam != SIZE_MINIMIZED) Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      RECT frame{0, 0, Scale(kMinClientWidth, dpi_), Scale(kClientHeight - 60, dpi_)};
      AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW, TRUE, WS_EX_CONTROLPARENT, dpi_);
      auto* limits = reinterpret_cast<MINMAXINFO*>(lparam);
      limits->ptMinTrackSize = POINT{frame.right - frame.left, frame.bottom - frame.top};
      return 0;
    }
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wparam), *reinterpret_cast<const RECT*>(lparam));
      return 0;
    default:
      return std::nullopt;
  }
}

// Fonts for the new DPI, the window where the system suggests, laid out anew.
void MainWindow::OnDpiChanged(UINT dpi, const RECT& suggested) {
  dpi_ = dpi;
  ChangeDpi(hwnd_, dpi_, suggested, fonts_, [this] { ApplyFonts(); });
  Layout();
}

// The wait pointer, and the keyboard focus: kept when the window is left,
// given back when it returns, moved by access keys.
std::optional<LRESULT> MainWindow::OnFocusMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SETCURSOR:
      if (wait_pointer_ && LOWORD(lparam) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      return std::nullopt;
    case WM_ACTIVATE:
      // The keyboard focus comes back to the control that had it.
      if (LOWORD(wparam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd_, focus)) focus_ = focus;
        return 0;
      }
      return std::nullopt;
    case WM_SETFOCUS: {
      HWND target = focus_ != nullptr && IsWindowEnabled(focus_) ? focus_ : nullptr;
      if (target == nullptr) target = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    case WM_NEXTDLGCTL:
      // The dialog manager moves the focus with this for access keys; a
      // window that is not a dialog box does it itself.
      SetFocus(LOWORD(lparam) != 0 ? reinterpret_cast<HWND>(wparam)
                                   : GetNextDlgTabItem(hwnd_, GetFocus(), wparam != 0));
      return 0;
    default:
      return std::nullopt;
  }
}

// Closing (at once, or once the handlers have returned) and the end of the
// session.
std::optional<LRESULT> MainWindow::OnCloseMessage(UINT message, WPARAM wparam) {
  switch (message) {
    case kCloseNow:
      PostMessageW(hwnd_, WM_CLOSE, 0, 0);
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_QUERYENDSESSION:
      // Log-off and shutdown wait while blocks are being sent; the reason
      // given to the system says why (ShutdownBlockReasonCreate).
      return busy_ ? FALSE : TRUE;
    case WM_ENDSESSION:
      if (wparam != FALSE) OnEndSession();
      return 0;
    default:
      return std::nullopt;
  }
}

// The session ends: a download stops after its current command; otherwise the
// model unloads and the placement is kept, as on closing.
void MainWindow::OnEndSession() {
  if (busy_) {
    // The session ends regardless: the next block at least is not sent.
    RequestStop();
  } else if (!closed_) {
    form_.Form_Unload();
    SavePlacement();
    closed_ = true;
  }
}

void MainWindow::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  RECT target = target_panel_;
  RECT release = release_panel_;
  DrawEdge(dc, &target, EDGE_ETCHED, BF_RECT);
  DrawEdge(dc, &release, EDGE_ETCHED, BF_RECT);
  EndPaint(hwnd_, &paint);
  if (!painted_) {
    painted_ = true;
    PostMessageW(hwnd_, kFirstPainted, 0, 0);
  }
}

void MainWindow::DrawItem(const DRAWITEMSTRUCT& item) {
  const RECT& area = item.rcItem;
  HDC dc = item.hDC;
  if (item.hwndItem == image1_) {
    FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
    if (picture_ != nullptr) {
      const int side = Scale(kPictureHeight, dpi_);
      DrawIconEx(dc, area.left + (area.right - area.left - side) / 2, area.top, picture_, side,
                 side, 0, nullptr, DI_NORMAL);
    }
    return;
  }
  const std::wstring text = WindowText(item.hwndItem);
  if (item.hwndItem == banner_) {
    if (simulated_) {
      DrawNotice(dc, area, text, kBannerSimulated, fonts_->bold(), dpi_,
                 DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    } else {
      FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
      DrawNotice(dc, area, text,
                 {GetSysColor(COLOR_BTNFACE), kBannerPlain, GetSysColor(COLOR_BTNFACE)},
                 fonts_->ui(), dpi_, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }
    return;
  }
  const NoticeColours& colours = item.hwndItem == scan_notes_ ? kScanNotes : kHistoryNotes;
  DrawNotice(dc, area, text, colours, fonts_->ui(), dpi_, DT_LEFT | DT_WORDBREAK);
}

void MainWindow::OnCommand(int id, int code) {
  switch (id) {
    case kIdScsiScan:
      Rescan();
      break;
    case kIdHistory:
      ShowHistory();
      break;
    case kIdComboHA:
    case kIdComboID:
      OnComboNotification(id, code);
      break;
    case kIdFile1:
      if (code == LBN_SELCHANGE && !rendering_) {
        const int row = static_cast<int>(SendMessageW(file1_, LB_GETCURSEL, 0, 0));
        if (row >= 0) RunHandler([this, row] { form_.File1.SetListIndex(row); });
      }
      break;
    case kIdCommand1:
      if (code == BN_CLICKED) RunHandler([this] { Download(); });
      break;
    case kIdTyusi:
      if (code == BN_CLICKED) {
        RunHandler([this] { form_.Tyusi_Click(); });
        if (busy_) {
          AcknowledgeAbort(L"Abort requested \u2013 the download stops after the current command");
        }
      }
      break;
    default:
      break;  // IDOK and IDCANCEL from Enter and Escape: nothing to do
  }
}

// A choice in a list is what the operator picks: an item taken from the open
// list (even the one chosen already), or another item chosen with the keys
// while the list is closed. Moving through the open list chooses nothing yet.
void MainWindow::OnComboNotification(int id, int code) {
  if (rendering_) return;
  const HWND view = id == kIdComboHA ? combo_ha_ : combo_id_;
  ComboBox& model = id == kIdComboHA ? form_.ComboHA : form_.ComboID;
  const int index = static_cast<int>(SendMessageW(view, CB_GETCURSEL, 0, 0));
  bool choose = false;
  switch (code) {
    case CBN_DROPDOWN:
      combo_dropped_ = true;
      break;
    case CBN_SELENDOK:
      choose = index >= 0 && (combo_dropped_ || index != model.ListIndex());
      combo_dropped_ = false;
      break;
    case CBN_SELENDCANCEL:
      combo_dropped_ = false;
      break;
    case CBN_SELCHANGE:
      choose = index >= 0 && SendMessageW(view, CB_GETDROPPEDSTATE, 0, 0) == FALSE &&
               index != model.ListIndex();
      break;
    default:
      break;
  }
  if (choose) RunHandler([&model, index] { model.SetListIndex(index); });
}

void MainWindow::Rescan() {
  if (!IsWindowEnabled(hwnd_)) return;
  ScanResult scan;
  RunHandler([this, &scan] { scan = form_.Scan(); });
  RenderScanNotes();
  VerifyScanned(scan);
}

void MainWindow::AcknowledgeAbort(const std::wstring& notice) {
  // Shown at once, even while the executor is still waiting for the drive:
  // the operator must see that the click counted and not power the drive off.
  abort_acknowledged_ = true;
  EnableWindow(tyusi_, FALSE);
  SetText(abort_notice_, notice);
  ShowWindow(abort_notice_, SW_SHOW);
  Layout();
  RedrawWindow(tyusi_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  RedrawWindow(abort_notice_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  RedrawWindow(wait_info_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void MainWindow::SetHistory(history::Log* log) {
  if (history_) history_->on_warning = nullptr;
  history_ = log;
  if (history_) history_->on_warning = [this](const std::string& w) { HistoryWarning(w); };
}

void MainWindow::HistoryWarning(const std::string& text) {
  notes_.Warning(text);
  RenderHistoryNotes();
}

// Command1_Click with the attempt recorded in the download history.
void MainWindow::Download() {
  notes_.Downloaded(form_.StartDownload(history_));
  RenderHistoryNotes();
  if (history_window_ && history_window_->Visible()) history_window_->Reload();
}

// After a scan: for each listed drive whose last download finished, whether its
// firmware has changed since (shown until the next scan).
void MainWindow::VerifyScanned(const ScanResult& scan) {
  notes_.Scanned(history_, scan);
  RenderHistoryNotes();
}

void MainWindow::RenderHistoryNotes() {
  std::vector<std::wstring> lines;
  for (const auto& line : notes_.Lines()) lines.push_back(Simplified(OneLine(line)));
  ShowNotice(history_notes_, Joined(lines));
}

void MainWindow::ShowNotice(HWND notice, const std::wstring& text) {
  const bool was_visible = IsWindowVisible(notice) != FALSE;
  const bool changed = WindowText(notice) != text;
  if (changed) SetWindowTextW(notice, text.c_str());
  ShowWindow(notice, text.empty() ? SW_HIDE : SW_SHOWNA);
  if (changed || was_visible != !text.empty()) {
    Layout();
    RedrawWindow(notice, nullptr, nullptr, RDW_INVALIDATE);
  }
}

void MainWindow::ShowHistory() {
  const std::string path = history_ != nullptr ? history_->path() : std::string();
  if (history_window_ == nullptr) {
    history_window_ = std::make_unique<HistoryWindow>(path, hwnd_, window_system_);
  } else {
    history_window_->Reload();
  }
  history_window_->Show();
}

// The summary follows the chosen file and target; it is made only between
// handlers and never while a download runs (the file is being sent then).
void MainWindow::UpdateReleaseSummary() {
  if (busy_ || handler_depth_ > 0) return;
  const std::string& file = form_.Label4.Caption;
  const std::string entry = form_.ComboID.Text();
  std::string key = form_.FirmwareDir;
  key.append(1, '\0').append(file).append(1, '\0').append(entry);
  if (key == summary_key_) return;
  summary_key_ = std::move(key);
  if (file.find_first_not_of(' ') == std::string::npos) {
    SetText(release_summary_, L"");
    ShowWindow(release_summary_, SW_HIDE);
    return;
  }
  const ReleasePreview preview = PreviewRelease(form_.FirmwareDir, file, entry);
  summary_ok_ = preview.ok;
  SetText(release_summary_, OneLine(PreviewText(preview)));
  ShowWindow(release_summary_, SW_SHOWNA);
  InvalidateRect(release_summary_, nullptr, TRUE);
}

void MainWindow::RenderScanNotes() {
  const auto manager = InstalledAspiManager();
  const std::string notes = manager ? manager->Notes() : std::string();
  ShowNotice(scan_notes_, Trimmed(MessageBoxText(notes)));
}

void MainWindow::ShowWait(const CommandWait& wait) {
  if (wait.elapsed < std::chrono::seconds(1)) return;
  SetText(wait_info_, FromModel(DescribeWait(wait)));
}

void MainWindow::EndWait() {
  SetText(wait_info_, L"");
}

void MainWindow::RequestStop() {
  if (busy_) {
    // Like Abort: the command in flight completes, the next block is not sent.
    close_when_done_ = true;
    RunHandler([this] { form_.Tyusi_Click(); });
    AcknowledgeAbort(
        L"Stop requested \u2013 the download stops after the current command, then the window "
        L"closes");
    return;
  }
  if (handler_depth_ > 0) {
    // A scan or a question is under way: let it return first. A box waiting
    // for an answer gets its safe one (Cancel where there is one).
    close_when_done_ = true;
    if (HWND box = window_system_.OpenMessageBox()) {
      const int answer = GetDlgItem(box, IDCANCEL) != nullptr ? IDCANCEL : IDOK;
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
    }
    return;
  }
  PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void MainWindow::RunHandler(const std::function<void()>& handler) {
  ++handler_depth_;
  try {
    handler();
  } catch (const std::exception& e) {
    // Nothing should escape a handler; if something does, say so instead of
    // letting it unwind through the message loop.
    const std::wstring text = L"Internal error: " + FromModel(e.what());
    MessageBoxW(hwnd_, text.c_str(), WindowText(hwnd_).c_str(), MB_ICONHAND | MB_OK);
  }
  --handler_depth_;
  Render();
  UpdateReleaseSummary();
  if (on_handler_finished) on_handler_finished();
  if (handler_depth_ == 0 && close_when_done_) {
    close_when_done_ = false;
    PostMessageW(hwnd_, kCloseNow, 0, 0);
  }
}

void MainWindow::Render() {
  rendering_ = true;
  SetText(tyusi_, WithAccessKey(FromModel(form_.Tyusi.Caption), L'A'));
  const bool tyusi_enabled = form_.Tyusi.Enabled && !abort_acknowledged_;
  if ((IsWindowEnabled(tyusi_) != FALSE) != tyusi_enabled) EnableWindow(tyusi_, tyusi_enabled);
  SetText(command1_, WithAccessKey(FromModel(form_.Command1.Caption), L'D'));
  if ((IsWindowEnabled(command1_) != FALSE) != form_.Command1.Enabled) {
    EnableWindow(command1_, form_.Command1.Enabled);
  }
  RenderList(file1_, form_.File1, false);
  RenderText1();
  RenderList(combo_ha_, form_.ComboHA, true);
  RenderList(combo_id_, form_.ComboID, true);
  SetText(label4_, OneLine(form_.Label4.Caption));
  SetText(fwver_, OneLine(form_.FWVer.Caption));
  SetText(label3_[0], WithAccessKey(OneLine(form_.Label3[0].Caption), L'F'));
  SetText(label3_[1], OneLine(form_.Label3[1].Caption));
  SetText(label3_[2], OneLine(form_.Label3[2].Caption));
  SetText(label1_, OneLine(form_.Label1.Caption));
  SetText(label2_, WithAccessKey(OneLine(form_.Label2.Caption), L'I'));
  // A rescan re-selects the target; never while a download is sending to it.
  bool changed =
      RenderMenuItem(menu_, 0, true, WithAccessKey(FromModel(form_.SCSIMode.Caption), L'S'),
                     form_.SCSIMode.Enabled);
  changed |= RenderMenuItem(scsi_mode_, kIdScsiScan, false,
                            WithAccessKey(FromModel(form_.Scsi_Scan.Caption), L'R'),
                            form_.Scsi_Scan.Enabled && !busy_);
  if (changed) DrawMenuBar(hwnd_);
  rendering_ = false;
}

void MainWindow::RenderText1() {
  SetText(text1_, OneLine(form_.Text1.Text));
  const std::wstring full = MessageBoxText(form_.Text1.Text);
  text1_tip_ = full.find(L'\n') != std::wstring::npos ? full : std::wstring();
  if (text1_tip_.empty()) SendMessageW(tooltip_, TTM_POP, 0, 0);
}

void MainWindow::RenderProgress(int index, int count) {
  const int range = count > 0 ? count : 1;
  SendMessageW(progress_, PBM_SETRANGE32, 0, range);
  SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(index), 0);
  progress_text_ = std::to_wstring(index) + L" / " + std::to_wstring(range) + L" blocks";
  InvalidateRect(progress_, nullptr, TRUE);
}

// No block counted yet: an empty bar without text.
void MainWindow::ClearProgress() {
  SendMessageW(progress_, PBM_SETRANGE32, 0, 1);
  SendMessageW(progress_, PBM_SETPOS, 0, 0);
  progress_text_.clear();
  InvalidateRect(progress_, nullptr, TRUE);
}

void MainWindow::RefreshControl(std::string_view name) {
  if (name == "Text1") {
    RenderText1();
    RedrawWindow(text1_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    return;
  }
  Render();
  for (const ControlName& control : kControlNames) {
    if (name != control.name) continue;
    if (HWND child = GetDlgItem(hwnd_, control.id)) {
      RedrawWindow(child, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    }
  }
}

void MainWindow::SetPointer(int pointer) {
  wait_pointer_ = pointer == kPointerHourglass;
  // The pointer changes at once where it is over the window, not only at the
  // next move of the mouse.
  POINT at;
  if (!GetCursorPos(&at)) return;
  HWND under = WindowFromPoint(at);
  if (under == hwnd_ || IsChild(hwnd_, under)) {
    SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  }
}

void MainWindow::OnModelEvent(const MainEvent& e) {
  switch (e.kind) {
    case MainEvent::kStatus:
      RenderText1();
      break;
    case MainEvent::kBusy:
      busy_ = e.busy;
      if (abort_acknowledged_) {
        abort_acknowledged_ = false;
        SetText(abort_notice_, L"");
        ShowWindow(abort_notice_, SW_HIDE);
        Layout();
      }
      if (busy_) {
        ClearProgress();
        // Log-off and shutdown are refused until the download has ended.
        ShutdownBlockReasonCreate(hwnd_,
                                  L"Writing firmware to the drive. Switching off now would leave "
                                  L"the drive without working firmware.");
      } else {
        ShutdownBlockReasonDestroy(hwnd_);
      }
      EnableWindow(progress_, busy_);
      Render();
      // The keyboard stays usable: Space presses Abort while the drive works.
      if (busy_ && (GetFocus() == nullptr || !IsWindowEnabled(GetFocus()))) SetFocus(tyusi_);
      if (!busy_ && GetFocus() != nullptr && !IsWindowEnabled(GetFocus())) SetFocus(command1_);
      break;
    case MainEvent::kBlockSent:
      RenderProgress(e.index, e.count);
      break;
    case MainEvent::kNotice:
      // Shown below the lists with the history's notes, until the next scan.
      HistoryWarning(e.text);
      break;
    case MainEvent::kTargetItem:
    case MainEvent::kFirmware:
    case MainEvent::kAdapterItem:
      Render();
      break;
  }
}

bool MainWindow::OnClose() {
  // Closing while blocks are being sent would leave the drive half written
  // with nobody told; the window stays until the download has finished.
  if (busy_ || closed_) return false;
  if (handler_depth_ > 0) {
    // A scan or a box is under way: the window closes once it has returned.
    close_when_done_ = true;
    return false;
  }
  form_.Form_Unload();
  SavePlacement();
  closed_ = true;
  ShowWindow(hwnd_, SW_HIDE);
  if (on_closed) on_closed();
  return true;
}

}  // namespace qx::win32
