#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <algorithm>
#include <cwchar>

#include "text/text.h"
#include "ui/win32/control_ids.h"
#include "ui/win32/history_window.h"
#include "ui/win32/registry_settings_store.h"
#include "ui/win32/resources/resource.h"
#include "ui/win32/text.h"
#include "ui/win32/widgets.h"
#include "ui/win32/win32_window_system.h"

namespace qx::win32 {

namespace {

using Part = ::qx::ControlId;

// Posted after the first WM_PAINT, so that scripts start once the window shows.
constexpr UINT kFirstPainted = WM_APP + 1;

constexpr int kPictureSide = 96;  // Image1's icon, at 96 DPI

// The simulated-bus banner keeps its own colours, readable on any theme (9:1).
constexpr PanelColours kBannerSimulated{RGB(0xff, 0xd8, 0x4d), RGB(0x3a, 0x2e, 0x00),
                                        RGB(0xc9, 0xa4, 0x00)};

// Controls that take the focus; each is a group of its own, so that the
// arrow keys stay with the control (the dialog manager moves within groups).
constexpr DWORD kTab = WS_TABSTOP | WS_GROUP;

// The child windows in their z-order, which is the order Tab goes through
// them. A label comes just before the control it names: its access key moves
// the focus there, and a screen reader takes its text as the control's name.
struct Child {
  Part part;
  int id;
  const wchar_t* window_class;
  DWORD style;
  DWORD ex_style;
};
const Child kChildren[] = {
    {Part::kBanner, kIdBanner, WC_STATICW, SS_OWNERDRAW, 0},
    {Part::kImage1, kIdImage1, WC_STATICW, SS_OWNERDRAW, 0},
    {Part::kLabel1, kIdLabel1, WC_STATICW, SS_LEFT, 0},
    {Part::kComboHA, kIdComboHA, WC_COMBOBOXW, CBS_DROPDOWNLIST | WS_VSCROLL | kTab, 0},
    {Part::kLabel2, kIdLabel2, WC_STATICW, SS_LEFT, 0},
    {Part::kComboID, kIdComboID, WC_COMBOBOXW, CBS_DROPDOWNLIST | WS_VSCROLL | kTab, 0},
    {Part::kLabel3_2, kIdLabel3_2, WC_STATICW, SS_LEFT, 0},
    // The values are read-only text boxes: the keyboard reaches them.
    {Part::kFWVer, kIdFWVer, WC_EDITW, ES_READONLY | ES_AUTOHSCROLL | kTab, WS_EX_CLIENTEDGE},
    {Part::kScanNotes, kIdScanNotes, WC_STATICW, SS_OWNERDRAW, 0},
    {Part::kRestartElevated, kIdRestartElevated, WC_BUTTONW, BS_PUSHBUTTON | kTab, 0},
    {Part::kNotes, kIdHistoryNotes, WC_STATICW, SS_OWNERDRAW, 0},
    {Part::kLabel3_0, kIdLabel3_0, WC_STATICW, SS_LEFT, 0},
    {Part::kFile1, kIdFile1, WC_LISTBOXW, LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | kTab,
     WS_EX_CLIENTEDGE},
    {Part::kOpenRelease, kIdOpenRelease, WC_BUTTONW, BS_PUSHBUTTON | kTab, 0},
    {Part::kLabel3_1, kIdLabel3_1, WC_STATICW, SS_LEFT, 0},
    {Part::kLabel4, kIdLabel4, WC_EDITW, ES_READONLY | ES_AUTOHSCROLL | kTab, WS_EX_CLIENTEDGE},
    {Part::kReleaseSummary, kIdReleaseSummary, WC_STATICW, SS_LEFT | SS_NOPREFIX, 0},
    // Neither button is a default button: Enter presses only the focused one.
    {Part::kCommand1, kIdCommand1, WC_BUTTONW, BS_PUSHBUTTON | kTab, 0},
    {Part::kCheckDrive, kIdCheckDrive, WC_BUTTONW, BS_PUSHBUTTON | kTab, 0},
    {Part::kTyusi, kIdTyusi, WC_BUTTONW, BS_PUSHBUTTON | kTab, 0},
    {Part::kProgress, kIdProgress, PROGRESS_CLASSW, PBS_SMOOTH, 0},
    {Part::kWaitInfo, kIdWaitInfo, WC_STATICW, SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0},
    {Part::kAbortNotice, kIdAbortNotice, WC_STATICW, SS_RIGHT | SS_NOPREFIX, 0},
    {Part::kText1, kIdText1, WC_EDITW, ES_READONLY | ES_AUTOHSCROLL | kTab, WS_EX_CLIENTEDGE},
};

bool IsStatic(Part id) {
  for (const Child& c : kChildren) {
    if (c.part == id) return std::wcscmp(c.window_class, WC_STATICW) == 0;
  }
  return false;
}

// Shown only while they have something to say (or, the restart, to offer).
bool IsNotice(Part id) {
  return id == Part::kScanNotes || id == Part::kNotes || id == Part::kReleaseSummary ||
         id == Part::kAbortNotice || id == Part::kRestartElevated;
}

// EVENT_OBJECT_LIVEREGIONCHANGED (Windows 8 and later), where the headers
// lack it.
constexpr DWORD kLiveRegionChanged = 0x8019;

// The Open dialog of the system (the common item dialog) for one release,
// starting in `folder`; empty when the operator cancels it.
std::wstring AskForRelease(HWND owner, const std::wstring& folder) {
  IFileOpenDialog* dialog = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFileOpenDialog, reinterpret_cast<void**>(&dialog)))) {
    return {};
  }
  const COMDLG_FILTERSPEC filters[] = {{L"Releases (*.OUB)", L"*.OUB"},
                                       {L"All files (*.*)", L"*.*"}};
  dialog->SetFileTypes(2, filters);
  dialog->SetTitle(L"Open Release");
  dialog->SetOptions(FOS_FILEMUSTEXIST | FOS_PATHMUSTEXIST | FOS_FORCEFILESYSTEM);
  IShellItem* start = nullptr;
  if (!folder.empty() &&
      SUCCEEDED(SHCreateItemFromParsingName(folder.c_str(), nullptr, IID_IShellItem,
                                            reinterpret_cast<void**>(&start)))) {
    dialog->SetFolder(start);
    start->Release();
  }
  std::wstring path;
  IShellItem* chosen = nullptr;
  if (SUCCEEDED(dialog->Show(owner)) && SUCCEEDED(dialog->GetResult(&chosen))) {
    wchar_t* name = nullptr;
    if (SUCCEEDED(chosen->GetDisplayName(SIGDN_FILESYSPATH, &name))) {
      path = name;
      CoTaskMemFree(name);
    }
    chosen->Release();
  }
  dialog->Release();
  return path;
}

