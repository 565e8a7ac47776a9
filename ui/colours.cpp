#include "ui/colours.h"

#include <cmath>

namespace qx {

namespace {

constexpr double kReadable = 4.5;

double Channel(uint8_t value) {
  const double c = value / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(Rgb c) {
  return 0.2126 * Channel(c.r) + 0.7152 * Channel(c.g) + 0.0722 * Channel(c.b);
}

Rgb Mix(Rgb from, Rgb to, double amount) {
  auto mix = [amount](uint8_t a, uint8_t b) {
    return static_cast<uint8_t>(std::lround(a + (b - a) * amount));
  };
  return {mix(from.r, to.r), mix(from.g, to.g), mix(from.b, to.b)};
}

Rgb Hue(Role role) {
  switch (role) {
    case Role::kGood:
      return {0x1d, 0x7a, 0x2a};
    case Role::kError:
      return {0xb3, 0x26, 0x1e};
    case Role::kWarning:
      return {0x8a, 0x61, 0x00};
    case Role::kInfo:
      return {0x1c, 0x5f, 0xa8};
    case Role::kPlain:
      break;
  }
  return {0x80, 0x80, 0x80};
}

}  // namespace

double ContrastRatio(Rgb a, Rgb b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Rgb ReadableOn(Rgb background, Rgb preferred) {
  if (ContrastRatio(background, preferred) >= kReadable) return preferred;
  // Toward black or white, whichever the background leaves more room for;
  // one of them always reaches 4.5:1.
  const Rgb black{0, 0, 0}, white{255, 255, 255};
  const Rgb end =
      ContrastRatio(background, black) >= ContrastRatio(background, white) ? black : white;
  for (int step = 1; step <= 20; ++step) {
    const Rgb c = Mix(preferred, end, step / 20.0);
    if (ContrastRatio(background, c) >= kReadable) return c;
  }
  return end;
}

Rgb RoleColour(Role role, Rgb background) {
  return ReadableOn(background, Hue(role));
}

Rgb NoticeBackground(Role role, Rgb window) {
  return Mix(window, Hue(role), 0.12);
}

}  // namespace qx
