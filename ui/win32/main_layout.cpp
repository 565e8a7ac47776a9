#include "ui/win32/main_layout.h"

#include <algorithm>

#include "ui/win32/widgets.h"

namespace qx::win32 {

namespace {

using Part = ::qx::ControlId;

constexpr int kMargin = 10;
constexpr int kTop = 8;
constexpr int kGap = 8;
constexpr int kPadding = 10;
constexpr int kCompactPadding = 6;
constexpr int kPictureWidth = 120;
constexpr int kPictureHeight = 96;
constexpr int kFieldHeight = 22;
constexpr int kButtonHeight = 24;
constexpr int kProgressHeight = 20;
constexpr int kLabelWidth = 22;   // "HA", "ID"
constexpr int kListHeight = 220;  // a combo box with its list open
// The release panel's height below which the layout goes compact, and its
// least height then.
constexpr int kRoomyRelease = 150;
constexpr int kCompactRelease = 110;
constexpr int kCompactGap = 4;

class Pass {
 public:
  Pass(HWND window, const std::array<HWND, kControlCount>& controls, const Fonts& fonts, UINT dpi)
      : window_(window), controls_(controls), fonts_(fonts), dpi_(dpi), place_(27) {}

  PanelFrames Run() {
    RECT client;
    GetClientRect(window_, &client);
    left_ = S(kMargin);
    width_ = client.right - 2 * left_;
    const int banner = fonts_.line_height() + S(10);
    int notices = 0;
    for (Part id : {Part::kScanNotes, Part::kNotes}) {
      if (Shown(At(id))) notices += NoticeHeightOf(id) + S(kGap);
    }
    if (Shown(At(Part::kRestartElevated))) notices += S(kButtonHeight + kGap);
    // Compact where the roomy layout would leave the release panel short.
    const int roomy_release = client.bottom - S(kTop) - banner - S(kGap) -
                              S(kPictureHeight + 2 * kPadding) - S(kGap) - notices -
                              BottomHeight(false) - S(kGap);
    compact_ = roomy_release < S(kRoomyRelease);
    gap_ = S(compact_ ? kCompactGap : kGap);
    place_(At(Part::kBanner), left_, S(kTop), width_, banner);
    const int top = S(kTop) + banner + gap_;
    const int bottom = Bottom(client.bottom) - gap_;
    int y = TargetPanel(top) + gap_;
    y = Notices(y, bottom - S(compact_ ? kCompactRelease : kRoomyRelease) - y);
    ReleasePanel(y, bottom);
    place_.Apply();
    return frames_;
  }

 private:
  int S(int value) const { return Scale(value, dpi_); }
  HWND At(Part id) const { return controls_[static_cast<size_t>(id)]; }
  int NoticeHeightOf(Part id) const {
    return NoticeHeight(window_, WindowText(At(id)), fonts_.ui(), dpi_, width_);
  }