// The text a part's window shows; nullopt where it is not the model's text
// (the lists, the bar, the banner).
std::optional<std::wstring> ShownText(Part id, const ControlState& c) {
  switch (id) {
    case Part::kBanner:
    case Part::kComboHA:
    case Part::kComboID:
    case Part::kFile1:
    case Part::kProgress:
      return std::nullopt;
    case Part::kImage1:
      return FromModel(c.name);  // drawn without text: its text is its name
    case Part::kScanNotes:
    case Part::kNotes:
      return MessageBoxText(c.text);
    default:
      // Captions carry their access key; values show as they are.
      return c.access_key != 0 ? OneLine(WithAccessKey(c.text, c.access_key)) : OneLine(c.text);
  }
}

std::wstring Trimmed(const std::wstring& text) {
  return FromModel(TrimSpaces(JoinedLines({ToUtf8(text)})));
}

}  // namespace

MainWindow::MainWindow(MainController& controller, Win32WindowSystem& window_system,
                       RegistrySettingsStore& placement, const std::string& title,
                       const std::string& banner, bool simulated)
    : controller_(controller),
      window_system_(window_system),
      placement_(placement),
      simulated_(simulated) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterWindowClass<MainWindow>(kMainClass, LoadIconW(instance, MAKEINTRESOURCEW(QX_ICON_APP)));
  CreateMenus();
  // WS_CLIPCHILDREN: the panels drawn by the window never paint over its controls.
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kMainClass, FromModel(title).c_str(),
                          WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, nullptr, menu_, instance, this);
  dpi_ = GetDpiForWindow(hwnd_);
  fonts_ = std::make_unique<Fonts>(dpi_);
  CreateControls();
  SetText(Control(Part::kBanner), FromModel(banner));
  ApplyFonts();
  // Never larger than the screen it opens on.
  RECT frame{0, 0, Scale(kMainClient.cx, dpi_), Scale(kMainClient.cy, dpi_)};
  AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW, TRUE, WS_EX_CONTROLPARENT, dpi_);
  MONITORINFO screen{};
  screen.cbSize = sizeof screen;
  GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &screen);
  const RECT& work = screen.rcWork;
  SetWindowPos(hwnd_, nullptr, 0, 0,
               std::min(frame.right - frame.left, (work.right - work.left) * 9 / 10),
               std::min(frame.bottom - frame.top, (work.bottom - work.top) * 9 / 10),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  ACCEL keys[] = {{FVIRTKEY, VK_F5, kIdScsiScan},
                  {FVIRTKEY | FCONTROL, 'H', kIdHistory},
                  {FVIRTKEY | FCONTROL, 'O', kIdOpenRelease}};
  shortcuts_ = CreateAcceleratorTableW(keys, 3);
  // A release dropped on the window is opened as the Open dialog would.
  DragAcceptFiles(hwnd_, TRUE);
  window_system_.AddWindow(hwnd_, shortcuts_);
  controller_.Attach(this);
}

