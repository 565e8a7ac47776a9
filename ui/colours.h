// Colours of the texts the windows tint by their role, derived from the
// window's own background so that they stay readable in light and dark
// themes: every text reaches at least 4.5:1 against what it is drawn on.
#pragma once

#include <cstdint>

#include "ui/view_state.h"

namespace qx {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const Rgb&) const = default;
};

// The WCAG contrast ratio of two colours, 1 to 21.
double ContrastRatio(Rgb a, Rgb b);

// `preferred` made darker or lighter, as little as needed, until it reaches
// 4.5:1 against `background`.
Rgb ReadableOn(Rgb background, Rgb preferred);

// The text colour for `role` on `background` (kPlain: black or white,
// whichever reads better).
Rgb RoleColour(Role role, Rgb background);

// A notice panel's background for `role`: the window's background tinted a
// little toward the role's hue.
Rgb NoticeBackground(Role role, Rgb window);

}  // namespace qx