  // Picture, adapter and target lists, firmware version; compact: the lists
  // side by side above the version, no picture. Returns the panel's bottom.
  int TargetPanel(int top) {
    const bool compact = compact_;
    const int line = fonts_.line_height();
    const int field = S(kFieldHeight);
    const int offset = (field - line) / 2;  // a label beside a field
    const int padding = S(compact ? kCompactPadding : kPadding);
    const int inner_top = top + padding;
    const int inner_left = left_ + padding;
    const int inner_right = left_ + width_ - padding;
    const int label = S(kLabelWidth), list = label + S(2);
    ShowWindow(At(Part::kImage1), compact ? SW_HIDE : SW_SHOWNA);
    int height = 0;
    if (compact) {
      const int second = inner_left + (inner_right - inner_left + S(12)) / 2;
      const int row2 = inner_top + field + S(6);
      place_(At(Part::kLabel1), inner_left, inner_top + offset, label, line);
      place_(At(Part::kComboHA), inner_left + list, inner_top, second - S(12) - inner_left - list,
             S(kListHeight));
      place_(At(Part::kLabel2), second, inner_top + offset, label, line);
      place_(At(Part::kComboID), second + list, inner_top, inner_right - second - list,
             S(kListHeight));
      const int caption = TextWidth(window_, fonts_.ui(), WindowText(At(Part::kLabel3_2))) + S(8);
      place_(At(Part::kLabel3_2), inner_left, row2 + offset, caption, line);
      place_(At(Part::kFWVer), inner_left + caption, row2, inner_right - inner_left - caption,
             field);
      height = 2 * padding + 2 * field + S(6);
    } else {
      place_(At(Part::kImage1), inner_left, inner_top, S(kPictureWidth), S(kPictureHeight));
      const int labels = inner_left + S(kPictureWidth) + S(kGap);
      place_(At(Part::kLabel1), labels, inner_top + offset, label, line);
      place_(At(Part::kComboHA), labels + list, inner_top, inner_right - labels - list,
             S(kListHeight));
      place_(At(Part::kLabel2), labels, inner_top + S(28) + offset, label, line);
      place_(At(Part::kComboID), labels + list, inner_top + S(28), inner_right - labels - list,
             S(kListHeight));
      place_(At(Part::kLabel3_2), labels, inner_top + S(58), inner_right - labels, line);
      place_(At(Part::kFWVer), labels, inner_top + S(kPictureHeight) - field, inner_right - labels,
             field);
      height = S(kPictureHeight) + 2 * padding;
    }
    frames_.target = RECT{left_, top, left_ + width_, top + height};
    return top + height;
  }

  // The notices while they have something to say, each at most half of
  // `room` high (at least a line); returns where the next part starts.
  int Notices(int top, int room) {
    const int most = std::max(fonts_.line_height() + S(8), room / 2);
    int y = top;
    for (Part id : {Part::kScanNotes, Part::kNotes}) {
      if (!Shown(At(id))) continue;
      const int height = std::min(most, NoticeHeightOf(id));
      place_(At(id), left_, y, width_, height);
      y += height + gap_;
      // The offer to restart with the rights the scan lacked, under its notes.
      HWND restart = At(Part::kRestartElevated);
      if (id == Part::kScanNotes && Shown(restart)) {
        const int width = TextWidth(window_, fonts_.ui(), WindowText(restart)) + S(48);
        place_(restart, left_, y, std::min(width, width_), S(kButtonHeight));
        y += S(kButtonHeight) + gap_;
      }
    }
    return y;
  }

  // The height of the part under the panels.
  int BottomHeight(bool compact) const {
    const int activity = fonts_.line_height() + S(4);
    const int gap = S(compact ? kCompactGap : kGap);
    return S(kTop) + S(kFieldHeight) + gap + S(kProgressHeight) + (compact ? 0 : gap + activity);
  }

  // The status line, the activity line (the command waited for, the abort
  // notice at its right end), the progress bar; compact: the activity line
  // beside the bar. Returns the bar's top.
  int Bottom(int bottom) {
    const int text1_top = bottom - S(kTop) - S(kFieldHeight);
    place_(At(Part::kText1), left_, text1_top, width_, S(kFieldHeight));
    const int activity_height = fonts_.line_height() + S(4);
    const int progress_top =
        text1_top - gap_ - S(kProgressHeight) - (compact_ ? 0 : gap_ + activity_height);
    const int progress_width = compact_ ? width_ * 2 / 5 : width_;
    place_(At(Part::kProgress), left_, progress_top, progress_width, S(kProgressHeight));
    const int activity_left = compact_ ? left_ + progress_width + S(12) : left_;
    const int activity_width = left_ + width_ - activity_left;
    const int activity_top = compact_ ? progress_top + (S(kProgressHeight) - activity_height) / 2
                                      : text1_top - gap_ - activity_height;
    HWND notice = At(Part::kAbortNotice);
    const int notice_width =
        Shown(notice)
            ? std::min(TextWidth(window_, fonts_.bold(), WindowText(notice)) + S(4), activity_width)
            : 0;
    place_(At(Part::kWaitInfo), activity_left, activity_top,
           activity_width - notice_width - (notice_width > 0 ? S(12) : 0), activity_height);
    place_(notice, activity_left + activity_width - notice_width, activity_top, notice_width,
           activity_height);
    return progress_top;
  }