MainWindow::~MainWindow() {
  controller_.Attach(nullptr);
  history_window_.reset();
  window_system_.RemoveWindow(hwnd_);
  EndProgressText(Control(Part::kProgress));
  DestroyWindow(hwnd_);
  DestroyAcceleratorTable(shortcuts_);
  if (picture_ != nullptr) DestroyIcon(picture_);
}

void MainWindow::CreateMenus() {
  menu_ = CreateMenu();
  scsi_mode_ = CreatePopupMenu();
  AppendMenuW(scsi_mode_, MF_STRING, kIdScsiScan, L"");
  AppendMenuW(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(scsi_mode_), L"");
  // The history sits beside the defined menu, after it.
  AppendMenuW(menu_, MF_STRING, kIdHistory, L"");
}

void MainWindow::CreateControls() {
  for (const Child& c : kChildren) {
    controls_[static_cast<size_t>(c.part)] = CreateWindowExW(
        c.ex_style, c.window_class, L"", WS_CHILD | WS_VISIBLE | c.style, 0, 0, 0, 0, hwnd_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), GetModuleHandleW(nullptr), nullptr);
  }
  // The system's shield: the restart asks for an administrator's consent.
  SendMessageW(Control(Part::kRestartElevated), BCM_SETSHIELD, 0, TRUE);
  for (Part id : {Part::kRestartElevated, Part::kScanNotes, Part::kNotes, Part::kReleaseSummary,
                  Part::kAbortNotice}) {
    ShowWindow(Control(id), SW_HIDE);
  }
  HWND progress = Control(Part::kProgress);
  EnableWindow(progress, FALSE);
  DrawProgressText(progress, &controller_.State().progress);

  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = hwnd_;
  tool.uId = reinterpret_cast<UINT_PTR>(Control(Part::kText1));
  tool.lpszText = LPSTR_TEXTCALLBACKW;
  SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, Scale(600, dpi_));
}

