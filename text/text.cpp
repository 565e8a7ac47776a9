#include "text/text.h"

#include <algorithm>

namespace qx {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}  // namespace

std::string Hex2(int value) {
  const unsigned low = static_cast<unsigned>(value) & 0xFFu;
  return std::string{kDigits[low >> 4], kDigits[low & 0x0Fu]};
}

std::string Hex(uint32_t value) {
  char text[8];
  size_t n = 0;
  do {
    text[n++] = kDigits[value & 0xFu];
    value >>= 4;
  } while (value != 0);
  return std::string(std::make_reverse_iterator(text + n), std::make_reverse_iterator(text));
}

void AppendHexGroups(std::string& out, const uint8_t* bytes, size_t n) {
  out.reserve(out.size() + n * 3);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
    out += ' ';
  }
}

std::string HexGroups(const uint8_t* bytes, size_t n) {
  std::string s;
  AppendHexGroups(s, bytes, n);
  return s;
}

std::string TrimSpaces(std::string_view s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(' ') - b + 1));
}

std::string TrimTrailingSpaces(std::string_view s) {
  const size_t e = s.find_last_not_of(' ');
  return e == std::string_view::npos ? std::string() : std::string(s.substr(0, e + 1));
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Utf8ToLatin1(std::string_view utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    if ((c == 0xC2 || c == 0xC3) && (next & 0xC0) == 0x80) {
      out += static_cast<char>(((c & 0x03) << 6) | (next & 0x3F));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string JoinedLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (&line != &lines.front()) text += '\n';
    for (char c : line) text += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return text;
}

std::string Excerpt(std::string_view text, size_t max) {
  if (text.size() <= max) return std::string(text);
  size_t end = max;
  // Back over continuation bytes, then drop the lead byte whose character
  // would be cut short.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "...";
}

std::string ExcerptWithLength(std::string_view text, size_t max) {
  if (text.size() <= max) return std::string(text);
  // Characters of UTF-8: every byte but the continuation bytes.
  const auto count = std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  });
  return Excerpt(text, max) + " (" + std::to_string(count) + " characters)";
}

std::string FirstAndCount(const std::vector<std::string>& items, size_t named) {
  std::string text;
  for (size_t i = 0; i < items.size() && i < named; ++i) text += (i == 0 ? "" : ", ") + items[i];
  if (items.size() > named) text += " and " + std::to_string(items.size() - named) + " more";
  return text;
}

}  // namespace qx