  // File list on the left, Open Release under it; name, summary and the
  // buttons on the right. Compact: the four buttons in one row at the
  // bottom, as wide as their captions, and the list above them.
  void ReleasePanel(int top, int bottom) {
    const int padding = S(compact_ ? kCompactPadding : kPadding);
    const int line = fonts_.line_height();
    const int field = S(kFieldHeight);
    const int button = S(kButtonHeight);
    frames_.release = RECT{left_, top, left_ + width_, bottom};
    const int inner_left = left_ + padding;
    const int inner_width = width_ - 2 * padding;
    const int column = (inner_width - S(12)) / 2;
    const int inner_top = top + padding;
    const int inner_bottom = bottom - padding;
    const int list_top = inner_top + line + S(4);
    const int right = inner_left + column + S(12);
    const int right_width = inner_left + inner_width - right;
    place_(At(Part::kLabel3_0), inner_left, inner_top, column, line);
    place_(At(Part::kLabel3_1), right, inner_top, right_width, line);
    place_(At(Part::kLabel4), right, list_top, right_width, field);
    const int summary_top = list_top + field + S(6);
    const int buttons_top = inner_bottom - button;
    if (compact_) {
      place_(At(Part::kFile1), inner_left, list_top, column, buttons_top - S(6) - list_top);
      place_(At(Part::kReleaseSummary), right, summary_top, right_width,
             buttons_top - S(6) - summary_top);
      const Part row[] = {Part::kOpenRelease, Part::kCommand1, Part::kCheckDrive, Part::kTyusi};
      int widths[4];
      int total = 0;
      for (size_t i = 0; i < 4; ++i) {
        widths[i] = TextWidth(window_, fonts_.ui(), WindowText(At(row[i]))) + S(20);
        total += widths[i];
      }
      // What is left over goes to the buttons alike; short of room they shrink alike.
      const int spare = inner_width - total - 3 * S(6);
      int x = inner_left;
      for (size_t i = 0; i < 4; ++i) {
        const int w = std::max(S(20), widths[i] + spare / 4);
        place_(At(row[i]), x, buttons_top, w, button);
        x += w + S(6);
      }
      return;
    }
    place_(At(Part::kFile1), inner_left, list_top, column, buttons_top - S(6) - list_top);
    place_(At(Part::kOpenRelease), inner_left, buttons_top, column, button);
    // Check Drive and Release under the two buttons, as wide as both.
    place_(At(Part::kCheckDrive), right, buttons_top, right_width, button);
    const int pair_top = buttons_top - button - S(6);
    const int button_width = (right_width - S(8)) / 2;
    place_(At(Part::kCommand1), right, pair_top, button_width, button);
    place_(At(Part::kTyusi), right + button_width + S(8), pair_top,
           right_width - button_width - S(8), button);
    place_(At(Part::kReleaseSummary), right, summary_top, right_width,
           pair_top - S(6) - summary_top);
  }

  HWND window_;
  const std::array<HWND, kControlCount>& controls_;
  const Fonts& fonts_;
  UINT dpi_;
  Placer place_;
  int left_ = 0;
  int width_ = 0;
  bool compact_ = false;
  int gap_ = 0;
  PanelFrames frames_;
};

}  // namespace

PanelFrames LayOutMainWindow(HWND window, const std::array<HWND, kControlCount>& controls,
                             const Fonts& fonts, UINT dpi) {
  return Pass(window, controls, fonts, dpi).Run();
}

}  // namespace qx::win32