void MainWindow::ApplyFonts() {
  for (HWND child = GetWindow(hwnd_, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->ui()), FALSE);
  }
  SendMessageW(Control(Part::kComboID), WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->fixed()),
               FALSE);
  SendMessageW(Control(Part::kAbortNotice), WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->bold()),
               FALSE);
  SendMessageW(tooltip_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_->ui()), FALSE);
  if (picture_ != nullptr) DestroyIcon(picture_);
  const int side = Scale(kPictureSide, dpi_);
  picture_ = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(QX_ICON_APP),
                                           IMAGE_ICON, side, side, LR_DEFAULTCOLOR));
}

// --- the state --------------------------------------------------------------

void MainWindow::Apply(const ViewState& state) {
  const bool was_busy = IsWindowEnabled(Control(Part::kProgress)) != FALSE;
  applying_ = true;
  auto caption = [&state](Part id) {
    return OneLine(WithAccessKey(state[id].text, state[id].access_key));
  };
  bool menus =
      ApplyMenuItem(menu_, 0, true, caption(Part::kSCSIMode), state[Part::kSCSIMode].enabled);
  menus |= ApplyMenuItem(scsi_mode_, kIdScsiScan, false, caption(Part::kScsiScan),
                         state[Part::kScsiScan].enabled);
  menus |= ApplyMenuItem(menu_, kIdHistory, false, caption(Part::kHistory),
                         state[Part::kHistory].enabled);
  if (menus) DrawMenuBar(hwnd_);

  const bool relayout = ApplyParts(state);
  ApplyList(Control(Part::kComboHA), state.adapters.items, state.adapters.index);
  ApplyList(Control(Part::kComboID), state.targets.items, state.targets.index);
  ApplyList(Control(Part::kFile1), state.files.items, state.files.index);
  HWND bar = Control(Part::kProgress);
  if (SendMessageW(bar, PBM_GETRANGE, FALSE, 0) != state.progress.maximum ||
      SendMessageW(bar, PBM_GETPOS, 0, 0) != state.progress.value) {
    SendMessageW(bar, PBM_SETRANGE32, 0, state.progress.maximum);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(state.progress.value), 0);
    InvalidateRect(bar, nullptr, TRUE);
    accessible_.Set(bar, AccessibleNames::kValue, FromModel(state.progress.text));
    accessible_.Set(bar, AccessibleNames::kDescription, FromModel(state.progress.text));
    NotifyChanged(bar, EVENT_OBJECT_VALUECHANGE);
  }
  const std::wstring full = MessageBoxText(state[Part::kText1].text);
  text1_tip_ = full.find(L'\n') != std::wstring::npos ? full : std::wstring();
  if (text1_tip_.empty()) SendMessageW(tooltip_, TTM_POP, 0, 0);
  applying_ = false;
  if (relayout) Layout();

  if (state.busy != was_busy) {
    // Log-off and shutdown are refused while blocks are being sent.
    if (state.busy) {
      ShutdownBlockReasonCreate(hwnd_,
                                L"Writing firmware to the drive. Switching off now would leave "
                                L"the drive without working firmware.");
    } else {
      ShutdownBlockReasonDestroy(hwnd_);
    }
  }
  if (state.focus) {
    // As the dialog manager moves it (a focused push button takes Enter).
    HWND focus = Control(*state.focus);
    if (focus != nullptr && IsWindowEnabled(focus)) {
      SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
    }
  }
  if (state.files.index >= 0 && (relayout || (state.focus && *state.focus == Part::kFile1))) {
    // The chosen file in view, also after the list became shorter.
    ScrollIntoView(Control(Part::kFile1), state.files.index);
  }
  for (const Announcement& a : state.announcements) Announce(a);
}

bool MainWindow::ApplyParts(const ViewState& state) {
  bool relayout = false;
  for (size_t i = 0; i < kControlCount; ++i) {
    const auto id = static_cast<Part>(i);
    HWND w = Control(id);
    if (w == nullptr) continue;
    const ControlState& c = state.controls[i];
    const std::optional<std::wstring> shown = ShownText(id, c);
    const bool changed = shown && SetText(w, *shown);
    if ((IsWindowEnabled(w) != FALSE) != c.enabled) EnableWindow(w, c.enabled);
    if (IsNotice(id)) {
      const bool visible = Shown(w);
      if (visible != c.visible) ShowWindow(w, c.visible ? SW_SHOWNA : SW_HIDE);
      // The notes' height and the abort notice's width follow their texts.
      relayout |= visible != c.visible || (changed && id != Part::kReleaseSummary);
      if (changed) InvalidateRect(w, nullptr, TRUE);
    }
    ApplyAccessible(id, c, shown ? *shown : WindowText(w));
  }
  return relayout;
}

// The name the controller gives each part. A static that shows a value
// under a fixed name (the notes, the summary) has the value as its
// accessible value; text boxes and lists have their own.
void MainWindow::ApplyAccessible(Part id, const ControlState& c, const std::wstring& shown) {
  HWND w = Control(id);
  const std::wstring name = FromModel(c.name);
  if (name.empty()) return;
  accessible_.Set(w, AccessibleNames::kName, name);
  if (IsStatic(id) && id != Part::kImage1) {
    const std::wstring value = Trimmed(shown);
    accessible_.Set(w, AccessibleNames::kValue, value == Trimmed(name) ? std::wstring() : value);
  }
}

// A screen reader hears the change from the control it is about: a new value
// (the status line, the notes), or a new name where the text is the name.
void MainWindow::Announce(const Announcement& a) {
  HWND w = Control(a.source) != nullptr ? Control(a.source) : hwnd_;
  const bool named_by_text =
      Trimmed(FromModel(controller_.State()[a.source].name)) == Trimmed(WindowText(w));
  NotifyChanged(w, named_by_text ? EVENT_OBJECT_NAMECHANGE : EVENT_OBJECT_VALUECHANGE);
  // Screen readers that follow live regions say it even where the focus is not.
  NotifyChanged(w, kLiveRegionChanged);
}

void MainWindow::PaintNow(Part id) {
  if (HWND w = Control(id)) {
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
    RedrawWindow(hwnd_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
}

void MainWindow::PostClose() {
  PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void MainWindow::AnswerOpenBox() {
  if (HWND box = window_system_.OpenMessageBox()) {
    const int answer = GetDlgItem(box, IDCANCEL) != nullptr ? IDCANCEL : IDOK;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
  }
}

// Not modal, so Abort stays reachable during a download.
void MainWindow::ShowHistory(const std::string& path) {
  if (history_window_ == nullptr) {
    history_window_ = std::make_unique<HistoryWindow>(path, hwnd_, window_system_);
  } else {
    history_window_->Reload();
  }
  history_window_->Show();
}

void MainWindow::ReloadHistory() {
  if (history_window_ && history_window_->Visible()) history_window_->Reload();
}

// --- layout and placement ---------------------------------------------------

void MainWindow::Layout() {
  frames_ = LayOutMainWindow(hwnd_, controls_, *fonts_, dpi_);
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void MainWindow::Show(int show_command) {
  ShowAtSavedPlace(hwnd_, placement_, L"MAIN", show_command);
  Layout();
  UpdateWindow(hwnd_);
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

// --- messages ---------------------------------------------------------------

// The messages of the window; the rest goes to the dialog manager, which moves
// the focus (Tab, the labels' access keys) and keeps it while the window is
// inactive.
LRESULT MainWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  if (const auto drawn = OnDrawMessage(message, wparam, lparam)) return *drawn;
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
      break;
    }
    case DM_GETDEFID:
      return 0;  // no default button: Enter presses only a focused button
    case WM_SIZE:
      if (wparam != SIZE_MINIMIZED) Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      RECT frame{0, 0, Scale(kMainMinimumClient.cx, dpi_), Scale(kMainMinimumClient.cy, dpi_)};
      AdjustWindowRectExForDpi(&frame, WS_OVERLAPPEDWINDOW, TRUE, WS_EX_CONTROLPARENT, dpi_);
      auto* limits = reinterpret_cast<MINMAXINFO*>(lparam);
      limits->ptMinTrackSize = POINT{frame.right - frame.left, frame.bottom - frame.top};
      return 0;
    }
    case WM_DPICHANGED:
      // Fonts for the new DPI, the window where the system suggests, laid out anew.
      dpi_ = HIWORD(wparam);
      ChangeDpi(hwnd_, dpi_, *reinterpret_cast<const RECT*>(lparam), fonts_,
                [this] { ApplyFonts(); });
      Layout();
      return 0;
    case WM_SETCURSOR:
      if (wait_pointer_ && LOWORD(lparam) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DROPFILES:
      OnDrop(reinterpret_cast<HDROP>(wparam));
      return 0;
    case WM_QUERYENDSESSION:
      // Log-off and shutdown wait while blocks are being sent; the reason
      // given to the system says why (ShutdownBlockReasonCreate).
      return controller_.Busy() ? FALSE : TRUE;
    case WM_ENDSESSION:
      if (wparam != FALSE) OnEndSession();
      return 0;
    default:
      break;
  }
  return DefDlgProcW(hwnd_, message, wparam, lparam);
}

// The owner-drawn controls, the colours of the texts with a role, the
// panels' frames and the note that the window has painted once.
std::optional<LRESULT> MainWindow::OnDrawMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DRAWITEM:
      DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
      return TRUE;
    case WM_CTLCOLORSTATIC: {
      const auto control = reinterpret_cast<HWND>(lparam);
      for (Part id : {Part::kReleaseSummary, Part::kAbortNotice}) {
        if (control != Control(id)) continue;
        const auto dc = reinterpret_cast<HDC>(wparam);
        const Rgb face = SystemColour(COLOR_BTNFACE);
        SetTextColor(dc, ToColorref(RoleColour(controller_.State()[id].role, face)));
        SetBkColor(dc, ToColorref(face));
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

void MainWindow::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  RECT target = frames_.target;
  RECT release = frames_.release;
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
  if (item.hwndItem == Control(Part::kImage1)) {
    FillRect(dc, &area, GetSysColorBrush(COLOR_BTNFACE));
    if (picture_ != nullptr) {
      const int side = Scale(kPictureSide, dpi_);
      DrawIconEx(dc, area.left + (area.right - area.left - side) / 2, area.top, picture_, side,
                 side, 0, nullptr, DI_NORMAL);
    }
    return;
  }
  const std::wstring text = WindowText(item.hwndItem);
  if (item.hwndItem == Control(Part::kBanner)) {
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const PanelColours plain{
        face, ToColorref(ReadableOn(SystemColour(COLOR_BTNFACE), Rgb{0x4a, 0x4a, 0x4a})), face};
    DrawNotice(dc, area, text, simulated_ ? kBannerSimulated : plain,
               simulated_ ? fonts_->bold() : fonts_->ui(), dpi_,
               DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    return;
  }
  const Part id = item.hwndItem == Control(Part::kScanNotes) ? Part::kScanNotes : Part::kNotes;
  const Role role = controller_.State()[id].role;
  DrawNotice(dc, area, text, NoticeColours(role == Role::kPlain ? Role::kInfo : role), fonts_->ui(),
             dpi_, DT_LEFT | DT_WORDBREAK);
}

// --- intents ----------------------------------------------------------------

void MainWindow::OnCommand(int id, int code) {
  switch (id) {
    case kIdScsiScan:
      controller_.Rescan();
      break;
    case kIdHistory:
      controller_.ShowHistory();
      break;
    case kIdOpenRelease:
      // Ctrl+O and the button; the list's state says whether it may change now.
      if (controller_.State()[Part::kOpenRelease].enabled) OpenRelease();
      break;
    case kIdRestartElevated:
      if (code == BN_CLICKED) controller_.RestartElevated();
      break;
    case kIdComboHA:
      OnComboNotification(Part::kComboHA, code);
      break;
    case kIdComboID:
      OnComboNotification(Part::kComboID, code);
      break;
    case kIdFile1:
      if (code == LBN_SELCHANGE && !applying_) {
        const int row = static_cast<int>(SendMessageW(Control(Part::kFile1), LB_GETCURSEL, 0, 0));
        controller_.ChooseFile(row);
      }
      break;
    case kIdCommand1:
      if (code == BN_CLICKED) controller_.Download();
      break;
    case kIdTyusi:
      if (code == BN_CLICKED) controller_.Abort();
      break;
    case kIdCheckDrive:
      if (code == BN_CLICKED) controller_.CheckDrive();
      break;
    case IDCANCEL:
      controller_.Abort();  // Escape anywhere in the window
      break;
    default:
      break;  // IDOK from Enter where no button has the focus: nothing to do
  }
}

// A choice in a list is what the operator picks: an item taken from the open
// list (even the one chosen already), or another item chosen with the keys
// while the list is closed. Moving through the open list chooses nothing yet.
void MainWindow::OnComboNotification(Part id, int code) {
  if (applying_) return;
  HWND view = Control(id);
  const ListState& list =
      id == Part::kComboHA ? controller_.State().adapters : controller_.State().targets;
  const int index = static_cast<int>(SendMessageW(view, CB_GETCURSEL, 0, 0));
  bool choose = false;
  switch (code) {
    case CBN_DROPDOWN:
      combo_dropped_ = true;
      break;
    case CBN_SELENDOK:
      choose = index >= 0 && (combo_dropped_ || index != list.index);
      combo_dropped_ = false;
      break;
    case CBN_SELENDCANCEL:
      combo_dropped_ = false;
      break;
    case CBN_SELCHANGE:
      choose = index >= 0 && SendMessageW(view, CB_GETDROPPEDSTATE, 0, 0) == FALSE &&
               index != list.index;
      break;
    default:
      break;
  }
  if (!choose) return;
  if (id == Part::kComboHA) {
    controller_.ChooseAdapter(index);
  } else {
    controller_.ChooseTarget(index);
  }
}

void MainWindow::OpenRelease() {
  const std::wstring path = AskForRelease(hwnd_, FromModel(controller_.State().folder));
  if (!path.empty()) controller_.OpenRelease(ToUtf8(path));
}

// One file dropped on the window: opened as a release (the controller says
// why when it is none); several: the first.
void MainWindow::OnDrop(HDROP drop) {
  std::wstring path;
  if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
    const UINT n = DragQueryFileW(drop, 0, nullptr, 0);
    path.resize(n + 1);
    path.resize(DragQueryFileW(drop, 0, path.data(), n + 1));
  }
  DragFinish(drop);
  if (!path.empty() && !controller_.Busy()) controller_.OpenRelease(ToUtf8(path));
}

bool MainWindow::OnClose() {
  if (!controller_.CloseRequested()) return false;
  SavePlace(hwnd_, placement_, L"MAIN");
  ShowWindow(hwnd_, SW_HIDE);
  if (on_closed) on_closed();
  return true;
}

// The session ends: a download stops after its current command; otherwise the
// model unloads and the placement is kept, as on closing.
void MainWindow::OnEndSession() {
  if (controller_.Busy()) {
    controller_.StopRequested();
  } else if (controller_.CloseRequested()) {
    SavePlace(hwnd_, placement_, L"MAIN");
  }
}

}  // namespace qx::win32
